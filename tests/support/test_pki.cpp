#include "tests/support/test_pki.h"

#include <unistd.h>

#include <cstdlib>
#include <stdexcept>

namespace testsupport {
namespace {

void Run(const std::string& command) {
  if (std::system((command + " >/dev/null 2>&1").c_str()) != 0)
    throw std::runtime_error("certificate tool failed: " + command);
}

}  // namespace

TestPki::TestPki() {
  const std::string tool = "/usr/bin/certtool";
  if (::access(tool.c_str(), X_OK) != 0)
    throw std::runtime_error(tool + " is missing: run scripts/deps.sh");
  const std::string d = dir_.Path();
  auto key = [&](const std::string& name) {
    Run(tool + " --generate-privkey --key-type=ecdsa --outfile " + d + "/" + name + ".key");
  };
  // The CA's key is RSA: Wine's certificate checks reject an ECDSA signature whose r or s
  // is shorter than the curve, one signature in about a hundred.
  Run(tool + " --generate-privkey --key-type=rsa --bits=2048 --outfile " + d + "/ca.key");
  dir_.WriteFile("ca.tmpl", "cn = Updater Test CA\nca\ncert_signing_key\nexpiration_days = 3\n");
  Run(tool + " --generate-self-signed --load-privkey " + d + "/ca.key --template " + d +
      "/ca.tmpl --outfile " + d + "/ca.pem");
  const std::string names = "dns_name = localhost\nip_address = 127.0.0.1\n";
  const struct {
    const char* kind;
    std::string tmpl;
    bool selfSigned;
  } certs[] = {
      {"valid", "cn = localhost\n" + names + "tls_www_server\nexpiration_days = 3\n", false},
      {"othername", "cn = other.example\ndns_name = other.example\ntls_www_server\nexpiration_days = 3\n",
       false},
      {"expired",
       "cn = localhost\n" + names +
           "tls_www_server\nactivation_date = \"2020-01-01 00:00:00\"\n"
           "expiration_date = \"2020-02-01 00:00:00\"\n",
       false},
      {"selfsigned", "cn = localhost\n" + names + "tls_www_server\nexpiration_days = 3\n", true},
  };
  for (const auto& c : certs) {
    const std::string k = c.kind;
    key(k);
    dir_.WriteFile(k + ".tmpl", c.tmpl);
    if (c.selfSigned)
      Run(tool + " --generate-self-signed --load-privkey " + KeyFile(k) + " --template " + d + "/" +
          k + ".tmpl --outfile " + CertFile(k));
    else
      Run(tool + " --generate-certificate --load-privkey " + KeyFile(k) + " --load-ca-certificate " +
          CaFile() + " --load-ca-privkey " + d + "/ca.key --template " + d + "/" + k +
          ".tmpl --outfile " + CertFile(k));
  }
}

std::string TestPki::NginxLines(const std::string& kind) const {
  // TLS 1.3 as most servers speak it, and 1.2 for clients without it (Windows under Wine).
  return "    ssl_certificate " + CertFile(kind) + ";\n    ssl_certificate_key " + KeyFile(kind) +
         ";\n    ssl_protocols TLSv1.2 TLSv1.3;\n";
}

TlsNginxServer::TlsNginxServer(const TestPki& pki, const std::string& kind, const std::string& extra)
    : NginxServer(pki.NginxLines(kind) + extra, " ssl") {}

std::string TlsNginxServer::HttpsUrl(const std::string& path) const {
  return "https://127.0.0.1:" + std::to_string(Port()) + path;
}

}  // namespace testsupport
