#include "net/wsocket.h"

#include <algorithm>

int TCustomSyncWSocket::RunAndWait(const std::function<void()>& proc, bool& flag) {
  flag = false;
  if (proc) proc();
  return WaitForFlag(flag);
}

int TCustomSyncWSocket::WaitForFlag(bool& flag) {
  const uint32_t deadline = platform::GetTickCount() + static_cast<uint32_t>(waitTimeout_);
  for (;;) {
    if (flag) return 0;
    uint32_t now = platform::GetTickCount();
    if (waitTimeout_ > 0 && static_cast<int32_t>(now - deadline) > 0) return WSocketWaitExpired;
    if (ApplicationTerminating() || QuitSeen()) return WSocketWaitExpired;
    PumpMessages();
    if (flag) continue;
    // Sleep until something arrives instead of spinning; the slice keeps a flag set
    // without a message from going unseen for long.
    platform::DWORD slice = 50;
    if (waitTimeout_ > 0) {
      int32_t left = static_cast<int32_t>(deadline - platform::GetTickCount());
      slice = static_cast<platform::DWORD>(std::clamp<int32_t>(left, 0, 50));
    }
    platform::MsgWaitForInput(slice);
  }
}
