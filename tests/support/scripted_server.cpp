#include "tests/support/scripted_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace testsupport {

namespace {

int ListenLoopback(uint16_t& port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::runtime_error("socket failed");
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 64) != 0) {
    ::close(fd);
    throw std::runtime_error("bind/listen failed");
  }
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  port = ntohs(a.sin_port);
  return fd;
}

// The value of a header named in head (case-insensitive), or "" when absent.
std::string HeaderValue(const std::string& head, const std::string& name) {
  size_t pos = 0;
  while ((pos = head.find("\r\n", pos)) != std::string::npos) {
    pos += 2;
    if (head.size() - pos < name.size() + 1) break;
    if (strncasecmp(head.c_str() + pos, name.c_str(), name.size()) == 0 &&
        head[pos + name.size()] == ':') {
      size_t v = pos + name.size() + 1;
      while (v < head.size() && head[v] == ' ') ++v;
      size_t e = head.find("\r\n", v);
      return head.substr(v, e - v);
    }
  }
  return std::string();
}

}  // namespace

ScriptedConnection::ScriptedConnection(int fd, ScriptedServer* server)
    : fd_(fd), server_(server) {}

ScriptedConnection::~ScriptedConnection() {
  if (fd_ >= 0) ::close(fd_);
}

bool ScriptedConnection::Fill() {
  while (!server_->stop_.load()) {
    pollfd p{fd_, POLLIN, 0};
    int r = ::poll(&p, 1, 50);
    if (r < 0 && errno != EINTR) return false;
    if (r <= 0) continue;
    char buf[65536];
    ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    if (n <= 0) return false;
    buffer_.append(buf, static_cast<size_t>(n));
    received_.append(buf, static_cast<size_t>(n));
    return true;
  }
  return false;
}

std::string ScriptedConnection::ReadRequest() {
  size_t end;
  while ((end = buffer_.find("\r\n\r\n")) == std::string::npos) {
    if (!Fill()) return std::string();
  }
  std::string head = buffer_.substr(0, end + 4);
  size_t bodyLength = std::strtoul(HeaderValue(head, "Content-Length").c_str(), nullptr, 10);
  while (buffer_.size() < head.size() + bodyLength) {
    if (!Fill()) break;
  }
  size_t take = std::min(buffer_.size(), head.size() + bodyLength);
  std::string request = buffer_.substr(0, take);
  buffer_.erase(0, take);
  server_->RecordRequest(request);
  return request;
}

std::string ScriptedConnection::ReadToClose() {
  while (Fill()) {
  }
  std::string all = buffer_;
  buffer_.clear();
  return all;
}

bool ScriptedConnection::Write(const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n <= 0) {
      if (n < 0 && errno == EINTR) continue;
      return false;  // the client went away: a test may provoke that
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

void ScriptedConnection::Close() { ::shutdown(fd_, SHUT_WR); }

void ScriptedConnection::Relay(uint16_t port) {
  int target = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (target < 0) return;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(port);
  if (::connect(target, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(target);
    return;
  }
  auto sendAll = [](int fd, const char* data, size_t size) {
    while (size > 0) {
      const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      data += n;
      size -= static_cast<size_t>(n);
    }
    return true;
  };
  bool open = sendAll(target, buffer_.data(), buffer_.size());
  buffer_.clear();
  while (open && !server_->stop_.load()) {
    pollfd p[2] = {{fd_, POLLIN, 0}, {target, POLLIN, 0}};
    const int r = ::poll(p, 2, 50);
    if (r < 0 && errno != EINTR) break;
    for (int i = 0; i < 2 && open && r > 0; ++i) {
      if (!(p[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char buf[65536];
      const ssize_t n = ::recv(p[i].fd, buf, sizeof buf, 0);
      open = n > 0 && sendAll(p[1 - i].fd, buf, static_cast<size_t>(n));
    }
  }
  ::close(target);
}

void ScriptedConnection::WaitForPeerClose() { ReadToClose(); }

ScriptedServer::ScriptedServer(Handler handler) : handler_(std::move(handler)) {
  listenFd_ = ListenLoopback(port_);
  acceptThread_ = std::thread([this] { AcceptLoop(); });
}

ScriptedServer::~ScriptedServer() { Stop(); }

std::string ScriptedServer::Url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::vector<std::string> ScriptedServer::Requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

void ScriptedServer::RecordRequest(const std::string& request) {
  std::lock_guard<std::mutex> lock(mutex_);
  requests_.push_back(request);
}

void ScriptedServer::Stop() {
  if (stop_.exchange(true)) return;
  if (acceptThread_.joinable()) acceptThread_.join();
  std::vector<std::thread> threads;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    threads.swap(threads_);
  }
  for (auto& t : threads) t.join();
  if (listenFd_ >= 0) ::close(listenFd_);
  listenFd_ = -1;
}

void ScriptedServer::AcceptLoop() {
  while (!stop_.load()) {
    pollfd p{listenFd_, POLLIN, 0};
    if (::poll(&p, 1, 50) <= 0) continue;
    int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    connections_.fetch_add(1);
    std::lock_guard<std::mutex> lock(mutex_);
    threads_.emplace_back([this, fd] {
      ScriptedConnection conn(fd, this);
      handler_(conn);
      // Give the client the end of the stream, then wait for its own close so that a
      // reset never eats bytes the client has not read yet.
      conn.Close();
      conn.WaitForPeerClose();
    });
  }
}

ScriptedServer::Handler ScriptedServer::Responses(std::vector<std::string> responses,
                                                  bool closeAfter) {
  auto list = std::make_shared<std::vector<std::string>>(std::move(responses));
  auto next = std::make_shared<std::atomic<size_t>>(0);
  return [list, next, closeAfter](ScriptedConnection& conn) {
    for (;;) {
      if (conn.ReadRequest().empty()) return;
      size_t i = next->fetch_add(1);
      if (i >= list->size()) return;
      conn.Write((*list)[i]);
      if (closeAfter || i + 1 >= list->size()) return;
    }
  };
}

uint16_t UnusedPort() {
  uint16_t port;
  int fd = ListenLoopback(port);
  ::close(fd);
  return port;
}

}  // namespace testsupport
