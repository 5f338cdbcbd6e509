// A loopback peer for fuzz targets that drive a client: it listens on an ephemeral port
// and answers each request head with the next piece of the script, on a thread of its
// own, closing a connection after the last piece or once it has been quiet for a moment.
#pragma once

// The platform's headers first: they name their own socket constants, which the
// system's headers would otherwise turn into macros.
#include "platform/messages.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace fuzzpeer {

class Server {
 public:
  Server() {
    listen_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(listen_, 16) != 0)
      std::abort();
    socklen_t len = sizeof a;
    getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    fcntl(listen_, F_SETFL, O_NONBLOCK);
    thread_ = std::thread([this] { Loop(); });
    thread_.detach();  // lives as long as the process
  }
  uint16_t Port() const { return port_; }

  // A new input: the old connections go, these answers are given from now on.
  void Script(std::vector<std::string> answers) {
    std::lock_guard<std::mutex> lock(mutex_);
    answers_ = std::move(answers);
    next_ = 0;
    ++generation_;
  }

 private:
  struct Conn {
    int fd;
    unsigned generation;
    std::string in;
    std::chrono::steady_clock::time_point answered{};
  };
  // A connection that has had an answer and asks nothing more for this long is closed,
  // so an answer without an end of its own does not keep the client waiting.
  static constexpr std::chrono::milliseconds kQuiet{30};

  void Loop() {
    std::vector<Conn> conns;
    for (;;) {
      std::vector<pollfd> fds{{listen_, POLLIN, 0}};
      for (const Conn& c : conns) fds.push_back({c.fd, POLLIN, 0});
      poll(fds.data(), fds.size(), 20);
      std::lock_guard<std::mutex> lock(mutex_);
      for (;;) {
        int fd = accept(listen_, nullptr, nullptr);
        if (fd < 0) break;
        conns.push_back({fd, generation_, std::string(), {}});
      }
      for (size_t i = 0; i < conns.size();) {
        Conn& c = conns[i];
        bool drop = c.generation != generation_;
        char buf[4096];
        ssize_t n;
        while (!drop && (n = recv(c.fd, buf, sizeof buf, MSG_DONTWAIT)) != 0) {
          if (n < 0) break;
          c.in.append(buf, static_cast<size_t>(n));
        }
        if (!drop && n == 0) drop = true;
        // Each request head is answered with the next piece; none left: the close.
        size_t end;
        while (!drop && (end = c.in.find("\r\n\r\n")) != std::string::npos) {
          c.in.erase(0, end + 4);
          if (next_ >= answers_.size()) {
            drop = true;
            break;
          }
          const std::string& a = answers_[next_++];
          if (send(c.fd, a.data(), a.size(), MSG_NOSIGNAL) < 0) drop = true;
          if (next_ >= answers_.size()) drop = true;
          c.answered = std::chrono::steady_clock::now();
        }
        if (!drop && c.in.empty() && c.answered.time_since_epoch().count() != 0 &&
            std::chrono::steady_clock::now() - c.answered > kQuiet)
          drop = true;
        if (drop) {
          shutdown(c.fd, SHUT_WR);
          close(c.fd);
          conns.erase(conns.begin() + static_cast<long>(i));
        } else {
          ++i;
        }
      }
    }
  }

  int listen_ = -1;
  uint16_t port_ = 0;
  std::thread thread_;
  std::mutex mutex_;
  std::vector<std::string> answers_;
  size_t next_ = 0;
  unsigned generation_ = 0;
};

// Splits a fuzz input at "\n=====\n" into the answers of a script.
inline std::vector<std::string> SplitAnswers(const std::string& rest) {
  std::vector<std::string> answers;
  const std::string marker = "\n=====\n";
  for (size_t at = 0;;) {
    const size_t next = rest.find(marker, at);
    answers.push_back(rest.substr(at, next == std::string::npos ? std::string::npos : next - at));
    if (next == std::string::npos) break;
    at = next + marker.size();
  }
  return answers;
}

inline void Pump() {
  platform::MSG msg;
  while (platform::PeekMessage(&msg, 0, 0, 0, platform::PM_REMOVE)) platform::DispatchMessage(&msg);
}


}  // namespace fuzzpeer
