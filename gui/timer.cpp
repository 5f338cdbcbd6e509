#include "gui/timer.h"

#include "gui/application.h"
#include "platform/messages.h"

namespace {
constexpr uintptr_t kTimerId = 1;
}

TTimer::TTimer(TComponent* owner) : TComponent(owner) {
  sink_ = platform::CreateSink(&TTimer::SinkProc);
  platform::SetSinkData(sink_, reinterpret_cast<platform::LPARAM>(this));
  Update();
}

TTimer::~TTimer() { platform::DestroySink(sink_); }

void TTimer::SetEnabled(bool enabled) {
  if (enabled == enabled_) return;
  enabled_ = enabled;
  Update();
}

void TTimer::SetInterval(unsigned interval) {
  if (interval == interval_) return;
  interval_ = interval;
  Update();
}

void TTimer::Update() {
  platform::KillTimer(sink_, kTimerId);
  if (enabled_ && interval_ != 0) platform::SetTimer(sink_, kTimerId, interval_);
}

void TTimer::Timer() {
  if (OnTimer) OnTimer(this);
}

platform::LRESULT TTimer::SinkProc(platform::HWND hwnd, platform::UINT msg,
                                   platform::WPARAM wParam, platform::LPARAM lParam) {
  if (msg == platform::WM_TIMER && wParam == kTimerId) {
    auto* timer = reinterpret_cast<TTimer*>(platform::GetSinkData(hwnd));
    // A tick that was pending when the timer was stopped is dropped.
    if (timer && timer->enabled_ && timer->interval_ != 0) RunHandler(timer, [timer] { timer->Timer(); });
    return 0;
  }
  return platform::DefWindowProc(hwnd, msg, wParam, lParam);
}
