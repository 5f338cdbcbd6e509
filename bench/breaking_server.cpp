// A static HTTP server for one file that breaks every connection after a fixed number of
// body bytes, as a poor line does. It answers GET with or without one "Range: bytes=A-B"
// (206 with Content-Range, or 200), with an ETag and Last-Modified, one request per
// connection. Every body byte sent is counted; the total goes to COUNTFILE after each
// connection, so that a benchmark can tell how much a client fetched in all.
//
//   breaking_server FILE BREAK_BYTES PORTFILE COUNTFILE
// Listens on an ephemeral port on 127.0.0.1 and writes it to PORTFILE; runs until killed.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>

namespace {

std::string content;
int64_t breakBytes = 0;
std::string countFile;
std::atomic<int64_t> total{0};
std::mutex countMutex;

bool SendAll(int fd, const char* p, size_t n) {
  while (n > 0) {
    const ssize_t k = send(fd, p, n, MSG_NOSIGNAL);
    if (k <= 0) return false;
    p += k;
    n -= static_cast<size_t>(k);
  }
  return true;
}

void Serve(int fd) {
  std::string head;
  char buf[4096];
  while (head.find("\r\n\r\n") == std::string::npos && head.size() < 65536) {
    const ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) {
      close(fd);
      return;
    }
    head.append(buf, static_cast<size_t>(n));
  }
  const int64_t size = static_cast<int64_t>(content.size());
  int64_t first = 0, last = size - 1;
  bool ranged = false;
  const size_t at = head.find("Range: bytes=");
  if (at != std::string::npos) {
    ranged = true;
    first = std::atoll(head.c_str() + at + 13);
    const size_t dash = head.find('-', at + 13);
    const size_t end = head.find("\r\n", at);
    if (dash != std::string::npos && dash + 1 < end && head[dash + 1] != '\r')
      last = std::min<int64_t>(std::atoll(head.c_str() + dash + 1), size - 1);
  }
  std::string reply;
  if (ranged && (first >= size || first > last)) {
    reply = "HTTP/1.1 416 Range Not Satisfiable\r\nContent-Range: bytes */" + std::to_string(size) +
            "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
    SendAll(fd, reply.data(), reply.size());
    close(fd);
    return;
  }
  const int64_t length = last - first + 1;
  reply = std::string(ranged ? "HTTP/1.1 206 Partial Content\r\n" : "HTTP/1.1 200 OK\r\n") +
          "ETag: \"bench-" + std::to_string(size) + "\"\r\nLast-Modified: Mon, 01 Jan 2024 00:00:00 GMT\r\n" +
          "Accept-Ranges: bytes\r\nContent-Length: " + std::to_string(length) + "\r\n";
  if (ranged)
    reply += "Content-Range: bytes " + std::to_string(first) + "-" + std::to_string(last) + "/" + std::to_string(size) + "\r\n";
  reply += "Connection: close\r\n\r\n";
  int64_t sent = 0;
  if (SendAll(fd, reply.data(), reply.size())) {
    const int64_t allowed = std::min(length, breakBytes);
    while (sent < allowed) {
      const size_t n = static_cast<size_t>(std::min<int64_t>(65536, allowed - sent));
      if (!SendAll(fd, content.data() + first + sent, n)) break;
      sent += static_cast<int64_t>(n);
    }
  }
  // The connection ends there, mid-body: what was sent arrives, the rest never does.
  shutdown(fd, SHUT_WR);
  close(fd);
  const int64_t now = total += sent;
  std::lock_guard<std::mutex> lock(countMutex);
  std::ofstream(countFile, std::ios::trunc) << now << "\n";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: %s FILE BREAK_BYTES PORTFILE COUNTFILE\n", argv[0]);
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  content.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  breakBytes = std::atoll(argv[2]);
  countFile = argv[4];
  std::ofstream(countFile) << 0 << "\n";
  const int listener = socket(AF_INET, SOCK_STREAM, 0);
  const int one = 1;
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(listener, 64) != 0 ||
      getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    std::perror("listen");
    return 1;
  }
  std::ofstream(argv[3]) << ntohs(a.sin_port) << "\n";
  for (;;) {
    const int fd = accept(listener, nullptr, nullptr);
    if (fd < 0) continue;
    std::thread(Serve, fd).detach();
  }
}
