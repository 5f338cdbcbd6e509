// TWSocket: the socket component that is instantiated, with line mode and the
// synchronous wait.
#pragma once

#include <functional>

#include "net/linewsocket.h"

// The code an expired or abandoned wait returns.
constexpr int WSocketWaitExpired = 12001;

class TCustomSyncWSocket : public TCustomLineWSocket {
 public:
  explicit TCustomSyncWSocket(TComponent* owner) : TCustomLineWSocket(owner) {}
  const char* ClassName() const override { return "TCustomSyncWSocket"; }

  // Milliseconds a wait may take; 0 = no limit.
  int WaitTimeout() const { return waitTimeout_; }
  void SetWaitTimeout(int ms) { waitTimeout_ = ms; }

  // Sets flag false, runs proc (which starts something whose completion sets flag) and
  // waits. Both return 0 when the flag was set, 12001 when the time ran out, the
  // application is terminating or the loop met WM_QUIT.
  virtual int RunAndWait(const std::function<void()>& proc, bool& flag);
  virtual int WaitForFlag(bool& flag);
};

class TWSocket : public TCustomSyncWSocket {
 public:
  explicit TWSocket(TComponent* owner) : TCustomSyncWSocket(owner) {}
  const char* ClassName() const override { return "TWSocket"; }
};
