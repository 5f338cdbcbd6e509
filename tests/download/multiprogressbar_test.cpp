// The segmented progress bar: where segments sit and how wide they grow.
#include <gtest/gtest.h>

#include "download/multiprogressbar.h"

namespace {

constexpr TColor kBlue = 0xFF0000;

class MultiProgressBarTest : public ::testing::Test {
 protected:
  MultiProgressBarTest() { bar.SetBounds(0, 0, 202, 37); }
  TMultiProgressBar bar{nullptr};
};

TEST_F(MultiProgressBarTest, LaysOutTwoPartsOfAThousandBytesBySpan) {
  EXPECT_EQ(bar.AddSegment(kBlue, 0, 500, 0), 0);
  EXPECT_EQ(bar.AddSegment(kBlue, 501, 499, 501), 1);
  ASSERT_EQ(bar.SegmentCount(), 2);
  EXPECT_EQ(bar.TotalSpan(), 999);

  TMyShape* first = bar.Segment(0);
  TMyShape* second = bar.Segment(1);
  EXPECT_EQ(first->SegmentStart, 0);
  EXPECT_EQ(second->SegmentStart, 500);
  EXPECT_EQ(first->Left(), 1);
  EXPECT_EQ(first->Width(), 2);
  EXPECT_EQ(second->Left(), 101);
  EXPECT_EQ(second->Width(), 2);
  // Drawn as a borderless blue rectangle on the bar, below its top line.
  EXPECT_EQ(second->Parent(), &bar);
  EXPECT_EQ(second->Shape(), stRectangle);
  EXPECT_EQ(second->Pen()->Style(), psClear);
  EXPECT_EQ(second->Brush()->Color(), kBlue);
  EXPECT_EQ(second->Top(), 1);
  EXPECT_EQ(second->Height(), 36);
}

TEST_F(MultiProgressBarTest, SetPositionGrowsOnlyTheWidthAndNeverClips) {
  bar.AddSegment(kBlue, 0, 500, 0);
  bar.AddSegment(kBlue, 501, 499, 501);
  bar.SetPosition(0, 500);
  EXPECT_EQ(bar.Segment(0)->Left(), 1);
  EXPECT_EQ(bar.Segment(0)->Width(), 102);  // Nearest(500 * 200 / 999 + 1) + 1
  // Absolute offsets are measured from the span sum before the segment (500), so the
  // last byte takes the segment past the right edge until the next layout.
  bar.SetPosition(1, 1000);
  EXPECT_EQ(bar.Segment(1)->Left(), 101);
  EXPECT_EQ(bar.Segment(1)->Width(), 102);

  // A resize lays every segment out again and clips at the right edge.
  bar.SetBounds(0, 0, 302, 37);
  EXPECT_EQ(bar.Segment(0)->Left(), 1);
  EXPECT_EQ(bar.Segment(0)->Width(), 152);
  EXPECT_EQ(bar.Segment(1)->Left(), 151);
  EXPECT_EQ(bar.Segment(1)->Width(), 151);
}

TEST_F(MultiProgressBarTest, RoundsHalvesToTheEvenNeighbour) {
  // 200 * 5 / 400 = 2.5 goes to 2; 200 * 395 / 400 + 1 = 198.5 goes to 198.
  bar.AddSegment(kBlue, 0, 5, 0);
  bar.AddSegment(kBlue, 5, 395, 5);
  EXPECT_EQ(bar.Segment(1)->Left(), 3);
  bar.SetPosition(1, 400);
  EXPECT_EQ(bar.Segment(1)->Width(), 199);
}

TEST_F(MultiProgressBarTest, ABadIndexRaisesAndChangesNothing) {
  bar.AddSegment(kBlue, 0, 10, 0);
  for (int index : {-1, 1}) {
    try {
      bar.SetPosition(index, 10);
      FAIL() << "no error for index " << index;
    } catch (const ERangeError& e) {
      EXPECT_STREQ(e.Message().c_str(), "MultiProgressBar.SetPosition: Index out of range");
    }
  }
  EXPECT_EQ(bar.Segment(0)->Position, 0);
  EXPECT_EQ(bar.Segment(0)->Width(), 2);
}

TEST_F(MultiProgressBarTest, ClearRemovesTheSegmentsAndStartsTheScaleAgain) {
  bar.AddSegment(kBlue, 0, 500, 0);
  bar.AddSegment(kBlue, 501, 499, 501);
  bar.Clear();
  EXPECT_EQ(bar.SegmentCount(), 0);
  EXPECT_EQ(bar.ControlCount(), 0);
  EXPECT_EQ(bar.ComponentCount(), 0);
  EXPECT_EQ(bar.TotalSpan(), 0);
  bar.AddSegment(kBlue, 0, 100, 50);
  EXPECT_EQ(bar.Segment(0)->SegmentStart, 0);
  EXPECT_EQ(bar.Segment(0)->Width(), 102);  // halfway: Nearest(50 * 200 / 100 + 1) + 1
}

TEST_F(MultiProgressBarTest, SegmentsWithoutSpanStayAtTheLeftEdge) {
  bar.AddSegment(kBlue, 0, 0, 0);
  bar.AddSegment(kBlue, 1, 0, 1);
  bar.SetPosition(1, 5);
  EXPECT_EQ(bar.Segment(0)->Left(), 1);
  EXPECT_EQ(bar.Segment(1)->Left(), 1);
  EXPECT_EQ(bar.Segment(1)->Width(), 2);
}

TEST_F(MultiProgressBarTest, DocumentsPastFourGibibytesLayOutLikeSmallOnes) {
  const int64_t half = int64_t{3} << 30;  // 3 GiB per part
  bar.AddSegment(kBlue, 0, half, 0);
  bar.AddSegment(kBlue, half + 1, half, half + 1);
  bar.AddSegment(kBlue, 2 * half + 2, half, 2 * half + 2);
  EXPECT_EQ(bar.Segment(1)->Left(), 68);   // Nearest(200 / 3) + 1
  EXPECT_EQ(bar.Segment(2)->Left(), 134);  // Nearest(400 / 3) + 1
  bar.SetPosition(2, 3 * half);
  EXPECT_EQ(bar.Segment(2)->Width(), 69);  // a third of the bar: Nearest(200 / 3 + 1) + 1
}

}  // namespace
