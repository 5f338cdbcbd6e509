#include "gui/shape.h"

TShape::TShape(TComponent* owner) : TControl(owner) {
  SetBounds(0, 0, 65, 65);
  pen_.OnChange = [this](TObject*) { NotifyPeer(TPeerChange::Style); };
  brush_.OnChange = [this](TObject*) { NotifyPeer(TPeerChange::Style); };
}

void TShape::SetShape(TShapeType shape) {
  if (shape == shape_) return;
  shape_ = shape;
  NotifyPeer(TPeerChange::Style);
}
