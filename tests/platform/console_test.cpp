#include "platform/console.h"

#include <gtest/gtest.h>

#include "platform/messages.h"
#include "tests/support/test_pipe.h"

using namespace platform;

namespace {

constexpr UINT WM_INPUT_READY = WM_USER + 40;

class ConsoleInputTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pipe_.Ok());
    sink_ = CreateSink(&DefWindowProc);
  }
  void TearDown() override {
    UnwatchInput(pipe_.Input());
    DestroySink(sink_);
  }
  // Ready notifications that reach the queue within `ms`.
  int Notifications(DWORD ms) {
    int count = 0;
    DWORD start = GetTickCount();
    while (GetTickCount() - start < ms) {
      if (MsgWaitForInput(10) != WAIT_OBJECT_0) continue;
      MSG m;
      while (PeekMessage(&m, sink_, 0, 0, PM_REMOVE)) {
        if (m.message == WM_INPUT_READY) {
          EXPECT_EQ(static_cast<INPUT_HANDLE>(m.wParam), pipe_.Input());
          ++count;
        }
      }
    }
    return count;
  }
  testsupport::TestPipe pipe_;
  HWND sink_ = 0;
};

}  // namespace

TEST_F(ConsoleInputTest, OneNotificationUntilTheNextReadThenTheEnd) {
  ASSERT_TRUE(WatchInput(pipe_.Input(), sink_, WM_INPUT_READY));
  EXPECT_EQ(Notifications(50), 0);  // nothing to read yet
  ASSERT_TRUE(pipe_.Write("ab"));
  EXPECT_EQ(Notifications(80), 1);  // data waiting, but no second notice before a read
  char buf[8];
  EXPECT_EQ(ReadInput(pipe_.Input(), buf, 1), 1);
  EXPECT_EQ(Notifications(80), 1);  // one byte is still there
  EXPECT_EQ(ReadInput(pipe_.Input(), buf, sizeof buf), 1);
  pipe_.CloseWrite();
  EXPECT_EQ(Notifications(80), 1);  // the end of input is news too
  EXPECT_EQ(ReadInput(pipe_.Input(), buf, sizeof buf), 0);
}

TEST_F(ConsoleInputTest, NoNotificationsOnceUnwatched) {
  ASSERT_TRUE(WatchInput(pipe_.Input(), sink_, WM_INPUT_READY));
  UnwatchInput(pipe_.Input());
  ASSERT_TRUE(pipe_.Write("x"));
  EXPECT_EQ(Notifications(60), 0);
  EXPECT_FALSE(WatchInput(pipe_.Input(), 0, WM_INPUT_READY));  // no such sink
}
