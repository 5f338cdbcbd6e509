#include "download/multiprogressbar.h"

#include <cmath>

namespace {

// The nearest integer, a half going to the even neighbour.
int Nearest(double x) { return static_cast<int>(std::nearbyint(x)); }

}  // namespace

TMultiProgressBar::TMultiProgressBar(TComponent* owner) : TCustomPanel(owner) {
  SetBevelOuter(bvLowered);
  SetCaption("");
}

int TMultiProgressBar::SegmentWidth(const TMyShape* shape) const {
  // All spans 0 (or a negative sum) leaves nothing to scale by: the segment keeps the
  // width of one that has not moved.
  if (totalSpan_ <= 0) return 2;
  const int64_t p = (shape->Position - shape->SegmentStart) * static_cast<int64_t>(Width() - 2);
  return Nearest(static_cast<double>(p) / static_cast<double>(totalSpan_) + 1) + 1;
}

int TMultiProgressBar::AddSegment(TColor color, int64_t, int64_t ASpan, int64_t InitPos) {
  const int index = SegmentCount();
  auto* shape = new TMyShape(this);
  shape->SetParent(this);
  shape->SetShape(stRectangle);
  shape->Pen()->SetStyle(psClear);
  shape->Brush()->SetColor(color);
  shape->SetTop(1);
  shape->SetHeight(Height() - 1);
  shape->Span = ASpan;
  shape->SegmentStart = totalSpan_;
  shape->Position = InitPos;
  totalSpan_ += ASpan;
  segments_.push_back(shape);
  LayoutSegments();
  return index;
}

void TMultiProgressBar::SetPosition(int index, int64_t position) {
  if (index < 0 || index >= SegmentCount())
    throw ERangeError("MultiProgressBar.SetPosition: Index out of range");
  TMyShape* shape = segments_[index];
  shape->Position = position;
  shape->SetWidth(SegmentWidth(shape));
}

void TMultiProgressBar::Clear() {
  while (!segments_.empty()) {
    delete segments_.back();
    segments_.pop_back();
  }
  totalSpan_ = 0;
}

void TMultiProgressBar::Resize() {
  TCustomPanel::Resize();
  LayoutSegments();
}

void TMultiProgressBar::LayoutSegments() {
  const int w = Width();
  // 64-bit, so that documents past 2 GiB lay out like small ones.
  int64_t before = 0;
  for (TMyShape* shape : segments_) {
    const int left =
        totalSpan_ > 0 ? Nearest(static_cast<double>(w - 2) * static_cast<double>(before) / static_cast<double>(totalSpan_)) + 1
                       : 1;
    int width = SegmentWidth(shape);
    if (left + width > w) width = w - left;
    shape->SetBounds(left, shape->Top(), width, shape->Height());
    before += shape->Span;
  }
}
