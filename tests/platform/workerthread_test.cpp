#include "platform/workerthread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/messages.h"

using namespace platform;

namespace {

constexpr UINT kHalfway = WM_USER + 10;
constexpr UINT kDone = WM_USER + 11;

struct Log {
  std::vector<UINT> messages;
  std::vector<DWORD> threads;
  WPARAM doneW = 0;
  LPARAM doneL = 0;
  std::atomic<bool>* go = nullptr;
};
Log* t_log = nullptr;

LRESULT Recorder(HWND, UINT m, WPARAM w, LPARAM l) {
  if (!t_log) return 0;
  t_log->messages.push_back(m);
  t_log->threads.push_back(GetCurrentThreadId());
  if (m == kHalfway && t_log->go) *t_log->go = true;
  if (m == kDone) {
    t_log->doneW = w;
    t_log->doneL = l;
  }
  return 0;
}

// Runs the calling thread's loop until the done message came; false after ten seconds.
bool PumpUntilDone(Log& log) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < until) {
    MsgWaitForInput(20);
    MSG m;
    while (PeekMessage(&m, 0, 0, 0, PM_REMOVE)) DispatchMessage(&m);
    for (UINT seen : log.messages)
      if (seen == kDone) return true;
  }
  return false;
}

TEST(WorkerThreadTest, TheStarterKeepsItsLoopWhileTheWorkBlocksAndHearsOfItsEnd) {
  Log log;
  std::atomic<bool> go{false};
  log.go = &go;
  t_log = &log;
  HWND sink = CreateSink(Recorder);
  std::atomic<DWORD> workThread{0};
  std::atomic<bool> finished{false};
  // The work cannot end before the starter's loop has dispatched its halfway message.
  THREAD thread = StartThread(
      [&] {
        workThread = GetCurrentThreadId();
        PostMessage(sink, kHalfway, 0, 0);
        while (!go) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        finished = true;
      },
      sink, kDone, 7, -3);
  ASSERT_NE(thread, 0u);
  ASSERT_TRUE(PumpUntilDone(log));
  EXPECT_TRUE(finished);
  EXPECT_EQ(log.messages, (std::vector<UINT>{kHalfway, kDone}));
  EXPECT_EQ(log.doneW, 7u);
  EXPECT_EQ(log.doneL, -3);
  EXPECT_NE(workThread.load(), GetCurrentThreadId());
  for (DWORD id : log.threads) EXPECT_EQ(id, GetCurrentThreadId());
  EXPECT_TRUE(JoinThread(thread));
  DestroySink(sink);
  t_log = nullptr;
}

TEST(WorkerThreadTest, JoinWaitsForTheWorkAndNoSinkMeansNoMessage) {
  Log log;
  t_log = &log;
  std::atomic<bool> finished{false};
  THREAD thread = StartThread(
      [&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        finished = true;
      },
      0, kDone, 0, 0);
  ASSERT_NE(thread, 0u);
  EXPECT_TRUE(JoinThread(thread));
  EXPECT_TRUE(finished);
  MSG m;
  while (PeekMessage(&m, 0, 0, 0, PM_REMOVE)) DispatchMessage(&m);
  EXPECT_TRUE(log.messages.empty());
  EXPECT_FALSE(JoinThread(0));
  t_log = nullptr;
}

}  // namespace
