// A scripted TLS peer: accepts one connection at a time on 127.0.0.1, completes the
// handshake with the given certificate, reads one request head and writes the bytes it
// was given; then ends the connection with or without close-notify. For the endings a
// real server does not produce on request.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

namespace testsupport {

class TlsScriptedServer {
 public:
  TlsScriptedServer(const std::string& certFile, const std::string& keyFile, std::string reply,
                    bool closeNotify);
  ~TlsScriptedServer();
  uint16_t Port() const { return port_; }
  std::string Url(const std::string& path) const;

 private:
  void Serve();
  std::string cert_, key_, reply_;
  bool closeNotify_;
  int listenFd_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace testsupport
