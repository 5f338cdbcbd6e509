#include "gui/label.h"

#include "gui/application.h"
#include "gui/backend.h"

TLabel::TLabel(TComponent* owner) : TControl(owner) { SetBounds(0, 0, 65, 17); }

void TLabel::SetAutoSize(bool autoSize) {
  if (autoSize == autoSize_) return;
  autoSize_ = autoSize;
  AdjustBounds();
}

void TLabel::AdjustBounds() {
  if (!autoSize_ || !Application) return;
  int width = 0, height = 0;
  Application->Backend()->MeasureText(*Font(), Caption(), width, height);
  SetBounds(Left(), Top(), width, height);
}
