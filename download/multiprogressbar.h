// TMultiProgressBar: the progress of several byte ranges side by side in one bar, one
// coloured rectangle per range in the order added, each growing from its own left edge.
#pragma once

#include <cstdint>
#include <vector>

#include "gui/panel.h"
#include "gui/shape.h"

// One segment: where it starts on the bar's scale (the spans of the segments before
// it), where it stands and how long it is, in the units of the spans.
class TMyShape : public TShape {
 public:
  using TShape::TShape;
  const char* ClassName() const override { return "TMyShape"; }
  int64_t SegmentStart = 0;
  int64_t Position = 0;
  int64_t Span = 0;
};

class TMultiProgressBar : public TCustomPanel {
 public:
  explicit TMultiProgressBar(TComponent* owner);
  const char* ClassName() const override { return "TMultiProgressBar"; }

  int SegmentCount() const { return static_cast<int>(segments_.size()); }
  TMyShape* Segment(int index) const { return segments_.at(index); }
  int64_t TotalSpan() const { return totalSpan_; }

  // Appends a segment and returns its index. StartOffset is not used: a segment's place
  // follows from the spans of the segments before it.
  int AddSegment(TColor color, int64_t StartOffset, int64_t ASpan, int64_t InitPos);
  // Moves a segment; only its width changes, unclipped. ERangeError
  // "MultiProgressBar.SetPosition: Index out of range" for a bad index.
  void SetPosition(int index, int64_t position);
  void Clear();

 protected:
  void Resize() override;

 private:
  void LayoutSegments();
  int SegmentWidth(const TMyShape* shape) const;

  std::vector<TMyShape*> segments_;
  int64_t totalSpan_ = 0;
};
