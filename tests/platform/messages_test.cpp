#include "platform/messages.h"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <unistd.h>
#endif

#include <chrono>
#include <thread>
#include <vector>

using namespace platform;

namespace {

struct Seen {
  HWND hwnd;
  UINT msg;
  WPARAM w;
  LPARAM l;
};
thread_local std::vector<Seen>* seen = nullptr;

LRESULT Recorder(HWND h, UINT m, WPARAM w, LPARAM l) {
  if (seen) seen->push_back({h, m, w, l});
  return static_cast<LRESULT>(w + 1);
}

void DrainAll() {
  MSG m;
  while (PeekMessage(&m, 0, 0, 0, PM_REMOVE)) {
  }
}

class MessagesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    DrainAll();
    seen = &log;
    sink = CreateSink(Recorder);
  }
  void TearDown() override {
    DestroySink(sink);
    DrainAll();
    seen = nullptr;
  }
  std::vector<Seen> log;
  HWND sink = 0;
};

}  // namespace

TEST_F(MessagesTest, PostedMessagesComeBackInOrderAndDispatchToTheSink) {
  EXPECT_NE(sink, 0u);
  EXPECT_EQ(GetSinkThreadId(sink), GetCurrentThreadId());
  ASSERT_TRUE(PostMessage(sink, WM_USER + 1, 10, 20));
  ASSERT_TRUE(PostMessage(sink, WM_USER + 2, 11, 21));
  MSG m;
  ASSERT_TRUE(PeekMessage(&m, 0, 0, 0, PM_NOREMOVE));
  EXPECT_EQ(m.message, WM_USER + 1u);
  ASSERT_TRUE(PeekMessage(&m, 0, 0, 0, PM_REMOVE));
  EXPECT_EQ(m.message, WM_USER + 1u);
  EXPECT_EQ(DispatchMessage(&m), 11);
  ASSERT_TRUE(PeekMessage(&m, sink, 0, 0, PM_REMOVE));
  DispatchMessage(&m);
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0].msg, WM_USER + 1u);
  EXPECT_EQ(log[0].l, 20);
  EXPECT_EQ(log[1].w, 11u);
  EXPECT_FALSE(PeekMessage(&m, 0, 0, 0, PM_REMOVE));
}

TEST_F(MessagesTest, PeekWithRangeRemovesOnlyMatchingMessages) {
  HWND other = CreateSink(Recorder);
  PostMessage(sink, 1025, 1, 0);
  PostMessage(sink, 1030, 2, 0);
  PostMessage(other, 1025, 3, 0);
  PostMessage(sink, 1025, 4, 0);
  MSG m;
  std::vector<WPARAM> purged;
  while (PeekMessage(&m, sink, 1025, 1025, PM_REMOVE)) purged.push_back(m.wParam);
  EXPECT_EQ(purged, (std::vector<WPARAM>{1, 4}));
  ASSERT_TRUE(PeekMessage(&m, 0, 0, 0, PM_REMOVE));
  EXPECT_EQ(m.wParam, 2u);
  ASSERT_TRUE(PeekMessage(&m, 0, 0, 0, PM_REMOVE));
  EXPECT_EQ(m.wParam, 3u);
  EXPECT_EQ(m.hwnd, other);
  DestroySink(other);
}

TEST_F(MessagesTest, DestroyedSinkLosesItsQueuedMessagesAndRejectsPosts) {
  HWND doomed = CreateSink(Recorder);
  PostMessage(doomed, WM_USER, 1, 0);
  PostMessage(sink, WM_USER, 2, 0);
  SetSinkData(doomed, 1234);
  EXPECT_EQ(GetSinkData(doomed), 1234);
  ASSERT_TRUE(DestroySink(doomed));
  EXPECT_FALSE(IsSink(doomed));
  EXPECT_FALSE(PostMessage(doomed, WM_USER, 3, 0));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
  EXPECT_FALSE(DestroySink(doomed));
  MSG m;
  ASSERT_TRUE(PeekMessage(&m, 0, 0, 0, PM_REMOVE));
  EXPECT_EQ(m.hwnd, sink);
  EXPECT_FALSE(PeekMessage(&m, 0, 0, 0, PM_REMOVE));
}

