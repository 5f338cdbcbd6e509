// A filled geometric shape drawn with a pen (outline) and a brush (interior).
#pragma once

#include "gui/control.h"

enum TShapeType { stRectangle, stEllipse };

class TShape : public TControl {
 public:
  explicit TShape(TComponent* owner);
  const char* ClassName() const override { return "TShape"; }
  TShapeType Shape() const { return shape_; }
  void SetShape(TShapeType shape);
  TPen* Pen() { return &pen_; }
  TBrush* Brush() { return &brush_; }

 private:
  TShapeType shape_ = stRectangle;
  TPen pen_;
  TBrush brush_;
};
