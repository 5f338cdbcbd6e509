#include "platform/console.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "platform/messages.h"

using namespace platform;

namespace {

constexpr UINT WM_INPUT_READY = WM_USER + 40;

class ConsoleInputTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(pipe(fds_), 0);
    sink_ = CreateSink(&DefWindowProc);
  }
  void TearDown() override {
    UnwatchInput(fds_[0]);
    DestroySink(sink_);
    close(fds_[0]);
    if (fds_[1] >= 0) close(fds_[1]);
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
          EXPECT_EQ(static_cast<INPUT_HANDLE>(m.wParam), fds_[0]);
          ++count;
        }
      }
    }
    return count;
  }
  int fds_[2] = {-1, -1};
  HWND sink_ = 0;
};

}  // namespace

TEST_F(ConsoleInputTest, OneNotificationUntilTheNextReadThenTheEnd) {
  ASSERT_TRUE(WatchInput(fds_[0], sink_, WM_INPUT_READY));
  EXPECT_EQ(Notifications(50), 0);  // nothing to read yet
  ASSERT_EQ(write(fds_[1], "ab", 2), 2);
  EXPECT_EQ(Notifications(80), 1);  // data waiting, but no second notice before a read
  char buf[8];
  EXPECT_EQ(ReadInput(fds_[0], buf, 1), 1);
  EXPECT_EQ(Notifications(80), 1);  // one byte is still there
  EXPECT_EQ(ReadInput(fds_[0], buf, sizeof buf), 1);
  close(fds_[1]);
  fds_[1] = -1;
  EXPECT_EQ(Notifications(80), 1);  // the end of input is news too
  EXPECT_EQ(ReadInput(fds_[0], buf, sizeof buf), 0);
}

TEST_F(ConsoleInputTest, NoNotificationsOnceUnwatched) {
  ASSERT_TRUE(WatchInput(fds_[0], sink_, WM_INPUT_READY));
  UnwatchInput(fds_[0]);
  ASSERT_EQ(write(fds_[1], "x", 1), 1);
  EXPECT_EQ(Notifications(60), 0);
  EXPECT_FALSE(WatchInput(fds_[0], 0, WM_INPUT_READY));  // no such sink
}