TEST_F(MessagesTest, QuitComesAfterPostedMessagesAndEndsGetMessage) {
  PostQuitMessage(7);
  PostMessage(sink, WM_USER, 1, 0);
  MSG m;
  EXPECT_EQ(GetMessage(&m, 0, 0, 0), 1);
  EXPECT_EQ(m.message, WM_USER);
  EXPECT_EQ(GetMessage(&m, 0, 0, 0), 0);
  EXPECT_EQ(m.message, WM_QUIT);
  EXPECT_EQ(m.wParam, 7u);
  EXPECT_FALSE(PeekMessage(&m, 0, 0, 0, PM_REMOVE));
}

TEST_F(MessagesTest, PostFromAnotherThreadWakesABlockedGetMessage) {
  std::thread poster([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    PostMessage(sink, WM_USER + 5, 42, 0);
  });
  MSG m;
  EXPECT_EQ(GetMessage(&m, 0, 0, 0), 1);
  EXPECT_EQ(m.message, WM_USER + 5u);
  EXPECT_EQ(m.wParam, 42u);
  poster.join();
}

TEST_F(MessagesTest, ManyThreadsPostingLoseNothing) {
  constexpr int kThreads = 4, kEach = 2000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([this, t] {
      for (int i = 0; i < kEach; ++i) PostMessage(sink, WM_USER, static_cast<WPARAM>(t), i);
    });
  }
  std::vector<LPARAM> last(kThreads, -1);
  int received = 0;
  MSG m;
  while (received < kThreads * kEach) {
    ASSERT_EQ(GetMessage(&m, 0, 0, 0), 1);
    // Each poster's messages arrive in the order it posted them.
    EXPECT_EQ(m.lParam, last[m.wParam] + 1);
    last[m.wParam] = m.lParam;
    ++received;
  }
  for (auto& th : threads) th.join();
  EXPECT_FALSE(PeekMessage(&m, 0, 0, 0, PM_REMOVE));
}

TEST_F(MessagesTest, TimerTicksAreProducedOnlyWhenNothingElseIsQueued) {
  ASSERT_EQ(SetTimer(sink, 77, 200), 77u);
  MSG m;
  EXPECT_FALSE(PeekMessage(&m, 0, 0, 0, PM_REMOVE));
  std::this_thread::sleep_for(std::chrono::milliseconds(250));
  PostMessage(sink, WM_USER, 0, 0);
  ASSERT_TRUE(PeekMessage(&m, 0, 0, 0, PM_REMOVE));
  EXPECT_EQ(m.message, WM_USER);
  ASSERT_TRUE(PeekMessage(&m, 0, 0, 0, PM_REMOVE));
  EXPECT_EQ(m.message, WM_TIMER);
  EXPECT_EQ(m.wParam, 77u);
  EXPECT_EQ(m.hwnd, sink);
  // One pending tick at most, however long nobody looked.
  EXPECT_FALSE(PeekMessage(&m, 0, 0, 0, PM_REMOVE));
  EXPECT_EQ(GetMessage(&m, 0, 0, 0), 1);
  EXPECT_EQ(m.message, WM_TIMER);
  EXPECT_TRUE(KillTimer(sink, 77));
  EXPECT_FALSE(KillTimer(sink, 77));
  std::this_thread::sleep_for(std::chrono::milliseconds(250));
  EXPECT_FALSE(PeekMessage(&m, 0, 0, 0, PM_REMOVE));
}

TEST_F(MessagesTest, SettingAnExistingTimerRestartsItAndDestroyKillsIt) {
  HWND other = CreateSink(Recorder);
  ASSERT_EQ(SetTimer(other, 5, 10), 5u);
  EXPECT_EQ(SetTimer(other, 0, 10), 0u);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  MSG m;
  ASSERT_TRUE(PeekMessage(&m, other, WM_TIMER, WM_TIMER, PM_NOREMOVE));
  SetTimer(other, 5, 100000);  // restarted: no longer due
  EXPECT_FALSE(PeekMessage(&m, 0, 0, 0, PM_REMOVE));
  SetTimer(other, 6, 10);
  DestroySink(other);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(PeekMessage(&m, 0, 0, 0, PM_REMOVE));
}

