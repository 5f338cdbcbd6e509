// Runs the calling thread's message loop in tests.
#pragma once

#include <chrono>
#include <functional>

#include "platform/messages.h"

namespace testsupport {

// Dispatches what is queued now.
inline void PumpPending() {
  platform::MSG msg;
  while (platform::PeekMessage(&msg, 0, 0, 0, platform::PM_REMOVE)) platform::DispatchMessage(&msg);
}

// Pumps until done() holds; false when limitMs passed first (a hang, not a speed test).
inline bool PumpUntil(const std::function<bool()>& done, int limitMs = 15000) {
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
  while (!done()) {
    if (std::chrono::steady_clock::now() > until) return false;
    platform::MsgWaitForInput(20);
    PumpPending();
  }
  return true;
}

// Keeps the loop running for a while, so that late events (a second completion, a
// close) have their chance to show.
inline void PumpFor(int ms) {
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < until) {
    platform::MsgWaitForInput(10);
    PumpPending();
  }
}

}  // namespace testsupport
