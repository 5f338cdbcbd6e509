// lighttpd on a free loopback port with a generated configuration, for tests that need
// a second real server (its mod_auth answers Digest challenges).
#pragma once

#include <cstdint>
#include <string>

#include "tests/support/peer_servers.h"

namespace testsupport {

class LighttpdServer {
 public:
  // Extra configuration lines; "server.modules" is set by the caller through them when
  // modules are needed.
  explicit LighttpdServer(const std::string& configExtra = std::string());
  ~LighttpdServer();
  LighttpdServer(const LighttpdServer&) = delete;
  LighttpdServer& operator=(const LighttpdServer&) = delete;
  uint16_t Port() const { return port_; }
  std::string Url(const std::string& path) const;
  std::string Dir() const { return dir_.Path(); }
  std::string AddFile(const std::string& name, const std::string& content) const;

 private:
  TempDir dir_;
  uint16_t port_ = 0;
  ChildProcess* process_ = nullptr;
};

}  // namespace testsupport
