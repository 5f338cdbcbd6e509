// A timer of the visible window: while enabled with a non-zero interval it fires
// OnTimer every Interval milliseconds from the message loop. An error escaping OnTimer
// goes to the application-wide error report.
#pragma once

#include "base/classes.h"
#include "platform/types.h"

class TTimer : public TComponent {
 public:
  explicit TTimer(TComponent* owner);
  ~TTimer() override;
  const char* ClassName() const override { return "TTimer"; }

  bool Enabled() const { return enabled_; }
  void SetEnabled(bool enabled);
  unsigned Interval() const { return interval_; }
  void SetInterval(unsigned interval);

  TNotifyEvent OnTimer;

 protected:
  virtual void Timer();

 private:
  static platform::LRESULT SinkProc(platform::HWND hwnd, platform::UINT msg,
                                    platform::WPARAM wParam, platform::LPARAM lParam);
  void Update();

  bool enabled_ = true;
  unsigned interval_ = 1000;
  platform::HWND sink_ = 0;
};
