// The whole HTTP client against scripted answers: a loopback server on an ephemeral port
// answers each request with the next piece of the input. The first byte sets the client
// up (version, credentials, proxy, HEAD, relocations); the rest is split at "\n=====\n"
// into the answers, each written as it comes, and a connection is closed after the last.
// Every connection stays on loopback: the client is pointed back at the server whatever
// host a relocation names, so no name is ever looked up.
// The client's headers come first: the platform layer names its own socket constants,
// which the system's headers would otherwise turn into macros.
#include "http/httpcli.h"
#include "platform/messages.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

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

// Every connection goes back to the scripted server.
class TLoopbackHttpCli : public THttpCli {
 public:
  TLoopbackHttpCli(uint16_t port) : THttpCli(nullptr), port_(std::to_string(port)) {}

 protected:
  void Login() override {
    ConnectHost = "127.0.0.1";
    ConnectPort = port_;
    THttpCli::Login();
  }

 private:
  std::string port_;
};

void Pump() {
  platform::MSG msg;
  while (platform::PeekMessage(&msg, 0, 0, 0, platform::PM_REMOVE)) platform::DispatchMessage(&msg);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Server* server = new Server();
  if (size < 1) return 0;
  const uint8_t options = data[0];
  const std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
  std::vector<std::string> answers;
  const std::string marker = "\n=====\n";
  for (size_t at = 0;;) {
    const size_t next = rest.find(marker, at);
    answers.push_back(rest.substr(at, next == std::string::npos ? std::string::npos : next - at));
    if (next == std::string::npos) break;
    at = next + marker.size();
  }
  server->Script(answers);

  TStringStream body;
  bool done = false;
  int doneCount = 0;
  {
    TLoopbackHttpCli http(server->Port());
    http.ReceiveStream = &body;
    if (options & 1) http.SetRequestVer("1.1");
    if (options & 2) {
      http.Username = "user";
      http.Password = "password";
    }
    if (options & 4) http.ServerAuth = (options & 64) ? httpAuthDigest : httpAuthBasic;
    if (options & 8) http.FollowRelocation = false;
    if (options & 32) {
      http.Proxy = "127.0.0.1";
      http.ProxyPort = std::to_string(server->Port());
      http.ProxyUsername = "proxy";
      http.ProxyPassword = "secret";
      http.ProxyAuth = (options & 64) ? httpAuthNtlm : httpAuthBasic;
    }
    if (options & 128) http.LocationTrusted = true;
    http.OnRequestDone = [&](TObject*, THttpRequest, uint16_t) {
      done = true;
      ++doneCount;
    };
    http.URL = "http://127.0.0.1:" + std::to_string(server->Port()) + "/start/doc.html";
    if (options & 16)
      http.StartRequest(httpHEAD);
    else
      http.GetASync();
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (!done && std::chrono::steady_clock::now() < until) {
      platform::MsgWaitForInput(10);
      Pump();
    }
    if (!done) http.Abort();
    for (int i = 0; i < 3; ++i) Pump();
    // One request ends once.
    if (doneCount > 1) std::abort();
  }
  Pump();
  server->Script({});
  return 0;
}
