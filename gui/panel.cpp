#include "gui/panel.h"

TCustomPanel::TCustomPanel(TComponent* owner) : TWinControl(owner) { SetBounds(0, 0, 185, 41); }

void TCustomPanel::SetBevelOuter(TBevelCut bevel) {
  if (bevel == bevelOuter_) return;
  bevelOuter_ = bevel;
  NotifyPeer(TPeerChange::Style);
}

void TCustomPanel::SetBevelInner(TBevelCut bevel) {
  if (bevel == bevelInner_) return;
  bevelInner_ = bevel;
  NotifyPeer(TPeerChange::Style);
}

void TCustomPanel::Resize() {
  if (OnResize) OnResize(this);
}
