// The TLS engine over GnuTLS. Records go through the layer's transport: GnuTLS is never
// given a descriptor.
#include <gnutls/gnutls.h>
#include <gnutls/x509.h>

#include <cerrno>
#include <map>
#include <mutex>
#include <vector>

#include "net/tlsengine.h"

namespace {

// TLS 1.2 or later, GnuTLS' default ciphers otherwise.
constexpr const char* kPriorities = "NORMAL:-VERS-ALL:+VERS-TLS1.3:+VERS-TLS1.2";

bool IsDottedOrIpv6(const std::string& host) {
  if (host.find(':') != std::string::npos) return true;
  for (char c : host)
    if ((c < '0' || c > '9') && c != '.') return false;
  return !host.empty();
}

// Sessions to resume, by host name and extra trust: a new connection to a server seen
// before (a download's next part) skips the full handshake. Only verified sessions are
// kept, and only offered under the same trust they were verified with.
class TSessionCache {
 public:
  static TSessionCache& Get() {
    static TSessionCache cache;
    return cache;
  }
  std::vector<unsigned char> Find(const std::string& key) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = sessions_.find(key);
    return it == sessions_.end() ? std::vector<unsigned char>() : it->second;
  }
  void Keep(const std::string& key, const gnutls_datum_t& data) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (sessions_.size() >= kLimit && sessions_.find(key) == sessions_.end()) sessions_.clear();
    sessions_[key].assign(data.data, data.data + data.size);
  }

 private:
  static constexpr size_t kLimit = 64;
  std::mutex mutex_;
  std::map<std::string, std::vector<unsigned char>> sessions_;
};

class TGnuTlsEngine : public TTlsEngine {
 public:
  explicit TGnuTlsEngine(TTlsTransport& transport) : transport_(transport) {}
  ~TGnuTlsEngine() override {
    if (session_) gnutls_deinit(session_);
    if (credentials_) gnutls_certificate_free_credentials(credentials_);
  }

  bool Start(const TTlsSettings& settings) override {
    host_ = settings.HostName;
    if (gnutls_certificate_allocate_credentials(&credentials_) < 0)
      return Fail(TlsErrSetup, "TLS setup failed: no memory for credentials");
    // A machine without a system store can still trust the CA file it was given.
    const int system = gnutls_certificate_set_x509_system_trust(credentials_);
    if (!settings.ExtraCaPem.empty()) {
      gnutls_datum_t pem{reinterpret_cast<unsigned char*>(const_cast<char*>(settings.ExtraCaPem.data())),
                         static_cast<unsigned>(settings.ExtraCaPem.size())};
      if (gnutls_certificate_set_x509_trust_mem(credentials_, &pem, GNUTLS_X509_FMT_PEM) <= 0)
        return Fail(TlsErrSetup, "TLS setup failed: the CA file holds no PEM certificate");
    } else if (system <= 0 && settings.Verify) {
      return Fail(TlsErrSetup, "TLS setup failed: no trusted certificates on this system");
    }
    if (gnutls_init(&session_, GNUTLS_CLIENT | GNUTLS_NONBLOCK) < 0)
      return Fail(TlsErrSetup, "TLS setup failed: no session");
    if (gnutls_priority_set_direct(session_, kPriorities, nullptr) < 0)
      return Fail(TlsErrSetup, "TLS setup failed: priorities refused");
    gnutls_credentials_set(session_, GNUTLS_CRD_CERTIFICATE, credentials_);
    if (!host_.empty() && !IsDottedOrIpv6(host_))
      gnutls_server_name_set(session_, GNUTLS_NAME_DNS, host_.data(), host_.size());
    // The name check covers address names too when the host is an address.
    if (settings.Verify) gnutls_session_set_verify_cert(session_, host_.c_str(), 0);
    if (settings.Verify && !host_.empty()) {
      sessionKey_ = host_ + '\n' + settings.ExtraCaPem;
      std::vector<unsigned char> data = TSessionCache::Get().Find(sessionKey_);
      if (!data.empty()) gnutls_session_set_data(session_, data.data(), data.size());
    }
    gnutls_transport_set_ptr(session_, this);
    gnutls_transport_set_push_function(session_, &TGnuTlsEngine::Push);
    gnutls_transport_set_pull_function(session_, &TGnuTlsEngine::Pull);
    return true;
  }

  TTlsStatus Handshake() override {
    for (;;) {
      const int r = gnutls_handshake(session_);
      if (r == 0) {
        // TLS 1.2 tickets come with the handshake; TLS 1.3 ones after it (see Read).
        if (gnutls_protocol_get_version(session_) != GNUTLS_TLS1_3) KeepSession();
        return TTlsStatus::Ok;
      }
      if (r == GNUTLS_E_AGAIN || r == GNUTLS_E_INTERRUPTED) return TTlsStatus::WouldBlock;
      if (!gnutls_error_is_fatal(r)) continue;  // a warning alert: the handshake goes on
      HandshakeFailed(r);
      return TTlsStatus::Failed;
    }
  }

