#include "gui/button.h"

TButton::TButton(TComponent* owner) : TWinControl(owner) {
  SetTabStop(true);
  SetBounds(0, 0, 75, 25);
}

void TButton::Click() {
  if (OnClick) OnClick(this);
}

void TButton::SetDefault(bool value) {
  if (value == default_) return;
  default_ = value;
  NotifyPeer(TPeerChange::Style);
}
