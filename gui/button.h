// A push button. "&" in the caption marks the mnemonic letter (Alt+letter presses it),
// "&&" is a literal "&". Click() presses it in code, whether it is visible or not.
#pragma once

#include "gui/control.h"

class TButton : public TWinControl {
 public:
  explicit TButton(TComponent* owner);
  const char* ClassName() const override { return "TButton"; }
  virtual void Click();
  // Enter presses the default button of the window.
  bool Default() const { return default_; }
  void SetDefault(bool value);

  TNotifyEvent OnClick;

 private:
  bool default_ = false;
};
