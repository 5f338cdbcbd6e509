// A real SOCKS 5 proxy for integration tests (the packaged dante server), started in the
// foreground from a generated configuration on a free loopback port and stopped when the
// object goes away; and a throw-away system account for its user name method, which
// checks the system's passwords.
#pragma once

#include <cstdint>
#include <string>

#include "tests/support/peer_servers.h"

namespace testsupport {

class SocksProxyServer {
 public:
  // With `usernameMethod` the proxy accepts only clients that give a valid system user
  // name and password; without it, only clients that offer no authentication.
  explicit SocksProxyServer(bool usernameMethod);
  ~SocksProxyServer();
  SocksProxyServer(const SocksProxyServer&) = delete;
  SocksProxyServer& operator=(const SocksProxyServer&) = delete;
  uint16_t Port() const { return port_; }
  // The proxy's log so far (one line per connection it passed or refused).
  std::string Log() const;

 private:
  TempDir dir_;
  uint16_t port_ = 0;
  ChildProcess* process_ = nullptr;
};

// A system account with a random name and password, deleted at destruction. Creating it
// needs root; when that is impossible Created() is false and Reason() says why.
class ThrowAwayUser {
 public:
  ThrowAwayUser();
  ~ThrowAwayUser();
  ThrowAwayUser(const ThrowAwayUser&) = delete;
  ThrowAwayUser& operator=(const ThrowAwayUser&) = delete;
  bool Created() const { return created_; }
  const std::string& Reason() const { return reason_; }
  const std::string& Name() const { return name_; }
  const std::string& Password() const { return password_; }

 private:
  bool created_ = false;
  bool exists_ = false;
  std::string reason_, name_, password_;
};

}  // namespace testsupport
