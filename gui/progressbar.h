// A progress bar over the range Min..Max. A range whose maximum is below its minimum is
// refused with EInvalidOperation "<class name> property out of range"; the position is
// kept inside the range.
#pragma once

#include "gui/control.h"

class TProgressBar : public TWinControl {
 public:
  explicit TProgressBar(TComponent* owner);
  const char* ClassName() const override { return "TProgressBar"; }
  int Min() const { return min_; }
  int Max() const { return max_; }
  int Position() const { return position_; }
  void SetMin(int min) { SetRange(min, max_); }
  void SetMax(int max) { SetRange(min_, max); }
  void SetRange(int min, int max);
  void SetPosition(int position);
  int Step() const { return step_; }
  void SetStep(int step) { step_ = step; }
  void StepIt() { SetPosition(position_ + step_); }

 private:
  int min_ = 0, max_ = 100, position_ = 0, step_ = 10;
};
