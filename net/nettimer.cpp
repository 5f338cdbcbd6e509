#include "net/nettimer.h"

#include <mutex>
#include <unordered_set>

namespace {
// Timers alive now: a tick carries only an address, which may belong to a timer that is
// gone.
std::mutex& LiveLock() {
  static std::mutex* m = new std::mutex;
  return *m;
}
std::unordered_set<TNetTimer*>& Live() {
  static auto* s = new std::unordered_set<TNetTimer*>;
  return *s;
}

TNetWndControl* CheckedOwner(TNetWndControl* owner) {
  if (!owner) throw ENetTimerException("Owner not assigned");
  return owner;
}
}  // namespace

TNetTimer::TNetTimer(TNetWndControl* owner) : TComponent(CheckedOwner(owner)), ownerWnd_(owner) {
  std::lock_guard<std::mutex> lock(LiveLock());
  Live().insert(this);
}

TNetTimer::~TNetTimer() {
  {
    std::lock_guard<std::mutex> lock(LiveLock());
    Live().erase(this);
  }
  if (ownerWnd_ && ownerWnd_->ThreadId() != 0) {
    enabled_ = false;
    ApplyTimer();
  }
}

TNetTimer* TNetTimer::FindLive(platform::WPARAM id) {
  auto* t = reinterpret_cast<TNetTimer*>(id);
  std::lock_guard<std::mutex> lock(LiveLock());
  return Live().count(t) ? t : nullptr;
}

void TNetTimer::RequireWindow() const {
  if (ownerWnd_->ThreadId() == 0) throw ENetTimerException("No window available");
}

void TNetTimer::SetEnabled(bool value) {
  if (value == enabled_) return;
  RequireWindow();
  enabled_ = value;
  ApplyTimer();
}

void TNetTimer::SetInterval(uint32_t value) {
  if (value == interval_) return;
  RequireWindow();
  interval_ = value;
  ApplyTimer();
}

void TNetTimer::SetOnTimer(TNotifyEvent handler) {
  RequireWindow();
  onTimer_ = std::move(handler);
  ApplyTimer();
}

void TNetTimer::ApplyTimer() {
  platform::HWND h = ownerWnd_->Handle();
  auto id = reinterpret_cast<uintptr_t>(this);
  platform::KillTimer(h, id);
  if (interval_ != 0 && enabled_ && onTimer_) {
    if (platform::SetTimer(h, id, interval_) == 0) {
      enabled_ = false;
      throw ENetTimerException("No more timers");
    }
    lastTick_ = platform::GetTickCount();
  }
}

void TNetTimer::TimerTick(TMessage&) {
  uint32_t now = platform::GetTickCount();
  if (onTimer_) {
    // Across a wrap of the counter the elapsed time comes out one short, as it always has.
    uint32_t elapsed = now >= lastTick_ ? now - lastTick_ : (0xFFFFFFFFu - lastTick_) + now;
    if (elapsed >= interval_) {
      lastTick_ = now;
      onTimer_(this);
      return;
    }
  }
  lastTick_ = now;
}
