// Helpers of the socket tests: pumping the thread's messages until something happened,
// and a scripted TCP peer on 127.0.0.1 that runs on its own thread.
#pragma once

#include <functional>
#include <string>
#include <thread>

#include "platform/messages.h"

// Dispatches the thread's messages until cond() holds. The limit only keeps a broken
// build from hanging the run; no test depends on how long anything takes.
inline bool PumpUntil(const std::function<bool()>& cond, int limitMs = 20000) {
  uint32_t start = platform::GetTickCount();
  platform::MSG m;
  while (!cond()) {
    if (platform::GetTickCount() - start > static_cast<uint32_t>(limitMs)) return false;
    platform::MsgWaitForInput(20);
    while (platform::PeekMessage(&m, 0, 0, 0, platform::PM_REMOVE)) {
      platform::DispatchMessage(&m);
      if (cond()) return true;
    }
  }
  return true;
}

// Dispatches whatever is pending now (and what that produces) without waiting.
inline void PumpPending() {
  platform::MSG m;
  for (int round = 0; round < 3; ++round) {
    platform::MsgWaitForInput(5);
    while (platform::PeekMessage(&m, 0, 0, 0, platform::PM_REMOVE)) platform::DispatchMessage(&m);
  }
}

// Listens on an ephemeral loopback port; Run() accepts one connection on a thread and
// hands its descriptor to the script, then closes it (unless the script took it over).
// Plain system sockets, so the tests see our layer from the outside.
class ScriptedPeer {
 public:
  ScriptedPeer();
  ~ScriptedPeer();
  std::string Port() const { return std::to_string(port_); }
  // script(fd) returns true when it closed fd itself.
  void Run(std::function<bool(int fd)> script);
  void Join();

  static bool SendAll(int fd, const std::string& data);
  // Reads until the peer closes; returns everything.
  static std::string ReadAll(int fd);
  // Reads exactly n bytes (fewer when the connection ends).
  static std::string ReadN(int fd, size_t n);
  // Closes with a reset instead of a FIN.
  static void Reset(int fd);
  static void ShutdownSend(int fd);

 private:
  int listenFd_ = -1;
  int port_ = 0;
  std::thread thread_;
};

// A loopback port nobody listens on: bound, never listened to, so connects are refused.
class ClosedPort {
 public:
  ClosedPort();
  ~ClosedPort();
  std::string Port() const { return std::to_string(port_); }

 private:
  int fd_;
  int port_;
};
