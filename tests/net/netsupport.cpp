#include "netsupport.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {
int BoundLoopback(int& port) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a));
  socklen_t len = sizeof(a);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  port = ntohs(a.sin_port);
  return fd;
}
}  // namespace

ScriptedPeer::ScriptedPeer() {
  listenFd_ = BoundLoopback(port_);
  ::listen(listenFd_, 4);
}

ScriptedPeer::~ScriptedPeer() {
  Join();
  if (listenFd_ >= 0) ::close(listenFd_);
}

void ScriptedPeer::Run(std::function<bool(int fd)> script) {
  thread_ = std::thread([this, script] {
    int fd = ::accept(listenFd_, nullptr, nullptr);
    if (fd < 0) return;
    if (!script(fd)) ::close(fd);
  });
}

void ScriptedPeer::Join() {
  if (thread_.joinable()) thread_.join();
}

bool ScriptedPeer::SendAll(int fd, const std::string& data) {
  size_t off = 0;
  while (off < data.size()) {
    ssize_t n = ::send(fd, data.data() + off, data.size() - off, MSG_NOSIGNAL);
    if (n <= 0) return false;
    off += static_cast<size_t>(n);
  }
  return true;
}

std::string ScriptedPeer::ReadAll(int fd) {
  std::string out;
  char buf[65536];
  for (;;) {
    ssize_t n = ::recv(fd, buf, sizeof(buf), 0);
    if (n <= 0) return out;
    out.append(buf, static_cast<size_t>(n));
  }
}

std::string ScriptedPeer::ReadN(int fd, size_t want) {
  std::string out;
  char buf[4096];
  while (out.size() < want) {
    ssize_t n = ::recv(fd, buf, std::min(sizeof(buf), want - out.size()), 0);
    if (n <= 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  return out;
}

void ScriptedPeer::Reset(int fd) {
  linger l{1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof(l));
  ::close(fd);
}

void ScriptedPeer::ShutdownSend(int fd) { ::shutdown(fd, SHUT_WR); }

ClosedPort::ClosedPort() { fd_ = BoundLoopback(port_); }
ClosedPort::~ClosedPort() { ::close(fd_); }
