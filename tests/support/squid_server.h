// squid on loopback as an authenticating HTTP proxy: Basic through its NCSA helper with
// one user, CONNECT allowed to any port, nothing cached. Started in the foreground from a
// generated configuration and stopped when the object goes away.
#pragma once

#include <cstdint>
#include <string>

#include "tests/support/peer_servers.h"

namespace testsupport {

class SquidProxy {
 public:
  SquidProxy(const std::string& user, const std::string& password);
  ~SquidProxy();
  uint16_t Port() const { return port_; }
  // The access log so far (one line per request, CONNECT included).
  std::string AccessLog() const;

 private:
  TempDir dir_;
  uint16_t port_ = 0;
  ChildProcess* process_ = nullptr;
};

}  // namespace testsupport
