// TNetTimer: a timer component that ticks through the hidden sink of its owner. OnTimer
// never fires more often than Interval: a platform tick that comes early is skipped.
#pragma once

#include <cstdint>

#include "net/netwndcontrol.h"

class TNetTimer : public TComponent {
 public:
  // Raises ENetTimerException "Owner not assigned" without an owner. Nothing runs until
  // a setter starts the platform timer.
  explicit TNetTimer(TNetWndControl* owner);
  ~TNetTimer() override;
  const char* ClassName() const override { return "TNetTimer"; }

  bool Enabled() const { return enabled_; }
  void SetEnabled(bool value);
  uint32_t Interval() const { return interval_; }
  void SetInterval(uint32_t value);
  const TNotifyEvent& OnTimer() const { return onTimer_; }
  void SetOnTimer(TNotifyEvent handler);

  // The live timer whose id (its address) this is, or nullptr.
  static TNetTimer* FindLive(platform::WPARAM id);

 protected:
  friend class TNetWndHandler;
  virtual void ApplyTimer();
  virtual void TimerTick(TMessage& msg);

 private:
  void RequireWindow() const;

  bool enabled_ = true;
  uint32_t interval_ = 1000;
  TNotifyEvent onTimer_;
  uint32_t lastTick_ = 0;
  TNetWndControl* ownerWnd_;
};
