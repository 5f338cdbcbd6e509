// Receive throughput over loopback: TWSocket (OnDataAvailable + Receive) against a plain
// poll() + recv() loop with the same buffer size, in the same run.
//
//   socket_bench [MiB per run, default 1024] [buffer bytes, default 65536]
// Our header first: the system headers define some of its names as macros.
#include "net/wsocket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <time.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// Sends `total` bytes to the first connection on a loopback port, then closes.
class Sender {
 public:
  explicit Sender(int64_t total) : total_(total) {
    listenFd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listenFd_, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    ::listen(listenFd_, 1);
    socklen_t len = sizeof(a);
    ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { Run(); });
  }
  ~Sender() {
    thread_.join();
    ::close(listenFd_);
  }
  int Port() const { return port_; }

 private:
  void Run() {
    int fd = ::accept(listenFd_, nullptr, nullptr);
    if (fd < 0) return;
    std::vector<char> block(1 << 20, 'x');
    int64_t left = total_;
    while (left > 0) {
      size_t n = static_cast<size_t>(std::min<int64_t>(left, static_cast<int64_t>(block.size())));
      ssize_t w = ::send(fd, block.data(), n, MSG_NOSIGNAL);
      if (w <= 0) break;
      left -= w;
    }
    ::close(fd);
  }
  int64_t total_;
  int listenFd_;
  int port_;
  std::thread thread_;
};

double Seconds(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

// CPU seconds of the receiving thread: steadier than wall time on a busy machine.
double ThreadCpu() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

struct Result {
  double mibPerSec;
  double cpuPerGiB;
};

Result Measure(int64_t got, Clock::time_point start, Clock::time_point end, double cpu) {
  double mib = static_cast<double>(got) / (1024.0 * 1024.0);
  return {mib / Seconds(start, end), cpu / (mib / 1024.0)};
}

Result RunWSocket(int64_t total, int bufSize) {
  Sender sender(total);
  TWSocket s(nullptr);
  std::vector<char> buf(static_cast<size_t>(bufSize));
  int64_t got = 0;
  bool done = false;
  s.SetAddr("127.0.0.1");
  s.SetPort(std::to_string(sender.Port()));
  s.LingerOnOff = wsLingerNoSet;
  s.OnDataAvailable = [&](TObject*, uint16_t) {
    int n = s.Receive(buf.data(), bufSize);
    if (n > 0) got += n;
  };
  s.OnSessionClosed = [&](TObject*, uint16_t) { done = true; };
  auto start = Clock::now();
  double cpu0 = ThreadCpu();
  s.Connect();
  platform::MSG m;
  while (!done && platform::GetMessage(&m, 0, 0, 0) > 0) platform::DispatchMessage(&m);
  auto end = Clock::now();
  double cpu = ThreadCpu() - cpu0;
  if (got != total) std::fprintf(stderr, "TWSocket received %lld of %lld bytes\n",
                                 static_cast<long long>(got), static_cast<long long>(total));
  return Measure(got, start, end, cpu);
}

Result RunPlain(int64_t total, int bufSize) {
  Sender sender(total);
  std::vector<char> buf(static_cast<size_t>(bufSize));
  auto start = Clock::now();
  double cpu0 = ThreadCpu();
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(sender.Port()));
  ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a));
  int64_t got = 0;
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, -1) < 0) break;
    ssize_t n = ::recv(fd, buf.data(), buf.size(), 0);
    if (n > 0) {
      got += n;
      continue;
    }
    if (n == 0) break;
    if (errno != EAGAIN && errno != EINTR) break;
  }
  ::close(fd);
  auto end = Clock::now();
  double cpu = ThreadCpu() - cpu0;
  if (got != total) std::fprintf(stderr, "plain loop received %lld of %lld bytes\n",
                                 static_cast<long long>(got), static_cast<long long>(total));
  return Measure(got, start, end, cpu);
}

}  // namespace

int main(int argc, char** argv) {
  int64_t mib = argc > 1 ? std::atoll(argv[1]) : 1024;
  int bufSize = argc > 2 ? std::atoi(argv[2]) : 65536;
  int64_t total = mib * 1024 * 1024;
  std::printf("receiving %lld MiB over loopback, %d-byte buffer\n", static_cast<long long>(mib),
              bufSize);
  Result plain = RunPlain(total, bufSize);
  Result wsock = RunWSocket(total, bufSize);
  std::printf("poll()+recv():  %8.1f MiB/s  %6.3f CPU s/GiB\n", plain.mibPerSec, plain.cpuPerGiB);
  std::printf("TWSocket:       %8.1f MiB/s  %6.3f CPU s/GiB\n", wsock.mibPerSec, wsock.cpuPerGiB);
  std::printf("ratio:          %8.1f %% (throughput), %.1f %% (CPU per byte, plain / TWSocket)\n",
              100.0 * wsock.mibPerSec / plain.mibPerSec, 100.0 * plain.cpuPerGiB / wsock.cpuPerGiB);
  return 0;
}
