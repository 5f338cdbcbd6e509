#include "tests/support/tls_scripted_server.h"

#include <arpa/inet.h>
#include <gnutls/gnutls.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace testsupport {

TlsScriptedServer::TlsScriptedServer(const std::string& certFile, const std::string& keyFile,
                                     std::string reply, bool closeNotify)
    : cert_(certFile), key_(keyFile), reply_(std::move(reply)), closeNotify_(closeNotify) {
  listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(listenFd_, 8) != 0 ||
      ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
    throw std::runtime_error("TLS test server: cannot listen");
  port_ = ntohs(a.sin_port);
  thread_ = std::thread([this] { Serve(); });
}

TlsScriptedServer::~TlsScriptedServer() {
  stop_ = true;
  thread_.join();
  ::close(listenFd_);
}

std::string TlsScriptedServer::Url(const std::string& path) const {
  return "https://127.0.0.1:" + std::to_string(port_) + path;
}

void TlsScriptedServer::Serve() {
  gnutls_certificate_credentials_t cred;
  gnutls_certificate_allocate_credentials(&cred);
  gnutls_certificate_set_x509_key_file(cred, cert_.c_str(), key_.c_str(), GNUTLS_X509_FMT_PEM);
  while (!stop_) {
    pollfd p{listenFd_, POLLIN, 0};
    if (::poll(&p, 1, 50) <= 0) continue;
    const int fd = ::accept(listenFd_, nullptr, nullptr);
    if (fd < 0) continue;
    gnutls_session_t s;
    gnutls_init(&s, GNUTLS_SERVER);
    gnutls_set_default_priority(s);
    gnutls_credentials_set(s, GNUTLS_CRD_CERTIFICATE, cred);
    gnutls_transport_set_int(s, fd);
    gnutls_handshake_set_timeout(s, 5000);
    int r;
    do r = gnutls_handshake(s);
    while (r < 0 && !gnutls_error_is_fatal(r));
    if (r == 0) {
      std::string head;
      char buf[4096];
      while (head.find("\r\n\r\n") == std::string::npos) {
        const ssize_t n = gnutls_record_recv(s, buf, sizeof buf);
        if (n <= 0) break;
        head.append(buf, static_cast<size_t>(n));
      }
      gnutls_record_send(s, reply_.data(), reply_.size());
      if (closeNotify_) gnutls_bye(s, GNUTLS_SHUT_WR);
    }
    // Without close-notify the connection just ends, as a cut one would.
    ::shutdown(fd, SHUT_WR);
    char drain[256];
    pollfd q{fd, POLLIN, 0};
    while (::poll(&q, 1, 2000) > 0 && ::read(fd, drain, sizeof drain) > 0) {
    }
    ::close(fd);
    gnutls_deinit(s);
  }
  gnutls_certificate_free_credentials(cred);
}

}  // namespace testsupport
