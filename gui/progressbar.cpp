#include "gui/progressbar.h"

#include <algorithm>

TProgressBar::TProgressBar(TComponent* owner) : TWinControl(owner) { SetBounds(0, 0, 150, 16); }

void TProgressBar::SetRange(int min, int max) {
  if (max < min) throw EInvalidOperation(std::string(ClassName()) + " property out of range");
  if (min == min_ && max == max_) return;
  min_ = min;
  max_ = max;
  position_ = std::clamp(position_, min_, max_);
  NotifyPeer(TPeerChange::Value);
}

void TProgressBar::SetPosition(int position) {
  position = std::clamp(position, min_, max_);
  if (position == position_) return;
  position_ = position;
  NotifyPeer(TPeerChange::Value);
}
