// Real servers on loopback that ask for credentials: nginx with Basic on /private/,
// lighttpd with Digest on everything it serves, and an HTTP proxy with Basic. Each
// serves "secret.txt" (nginx under /private/).
#pragma once

#include <string>

#include "tests/support/lighttpd_server.h"
#include "tests/support/peer_servers.h"

namespace testsupport {

class AuthPeers {
 public:
  static constexpr const char* kBasicUser = "alice";
  static constexpr const char* kBasicPassword = "wonder land";
  static constexpr const char* kDigestUser = "bob";
  static constexpr const char* kDigestPassword = "s3cret:pw";
  static constexpr const char* kDigestRealm = "Digest Area";
  static constexpr const char* kProxyUser = "carol";
  static constexpr const char* kProxyPassword = "proxypass";
  static constexpr const char* kSecret = "only for members\n";

  AuthPeers();
  NginxServer& Nginx() { return nginx_; }
  LighttpdServer& Lighttpd() { return lighttpd_; }
  HttpProxyServer& Proxy() { return proxy_; }

 private:
  TempDir files_;  // password files, made before the servers start
  NginxServer nginx_;
  LighttpdServer lighttpd_;
  HttpProxyServer proxy_;
};

}  // namespace testsupport
