// Certificates for https tests, made with certtool when the object is built: a test CA
// and server certificates signed by it for 127.0.0.1 and localhost (valid, expired,
// for another name), plus a self-signed one. Server keys are ECDSA, so making them is quick.
#pragma once

#include <string>

#include "tests/support/peer_servers.h"

namespace testsupport {

class TestPki {
 public:
  TestPki();
  std::string CaFile() const { return dir_.Path() + "/ca.pem"; }
  // Certificate and key file pairs, by kind: "valid", "expired", "othername", "selfsigned".
  std::string CertFile(const std::string& kind) const { return dir_.Path() + "/" + kind + ".pem"; }
  std::string KeyFile(const std::string& kind) const { return dir_.Path() + "/" + kind + ".key"; }
  // nginx server-block lines serving that certificate.
  std::string NginxLines(const std::string& kind) const;

 private:
  TempDir dir_;
};

// nginx listening with TLS on loopback, serving the given kind of certificate.
class TlsNginxServer : public NginxServer {
 public:
  TlsNginxServer(const TestPki& pki, const std::string& kind, const std::string& extra = "");
  std::string HttpsUrl(const std::string& path) const;
};

}  // namespace testsupport