TEST_F(MessagesTest, MsgWaitForInputReturnsOnInputOrTimeout) {
  EXPECT_EQ(MsgWaitForInput(0), WAIT_TIMEOUT);
  EXPECT_EQ(MsgWaitForInput(30), WAIT_TIMEOUT);
  PostMessage(sink, WM_USER, 0, 0);
  EXPECT_EQ(MsgWaitForInput(10000), WAIT_OBJECT_0);
  DrainAll();
  std::thread poster([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    PostMessage(sink, WM_USER, 0, 0);
  });
  EXPECT_EQ(MsgWaitForInput(INFINITE), WAIT_OBJECT_0);
  poster.join();
  DrainAll();
  SetTimer(sink, 9, 20);
  EXPECT_EQ(MsgWaitForInput(10000), WAIT_OBJECT_0);
  MSG m;
  ASSERT_TRUE(PeekMessage(&m, 0, 0, 0, PM_REMOVE));
  EXPECT_EQ(m.message, WM_TIMER);
  KillTimer(sink, 9);
}

// Descriptor sources are the POSIX loop's way to take in a toolkit's events.
#ifndef _WIN32
namespace {

// Posts one message per byte read from a pipe, like a socket layer would.
class PipeSource : public EventSource {
 public:
  PipeSource(int fd, HWND target) : fd_(fd), target_(target) {}
  void Prepare(std::vector<WaitItem>& items, int& timeoutMs) override {
    ++prepared;
    items.push_back(WaitItem{fd_, WAIT_READABLE, 0});
    if (capTimeout) timeoutMs = timeoutMs < 0 ? 5 : std::min(timeoutMs, 5);
  }
  void Dispatch(const WaitItem* items, size_t count) override {
    ASSERT_EQ(count, 1u);
    if (items[0].ready & WAIT_READABLE) {
      char c;
      if (read(fd_, &c, 1) == 1) PostMessage(target_, WM_USER + 9, static_cast<unsigned char>(c), 0);
    }
  }
  int prepared = 0;
  bool capTimeout = false;

 private:
  int fd_;
  HWND target_;
};

}  // namespace

TEST_F(MessagesTest, EventSourcesFeedTheLoop) {
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  PipeSource source(p[0], sink);
  AddEventSource(&source);
  AddEventSource(&source);  // once only
  std::thread writer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    ASSERT_EQ(write(p[1], "x", 1), 1);
  });
  MSG m;
  EXPECT_EQ(GetMessage(&m, 0, 0, 0), 1);
  EXPECT_EQ(m.message, WM_USER + 9u);
  EXPECT_EQ(m.wParam, static_cast<WPARAM>('x'));
  writer.join();

  // A source may shorten the wait (a GUI backend capping it while windows are shown).
  source.capTimeout = true;
  int before = source.prepared;
  EXPECT_EQ(MsgWaitForInput(60), WAIT_TIMEOUT);
  EXPECT_GT(source.prepared - before, 3);

  RemoveEventSource(&source);
  ASSERT_EQ(write(p[1], "y", 1), 1);
  EXPECT_FALSE(PeekMessage(&m, 0, 0, 0, PM_REMOVE));
  close(p[0]);
  close(p[1]);
}

#endif

TEST(TickCount, BiasMovesTheCounterAcrossItsWrap) {
  SetTickCountBias(0);
  DWORD plain = GetTickCount();
  SetTickCountBias(0xFFFFFFFFu - plain - 100);
  DWORD before = GetTickCount();
  EXPECT_GE(before, 0xFFFFFF00u);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  DWORD after = GetTickCount();
  EXPECT_LT(after, before);  // wrapped
  EXPECT_GE(static_cast<DWORD>(after - before), 190u);
  SetTickCountBias(0);
}
