#include "gui/form.h"

#include "gui/application.h"

TForm::TForm(TComponent* owner) : TWinControl(owner) {
  TControl::SetVisible(false);
  Font()->SetName("宋体");
  Font()->SetHeight(-12);
  SetBounds(0, 0, 320, 240);
}

TForm::~TForm() {
  if (Application) Application->FormDestroyed(this);
}

void TForm::SetBorderStyle(TBorderStyle style) {
  if (style == borderStyle_) return;
  borderStyle_ = style;
  NotifyPeer(TPeerChange::Style);
}

void TForm::SetPosition(TPosition position) {
  if (position == position_) return;
  position_ = position;
  NotifyPeer(TPeerChange::Style);
}

void TForm::SetVisible(bool visible) {
  if (visible == Visible()) return;
  if (visible) {
    CreatePeers();
    AlignControls();
    TWinControl::SetVisible(true);
    RunHandler(this, [this] {
      if (OnShow) OnShow(this);
    });
  } else {
    RunHandler(this, [this] {
      if (OnHide) OnHide(this);
    });
    TWinControl::SetVisible(false);
  }
}

bool TForm::CloseQuery() {
  bool canClose = true;
  if (OnCloseQuery) OnCloseQuery(this, canClose);
  return canClose;
}

void TForm::DoClose(TCloseAction& action) {
  if (OnClose) OnClose(this, action);
}

void TForm::Close() {
  if (!CloseQuery()) return;
  bool isMain = Application && Application->MainForm() == this;
  TCloseAction action = isMain ? caFree : caHide;
  DoClose(action);
  if (action == caNone) return;
  Hide();
  if (isMain) {
    Application->Terminate();
  } else if (action == caFree) {
    Release();
  }
}

void TForm::Release() {
  if (Application) Application->ReleaseForm(this);
}

void TForm::DoCreate() {
  if (OnCreate) OnCreate(this);
}

void TForm::Resize() {
  if (OnResize) OnResize(this);
}