  int Read(void* buffer, int size, TTlsStatus& status) override {
    // A message after the handshake (TLS 1.3's session tickets) also ends a receive with
    // "again", though the records behind it may already be here: only a transport that
    // has nothing more means wait. The bound keeps a peer from holding the loop.
    for (int handled = 0;; ++handled) {
      pullBlocked_ = false;
      const ssize_t r = gnutls_record_recv(session_, buffer, static_cast<size_t>(size));
      if (!sessionKept_ && !sessionKey_.empty() &&
          (gnutls_session_get_flags(session_) & GNUTLS_SFLAGS_SESSION_TICKET))
        KeepSession();
      if (r > 0) {
        status = TTlsStatus::Ok;
        return static_cast<int>(r);
      }
      if (r == 0) {
        status = TTlsStatus::Closed;
        return 0;
      }
      if (r == GNUTLS_E_AGAIN || r == GNUTLS_E_INTERRUPTED) {
        if (!pullBlocked_ && handled < kMessagesPerRead) continue;
        status = TTlsStatus::WouldBlock;
        return 0;
      }
      if (r == GNUTLS_E_REHANDSHAKE || !gnutls_error_is_fatal(static_cast<int>(r))) continue;
      status = TTlsStatus::Failed;
      if (r == GNUTLS_E_PREMATURE_TERMINATION)
        Fail(TlsErrTruncated, "TLS connection closed without close-notify");
      else
        Fail(TlsErrProtocol, std::string("TLS receive failed: ") + gnutls_strerror(static_cast<int>(r)));
      return 0;
    }
  }

  int Write(const void* data, int size) override {
    const ssize_t r = gnutls_record_send(session_, data, static_cast<size_t>(size));
    if (r >= 0) return static_cast<int>(r);
    Fail(TlsErrProtocol, std::string("TLS send failed: ") + gnutls_strerror(static_cast<int>(r)));
    return -1;
  }

  void Bye() override {
    // Pushing never blocks, so one call queues the whole alert.
    gnutls_bye(session_, GNUTLS_SHUT_WR);
  }

  int Pending() override {
    return session_ ? static_cast<int>(gnutls_record_check_pending(session_)) : 0;
  }
  int ErrorCode() const override { return errorCode_; }
  const std::string& ErrorText() const override { return errorText_; }

  std::string Description() override {
    char* d = gnutls_session_get_desc(session_);
    std::string s = d ? d : "";
    gnutls_free(d);
    return s;
  }

 private:
  static ssize_t Push(gnutls_transport_ptr_t p, const void* data, size_t size) {
    auto* self = static_cast<TGnuTlsEngine*>(p);
    self->transport_.TlsPush(data, static_cast<int>(size));
    return static_cast<ssize_t>(size);
  }

  static ssize_t Pull(gnutls_transport_ptr_t p, void* buffer, size_t size) {
    auto* self = static_cast<TGnuTlsEngine*>(p);
    const int n = self->transport_.TlsPull(buffer, static_cast<int>(size));
    if (n >= 0) return n;
    if (n == -1) self->pullBlocked_ = true;
    gnutls_transport_set_errno(self->session_, n == -1 ? EAGAIN : ECONNRESET);
    return -1;
  }

  void KeepSession() {
    if (sessionKey_.empty()) return;
    gnutls_datum_t data{};
    if (gnutls_session_get_data2(session_, &data) != 0) return;
    if (data.size > 0) TSessionCache::Get().Keep(sessionKey_, data);
    gnutls_free(data.data);
    sessionKept_ = true;
  }

  bool Fail(int code, const std::string& text) {
    errorCode_ = code;
    errorText_ = text;
    return false;
  }

  void HandshakeFailed(int r) {
    if (r == GNUTLS_E_CERTIFICATE_VERIFICATION_ERROR) {
      const unsigned status = gnutls_session_get_verify_cert_status(session_);
      // The most fundamental reason first: an untrusted chain's dates and names mean nothing.
      if (status & (GNUTLS_CERT_SIGNER_NOT_FOUND | GNUTLS_CERT_SIGNER_NOT_CA |
                    GNUTLS_CERT_SIGNATURE_FAILURE | GNUTLS_CERT_INSECURE_ALGORITHM |
                    GNUTLS_CERT_REVOKED))
        Fail(TlsErrNotTrusted, "certificate not trusted");
      else if (status & (GNUTLS_CERT_EXPIRED | GNUTLS_CERT_NOT_ACTIVATED))
        Fail(TlsErrExpired, "certificate expired or not yet valid");
      else if (status & GNUTLS_CERT_UNEXPECTED_OWNER)
        Fail(TlsErrWrongHost, "certificate is for another host than " + host_);
      else
        Fail(TlsErrNotTrusted, "certificate not trusted");
      gnutls_datum_t out{};
      if (gnutls_certificate_verification_status_print(status, GNUTLS_CRT_X509, &out, 0) == 0) {
        errorText_ += std::string(" (") + reinterpret_cast<const char*>(out.data) + ")";
        gnutls_free(out.data);
      }
      return;
    }
    if (r == GNUTLS_E_FATAL_ALERT_RECEIVED) {
      Fail(TlsErrHandshake, std::string("TLS handshake failed: the server sent the alert \"") +
                                gnutls_alert_get_name(gnutls_alert_get(session_)) + "\"");
      return;
    }
    if (r == GNUTLS_E_PREMATURE_TERMINATION || r == GNUTLS_E_PULL_ERROR ||
        r == GNUTLS_E_PUSH_ERROR) {
      Fail(TlsErrHandshake, "TLS handshake failed: the server closed the connection");
      return;
    }
    Fail(TlsErrHandshake, std::string("TLS handshake failed: ") + gnutls_strerror(r));
  }

  TTlsTransport& transport_;
  gnutls_session_t session_ = nullptr;
  gnutls_certificate_credentials_t credentials_ = nullptr;
  std::string host_;
  // Empty: this session is neither resumed nor kept (no verification).
  std::string sessionKey_;
  bool sessionKept_ = false;
  // The last pull found the transport empty.
  bool pullBlocked_ = false;
  static constexpr int kMessagesPerRead = 16;
  int errorCode_ = 0;
  std::string errorText_;
};

}  // namespace

std::unique_ptr<TTlsEngine> CreateTlsEngine(TTlsTransport& transport) {
  return std::make_unique<TGnuTlsEngine>(transport);
}
