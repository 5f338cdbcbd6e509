// A text on a form. With AutoSize (the default) it takes the size of its text.
#pragma once

#include "gui/control.h"

class TLabel : public TControl {
 public:
  explicit TLabel(TComponent* owner);
  const char* ClassName() const override { return "TLabel"; }
  bool AutoSize() const { return autoSize_; }
  void SetAutoSize(bool autoSize);

 protected:
  void CaptionChanged() override { AdjustBounds(); }
  void FontChanged() override { AdjustBounds(); }

 private:
  void AdjustBounds();
  bool autoSize_ = true;
};
