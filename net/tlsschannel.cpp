// The TLS engine over the system's Schannel. Records go through the layer's transport:
// Schannel only ever sees buffers. The certificate is checked by this file, not left to
// Schannel's automatic validation: the chain against the system store plus the extra CAs,
// its dates, then the host name, then address names ourselves, which is also what makes
// it right under Wine, whose Schannel verifies next to nothing.
#define SECURITY_WIN32
#define SCHANNEL_USE_BLACKLISTS
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <winternl.h>
#include <wincrypt.h>
#include <schannel.h>
#include <security.h>
#include <sspi.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

#include "base/sysutils.h"
#include "net/tlsengine.h"

namespace {

// Only in mingw's wininet.h: lets the SSL policy accept a root we pinned ourselves.
constexpr DWORD kIgnoreUnknownCa = 0x00000100;
constexpr DWORD kTls12OrLater = SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT;
constexpr DWORD kOlderProtocols =
    SP_PROT_SSL2_CLIENT | SP_PROT_SSL3_CLIENT | SP_PROT_TLS1_0_CLIENT | SP_PROT_TLS1_1_CLIENT;
constexpr ULONG kContextFlags = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT |
                                ISC_REQ_CONFIDENTIALITY | ISC_REQ_ALLOCATE_MEMORY |
                                ISC_REQ_STREAM | ISC_REQ_EXTENDED_ERROR |
                                ISC_REQ_USE_SUPPLIED_CREDS | ISC_REQ_MANUAL_CRED_VALIDATION;
constexpr int kPullSize = 32768;

// TLS record content types, read from the record headers (which are never encrypted).
constexpr unsigned char kChangeCipherSpec = 20;
constexpr unsigned char kAlert = 21;
constexpr unsigned char kApplicationData = 23;

bool IsDottedOrIpv6(const std::string& host) {
  if (host.find(':') != std::string::npos) return true;
  for (char c : host)
    if ((c < '0' || c > '9') && c != '.') return false;
  return !host.empty();
}

std::wstring Widen(const std::string& s) {
  if (s.empty()) return std::wstring();
  const int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::wstring w(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
  return w;
}

// The system's text for a status; Wine has none for most of these, so a few have ours.
std::string StatusText(long status) {
  const std::string text = SysErrorMessage(static_cast<uint32_t>(status));
  if (text.rfind("Unknown error", 0) != 0) return text;
  const char* ours = nullptr;
  switch (status) {
    case CERT_E_CHAINING: ours = "no chain to a trusted root"; break;
    case CERT_E_UNTRUSTEDROOT: ours = "the root is not trusted"; break;
    case TRUST_E_CERT_SIGNATURE: ours = "a signature does not verify"; break;
    case CRYPT_E_REVOKED: ours = "revoked"; break;
    case CERT_E_WRONG_USAGE: ours = "not issued for a TLS server"; break;
    case CERT_E_EXPIRED: ours = "outside its validity period"; break;
    case CERT_E_CN_NO_MATCH: ours = "the names do not match"; break;
    default: break;
  }
  char code[16];
  std::snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(status));
  return ours ? std::string(ours) + ", " + code : std::string("error ") + code;
}

const char* AlertName(unsigned char d) {
  switch (d) {
    case 0: return "Close notify";
    case 10: return "Unexpected message";
    case 20: return "Bad record MAC";
    case 22: return "Record overflow";
    case 40: return "Handshake failed";
    case 42: return "Certificate is bad";
    case 43: return "Certificate is not supported";
    case 44: return "Certificate was revoked";
    case 45: return "Certificate is expired";
    case 46: return "Unknown certificate";
    case 47: return "Illegal parameter";
    case 48: return "CA is unknown";
    case 49: return "Access was denied";
    case 50: return "Decode error";
    case 51: return "Decrypt error";
    case 70: return "Error in protocol version";
    case 71: return "Insufficient security";
    case 80: return "Internal error";
    case 86: return "Inappropriate fallback";
    case 90: return "User canceled";
    case 109: return "Missing extension";
    case 112: return "The server name sent was not recognized";
    case 120: return "No supported application protocol could be negotiated";
    default: return nullptr;
  }
}

// Credentials by host and trust, kept for the process: Schannel keeps its sessions with the
// credentials, so a new connection to a server seen before (a download's next part)
// resumes the session instead of a full handshake.
class TCredentialCache {
 public:
  static TCredentialCache& Get() {
    static TCredentialCache cache;
    return cache;
  }
  ~TCredentialCache() {
    for (auto& entry : handles_) FreeCredentialsHandle(&entry.second);
  }
  bool Find(const std::string& key, CredHandle& handle) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = handles_.find(key);
    if (it == handles_.end()) return false;
    handle = it->second;
    return true;
  }
  // False when the cache is full: the caller then owns the handle.
  bool Keep(const std::string& key, const CredHandle& handle) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (handles_.size() >= kLimit) return false;
    return handles_.emplace(key, handle).second;
  }

 private:
  static constexpr size_t kLimit = 64;
  std::mutex mutex_;
  std::map<std::string, CredHandle> handles_;
};

class TSchannelEngine : public TTlsEngine {
 public:
  explicit TSchannelEngine(TTlsTransport& transport) : transport_(transport) {
    SecInvalidateHandle(&credentials_);
    SecInvalidateHandle(&context_);
  }
  ~TSchannelEngine() override {
    if (SecIsValidHandle(&context_)) DeleteSecurityContext(&context_);
    if (SecIsValidHandle(&credentials_) && !sharedCredentials_) FreeCredentialsHandle(&credentials_);
    if (caStore_) CertCloseStore(caStore_, 0);
  }

  bool Start(const TTlsSettings& settings) override {
    host_ = settings.HostName;
    verify_ = settings.Verify;
    address_ = IsDottedOrIpv6(host_);
    if (!address_) target_ = Widen(host_);
    if (!settings.ExtraCaPem.empty() && !LoadCaPem(settings.ExtraCaPem))
      return Fail(TlsErrSetup, "TLS setup failed: the CA file holds no PEM certificate");
    // The same trust only: a session is never resumed under other anchors or checks.
    const std::string key = (verify_ ? "1\n" : "0\n") + host_ + '\n' + settings.ExtraCaPem;
    if (TCredentialCache::Get().Find(key, credentials_)) {
      sharedCredentials_ = true;
      return true;
    }
    if (!AcquireCredentials()) return false;
    sharedCredentials_ = TCredentialCache::Get().Keep(key, credentials_);
    return true;
  }

  TTlsStatus Handshake() override {
    if (failed_) return TTlsStatus::Failed;
    if (open_) return TTlsStatus::Ok;
    if (!SecIsValidHandle(&context_)) {
      // The ClientHello: no input yet.
      const SECURITY_STATUS s = Step(false);
      if (s != SEC_I_CONTINUE_NEEDED) return HandshakeFailed(s);
    }
    for (int retries = 0;;) {
      if (needMore_ || InSize() == 0) {
        const int n = Pull();
        if (n == -1) return TTlsStatus::WouldBlock;
        if (n <= 0) {
          Fail(TlsErrHandshake, "TLS handshake failed: the server closed the connection");
          return TTlsStatus::Failed;
        }
      }
      const SECURITY_STATUS s = Step(true);
      if (s == SEC_E_INCOMPLETE_MESSAGE) {
        needMore_ = true;
      } else if (s == SEC_I_CONTINUE_NEEDED) {
        continue;
      } else if (s == SEC_I_INCOMPLETE_CREDENTIALS && ++retries < 4) {
        continue;  // a request for a client certificate: we go on without one
      } else if (s == SEC_E_OK) {
        return Established() ? TTlsStatus::Ok : TTlsStatus::Failed;
      } else {
        return HandshakeFailed(s);
      }
    }
  }

  int Read(void* buffer, int size, TTlsStatus& status) override {
    for (;;) {
      DecryptAvailable();
      if (const size_t have = plain_.size() - plainStart_) {
        const size_t n = std::min(have, static_cast<size_t>(size));
        std::memcpy(buffer, plain_.data() + plainStart_, n);
        plainStart_ += n;
        if (plainStart_ == plain_.size()) {
          plain_.clear();
          plainStart_ = 0;
        }
        status = TTlsStatus::Ok;
        return static_cast<int>(n);
      }
      if (closed_) {
        status = TTlsStatus::Closed;
        return 0;
      }
      if (failed_) {
        status = TTlsStatus::Failed;
        return 0;
      }
      const int n = Pull();
      if (n > 0) continue;
      if (n == -1) {
        status = TTlsStatus::WouldBlock;
        return 0;
      }
      if (n == 0)
        Fail(TlsErrTruncated, "TLS connection closed without close-notify");
      else
        Fail(TlsErrProtocol, "TLS receive failed: the connection failed");
      status = TTlsStatus::Failed;
      return 0;
    }
  }

  int Write(const void* data, int size) override {
    if (!open_ || failed_) {
      Fail(TlsErrProtocol, "TLS send failed: the session is not open");
      return -1;
    }
    const int chunk = std::min(size, static_cast<int>(sizes_.cbMaximumMessage));
    record_.resize(sizes_.cbHeader + static_cast<size_t>(chunk) + sizes_.cbTrailer);
    char* p = record_.data();
    std::memcpy(p + sizes_.cbHeader, data, static_cast<size_t>(chunk));
    SecBuffer b[4] = {{sizes_.cbHeader, SECBUFFER_STREAM_HEADER, p},
                      {static_cast<ULONG>(chunk), SECBUFFER_DATA, p + sizes_.cbHeader},
                      {sizes_.cbTrailer, SECBUFFER_STREAM_TRAILER, p + sizes_.cbHeader + chunk},
                      {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc desc{SECBUFFER_VERSION, 4, b};
    const SECURITY_STATUS s = EncryptMessage(&context_, 0, &desc, 0);
    if (s != SEC_E_OK) {
      Fail(TlsErrProtocol, "TLS send failed: " + StatusText(s));
      return -1;
    }
    // Header, data and trailer lie back to back; the trailer may have come out shorter.
    transport_.TlsPush(p, static_cast<int>(b[0].cbBuffer + b[1].cbBuffer + b[2].cbBuffer));
    return chunk;
  }

  void Bye() override {
    if (!open_ || byeSent_) return;
    byeSent_ = true;
    DWORD type = SCHANNEL_SHUTDOWN;
    SecBuffer b{sizeof type, SECBUFFER_TOKEN, &type};
    SecBufferDesc desc{SECBUFFER_VERSION, 1, &b};
    if (ApplyControlToken(&context_, &desc) != SEC_E_OK) return;
    // The alert itself comes out of one more round of the context.
    SecBuffer out{0, SECBUFFER_TOKEN, nullptr};
    SecBufferDesc outDesc{SECBUFFER_VERSION, 1, &out};
    ULONG attributes = 0;
    InitializeSecurityContextW(&credentials_, &context_, TargetName(), kContextFlags, 0, 0,
                               nullptr, 0, nullptr, &outDesc, &attributes, nullptr);
    if (out.pvBuffer) {
      if (out.cbBuffer > 0) transport_.TlsPush(out.pvBuffer, static_cast<int>(out.cbBuffer));
      FreeContextBuffer(out.pvBuffer);
    }
  }

  int Pending() override {
    // Whole records already pulled come with no socket event: decrypt them now.
    if (open_) DecryptAvailable();
    return static_cast<int>(plain_.size() - plainStart_);
  }
  int ErrorCode() const override { return errorCode_; }
  const std::string& ErrorText() const override { return errorText_; }

  std::string Description() override {
    SecPkgContext_ConnectionInfo info{};
    if (!open_ || QueryContextAttributesW(&context_, SECPKG_ATTR_CONNECTION_INFO, &info) != SEC_E_OK)
      return std::string();
    std::string protocol = "TLS";
    if (info.dwProtocol & SP_PROT_TLS1_3_CLIENT)
      protocol = "TLS1.3";
    else if (info.dwProtocol & SP_PROT_TLS1_2_CLIENT)
      protocol = "TLS1.2";
    std::string cipher = "cipher " + std::to_string(info.aiCipher);
    if (info.aiCipher == CALG_AES_128) cipher = "AES-128";
    if (info.aiCipher == CALG_AES_256) cipher = "AES-256";
    std::string exchange = "exchange " + std::to_string(info.aiExch);
    if (info.aiExch == CALG_ECDH_EPHEM || info.aiExch == CALG_ECDH) exchange = "ECDHE";
    if (info.aiExch == CALG_DH_EPHEM) exchange = "DHE";
    if (info.aiExch == CALG_RSA_KEYX) exchange = "RSA";
    return "(" + protocol + ")-(" + exchange + ")-(" + cipher + ")-(" +
           std::to_string(info.dwCipherStrength) + " bits)";
  }

 private:
  bool Fail(int code, const std::string& text) {
    if (failed_) return false;  // the first reason stands
    failed_ = true;
    errorCode_ = code;
    errorText_ = text;
    return false;
  }

  SEC_WCHAR* TargetName() { return address_ || target_.empty() ? nullptr : target_.data(); }

  bool LoadCaPem(const std::string& pem) {
    caStore_ = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, CERT_STORE_CREATE_NEW_FLAG, nullptr);
    if (!caStore_) return false;
    static const std::string kBegin = "-----BEGIN CERTIFICATE-----";
    static const std::string kEnd = "-----END CERTIFICATE-----";
    int added = 0;
    for (size_t at = pem.find(kBegin); at != std::string::npos; at = pem.find(kBegin, at)) {
      const size_t end = pem.find(kEnd, at);
      if (end == std::string::npos) break;
      const size_t length = end + kEnd.size() - at;
      DWORD size = 0;
      if (CryptStringToBinaryA(pem.data() + at, static_cast<DWORD>(length), CRYPT_STRING_BASE64HEADER,
                               nullptr, &size, nullptr, nullptr)) {
        std::string der(size, '\0');
        if (CryptStringToBinaryA(pem.data() + at, static_cast<DWORD>(length),
                                 CRYPT_STRING_BASE64HEADER, reinterpret_cast<BYTE*>(der.data()),
                                 &size, nullptr, nullptr) &&
            CertAddEncodedCertificateToStore(caStore_, X509_ASN_ENCODING,
                                             reinterpret_cast<const BYTE*>(der.data()), size,
                                             CERT_STORE_ADD_ALWAYS, nullptr))
          ++added;
      }
      at = end + kEnd.size();
    }
    return added > 0;
  }

  bool AcquireCredentials() {
    // Newer systems take TLS 1.3 only through SCH_CREDENTIALS; older ones (and Wine) know
    // only SCHANNEL_CRED, limited to TLS 1.2.
    const DWORD flags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS |
                        SCH_USE_STRONG_CRYPTO;
    TLS_PARAMETERS parameters{};
    parameters.grbitDisabledProtocols = kOlderProtocols;
    SCH_CREDENTIALS modern{};
    modern.dwVersion = SCH_CREDENTIALS_VERSION;
    modern.dwFlags = flags;
    modern.cTlsParameters = 1;
    modern.pTlsParameters = &parameters;
    TimeStamp expiry;
    SECURITY_STATUS s =
        AcquireCredentialsHandleW(nullptr, const_cast<SEC_WCHAR*>(UNISP_NAME_W), SECPKG_CRED_OUTBOUND,
                                  nullptr, &modern, nullptr, nullptr, &credentials_, &expiry);
    if (s == SEC_E_OK) return true;
    SCHANNEL_CRED classic{};
    classic.dwVersion = SCHANNEL_CRED_VERSION;
    classic.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
    classic.dwFlags = flags;
    s = AcquireCredentialsHandleW(nullptr, const_cast<SEC_WCHAR*>(UNISP_NAME_W), SECPKG_CRED_OUTBOUND,
                                  nullptr, &classic, nullptr, nullptr, &credentials_, &expiry);
    if (s == SEC_E_OK) return true;
    SecInvalidateHandle(&credentials_);
    return Fail(TlsErrSetup, "TLS setup failed: " + StatusText(s));
  }

  size_t InSize() const { return in_.size() - inStart_; }

  // Appends what the transport has: > 0 bytes, 0 closed, -1 nothing now, -2 failed.
  int Pull() {
    if (inStart_ > 0) {
      in_.erase(0, inStart_);
      inStart_ = 0;
    }
    const size_t old = in_.size();
    in_.resize(old + kPullSize);
    const int n = transport_.TlsPull(in_.data() + old, kPullSize);
    in_.resize(old + static_cast<size_t>(std::max(n, 0)));
    if (n > 0) needMore_ = false;
    return n;
  }

  // Keeps the last `extra` bytes of the input, which the call did not use.
  void Consume(ULONG extra) { inStart_ = in_.size() - std::min<size_t>(extra, InSize()); }

  // One round of the handshake over the bytes pulled so far (none for the first round).
  SECURITY_STATUS Step(bool withInput) {
    SecBuffer in[2] = {{static_cast<ULONG>(InSize()), SECBUFFER_TOKEN, in_.data() + inStart_},
                       {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc inDesc{SECBUFFER_VERSION, 2, in};
    SecBuffer out[2] = {{0, SECBUFFER_TOKEN, nullptr}, {0, SECBUFFER_ALERT, nullptr}};
    SecBufferDesc outDesc{SECBUFFER_VERSION, 2, out};
    ULONG attributes = 0;
    TimeStamp expiry;
    const bool first = !SecIsValidHandle(&context_);
    const SECURITY_STATUS s = InitializeSecurityContextW(
        &credentials_, first ? nullptr : &context_, TargetName(), kContextFlags, 0, 0,
        withInput ? &inDesc : nullptr, 0, first ? &context_ : nullptr, &outDesc, &attributes,
        &expiry);
    for (SecBuffer& b : out) {
      if (!b.pvBuffer) continue;
      if (b.cbBuffer > 0) transport_.TlsPush(b.pvBuffer, static_cast<int>(b.cbBuffer));
      FreeContextBuffer(b.pvBuffer);
    }
    // A failed round keeps its input: the records tell what the server sent.
    if (withInput && (s == SEC_E_OK || s == SEC_I_CONTINUE_NEEDED))
      Consume(in[1].BufferType == SECBUFFER_EXTRA ? in[1].cbBuffer : 0);
    return s;
  }

  TTlsStatus HandshakeFailed(SECURITY_STATUS s) {
    // Schannel's codes for these differ between systems; the records say what came.
    const std::string input = in_.substr(inStart_);
    const auto* r = reinterpret_cast<const unsigned char*>(input.data());
    if (input.size() >= 3 && (r[0] < kChangeCipherSpec || r[0] > kApplicationData || r[1] != 3)) {
      Fail(TlsErrHandshake, "TLS handshake failed: the server's answer is not TLS (" + StatusText(s) + ")");
      return TTlsStatus::Failed;
    }
    for (size_t at = 0; at + 5 <= input.size();) {
      const size_t length = static_cast<size_t>(r[at + 3]) << 8 | r[at + 4];
      if (r[at] == kChangeCipherSpec) break;  // alerts after it are encrypted
      if (r[at] == kAlert && length == 2 && at + 7 <= input.size()) {
        const char* name = AlertName(r[at + 6]);
        const std::string alert = name ? name : "alert " + std::to_string(r[at + 6]);
        Fail(TlsErrHandshake, "TLS handshake failed: the server sent the alert \"" + alert + "\"");
        return TTlsStatus::Failed;
      }
      at += 5 + length;
    }
    Fail(TlsErrHandshake, "TLS handshake failed: " + StatusText(s));
    return TTlsStatus::Failed;
  }

  bool Established() {
    if (QueryContextAttributesW(&context_, SECPKG_ATTR_STREAM_SIZES, &sizes_) != SEC_E_OK)
      return Fail(TlsErrHandshake, "TLS handshake failed: no stream sizes");
    // Credentials limit the versions, but a system may not honour every limit.
    SecPkgContext_ConnectionInfo info{};
    if (QueryContextAttributesW(&context_, SECPKG_ATTR_CONNECTION_INFO, &info) == SEC_E_OK &&
        (info.dwProtocol & kTls12OrLater) == 0)
      return Fail(TlsErrHandshake, "TLS handshake failed: the server offers nothing newer than TLS 1.1");
    if (verify_ && !VerifyServer()) return false;
    open_ = true;
    return true;
  }

  // ---------------------------------------------------------------------------------------
  // Verification.

  bool VerifyServer() {
    PCCERT_CONTEXT server = nullptr;
    if (QueryContextAttributesW(&context_, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &server) != SEC_E_OK ||
        !server)
      return Fail(TlsErrNotTrusted, "certificate not trusted (the server sent none)");
    const bool ok = VerifyChain(server);
    CertFreeCertificateContext(server);
    return ok;
  }

  bool VerifyChain(PCCERT_CONTEXT server) {
    // The certificates the server sent, and our extra CAs, beside the system's store.
    HCERTSTORE extra = CertOpenStore(CERT_STORE_PROV_COLLECTION, 0, 0, 0, nullptr);
    if (!extra) return Fail(TlsErrNotTrusted, "certificate not trusted (no certificate store)");
    if (server->hCertStore) CertAddStoreToCollection(extra, server->hCertStore, 0, 0);
    if (caStore_) CertAddStoreToCollection(extra, caStore_, 0, 0);
    LPSTR usage[] = {const_cast<LPSTR>(szOID_PKIX_KP_SERVER_AUTH)};
    CERT_CHAIN_PARA para{};
    para.cbSize = sizeof para;
    para.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    para.RequestedUsage.Usage.cUsageIdentifier = 1;
    para.RequestedUsage.Usage.rgpszUsageIdentifier = usage;
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    const BOOL built = CertGetCertificateChain(nullptr, server, nullptr, extra, &para, 0, nullptr, &chain);
    CertCloseStore(extra, 0);
    if (!built || !chain || chain->cChain == 0 || chain->rgpChain[0]->cElement == 0) {
      if (chain) CertFreeCertificateChain(chain);
      return Fail(TlsErrNotTrusted, "certificate not trusted (" + StatusText(static_cast<long>(GetLastError())) + ")");
    }
    const bool ok = CheckChain(chain, server);
    CertFreeCertificateChain(chain);
    return ok;
  }

  // One of our extra CAs anchors the chain: the root, or the last certificate found.
  bool PinnedAnchor(PCCERT_CHAIN_CONTEXT chain) const {
    if (!caStore_) return false;
    const PCERT_SIMPLE_CHAIN simple = chain->rgpChain[0];
    const PCCERT_CONTEXT top = simple->rgpElement[simple->cElement - 1]->pCertContext;
    PCCERT_CONTEXT found = CertFindCertificateInStore(caStore_, X509_ASN_ENCODING, 0,
                                                      CERT_FIND_EXISTING, top, nullptr);
    if (!found) return false;
    CertFreeCertificateContext(found);
    return true;
  }

  bool CheckChain(PCCERT_CHAIN_CONTEXT chain, PCCERT_CONTEXT server) {
    DWORD status = chain->TrustStatus.dwErrorStatus;
    const bool pinned = PinnedAnchor(chain);
    if (pinned) status &= ~(CERT_TRUST_IS_UNTRUSTED_ROOT | CERT_TRUST_IS_PARTIAL_CHAIN);
    // Revocation is not asked for; nesting of validity periods proves nothing.
    status &= ~(CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION |
                CERT_TRUST_IS_NOT_TIME_NESTED);
    // The most fundamental reason first: an untrusted chain's dates and names mean nothing.
    if (status & ~CERT_TRUST_IS_NOT_TIME_VALID)
      return Fail(TlsErrNotTrusted, "certificate not trusted (" + TrustText(status) + ")");
    if (status & CERT_TRUST_IS_NOT_TIME_VALID)
      return Fail(TlsErrExpired, "certificate expired or not yet valid (" + StatusText(CERT_E_EXPIRED) + ")");

    std::wstring name = address_ ? std::wstring() : target_;
    SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl{};
    ssl.cbSize = sizeof ssl;
    ssl.dwAuthType = AUTHTYPE_SERVER;
    ssl.fdwChecks = pinned ? kIgnoreUnknownCa : 0;
    // An address is matched below: the policy does not look at address names everywhere.
    ssl.pwszServerName = name.empty() ? nullptr : name.data();
    CERT_CHAIN_POLICY_PARA policy{};
    policy.cbSize = sizeof policy;
    policy.dwFlags = pinned ? CERT_CHAIN_POLICY_ALLOW_UNKNOWN_CA_FLAG : 0;
    policy.pvExtraPolicyPara = &ssl;
    CERT_CHAIN_POLICY_STATUS result{};
    result.cbSize = sizeof result;
    if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &result))
      return Fail(TlsErrNotTrusted, "certificate not trusted (" + StatusText(static_cast<long>(GetLastError())) + ")");
    const long error = static_cast<long>(result.dwError);
    if (error == CERT_E_CN_NO_MATCH)
      return Fail(TlsErrWrongHost, "certificate is for another host than " + host_ + " (" + StatusText(error) + ")");
    if (error == CERT_E_EXPIRED || error == CERT_E_VALIDITYPERIODNESTING)
      return Fail(TlsErrExpired, "certificate expired or not yet valid (" + StatusText(error) + ")");
    if (error != 0) return Fail(TlsErrNotTrusted, "certificate not trusted (" + StatusText(error) + ")");
    if (address_ && !AddressNamed(server))
      return Fail(TlsErrWrongHost, "certificate is for another host than " + host_ +
                                       " (no address name of the certificate matches)");
    return true;
  }

  std::string TrustText(DWORD status) const {
    if (status & CERT_TRUST_IS_PARTIAL_CHAIN) return StatusText(CERT_E_CHAINING);
    if (status & CERT_TRUST_IS_UNTRUSTED_ROOT) return StatusText(CERT_E_UNTRUSTEDROOT);
    if (status & CERT_TRUST_IS_NOT_SIGNATURE_VALID) return StatusText(TRUST_E_CERT_SIGNATURE);
    if (status & CERT_TRUST_IS_REVOKED) return StatusText(CRYPT_E_REVOKED);
    if (status & CERT_TRUST_IS_NOT_VALID_FOR_USAGE) return StatusText(CERT_E_WRONG_USAGE);
    return StatusText(TRUST_E_FAIL);
  }

  // The host is an address: one of the certificate's address names must be it.
  bool AddressNamed(PCCERT_CONTEXT server) const {
    unsigned char want[16];
    size_t wantSize = 0;
    std::string host = host_;
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    if (InetPtonA(AF_INET, host.c_str(), want) == 1)
      wantSize = 4;
    else if (InetPtonA(AF_INET6, host.c_str(), want) == 1)
      wantSize = 16;
    else
      return false;
    const PCERT_EXTENSION ext =
        CertFindExtension(szOID_SUBJECT_ALT_NAME2, server->pCertInfo->cExtension, server->pCertInfo->rgExtension);
    if (!ext) return false;
    CERT_ALT_NAME_INFO* names = nullptr;
    DWORD size = 0;
    if (!CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME, ext->Value.pbData, ext->Value.cbData,
                             CRYPT_DECODE_ALLOC_FLAG, nullptr, &names, &size))
      return false;
    bool match = false;
    for (DWORD i = 0; i < names->cAltEntry && !match; ++i) {
      const CERT_ALT_NAME_ENTRY& e = names->rgAltEntry[i];
      match = e.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS && e.IPAddress.cbData == wantSize &&
              std::memcmp(e.IPAddress.pbData, want, wantSize) == 0;
    }
    LocalFree(names);
    return match;
  }

  // ---------------------------------------------------------------------------------------
  // Receiving.

  // Decrypts every whole record pulled so far into plain_, up to an end of the session.
  void DecryptAvailable() {
    while (open_ && !closed_ && !failed_ && !needMore_ && InSize() > 0) {
      if (renegotiating_) {
        const SECURITY_STATUS s = Step(true);
        if (s == SEC_E_INCOMPLETE_MESSAGE) {
          needMore_ = true;
        } else if (s == SEC_E_OK) {
          renegotiating_ = false;
        } else if (s != SEC_I_CONTINUE_NEEDED) {
          Fail(TlsErrProtocol, "TLS receive failed: " + StatusText(s));
        }
        continue;
      }
      const unsigned char type = static_cast<unsigned char>(in_[inStart_]);
      SecBuffer b[4] = {{static_cast<ULONG>(InSize()), SECBUFFER_DATA, in_.data() + inStart_},
                        {0, SECBUFFER_EMPTY, nullptr},
                        {0, SECBUFFER_EMPTY, nullptr},
                        {0, SECBUFFER_EMPTY, nullptr}};
      SecBufferDesc desc{SECBUFFER_VERSION, 4, b};
      const SECURITY_STATUS s = DecryptMessage(&context_, &desc, 0, nullptr);
      if (s == SEC_E_INCOMPLETE_MESSAGE) {
        needMore_ = true;
        return;
      }
      if (s != SEC_E_OK && s != SEC_I_RENEGOTIATE && s != SEC_I_CONTEXT_EXPIRED) {
        Fail(TlsErrProtocol, "TLS receive failed: " + StatusText(s));
        return;
      }
      ULONG extra = 0, got = 0;
      for (const SecBuffer& x : b) {
        if (x.BufferType == SECBUFFER_DATA && x.pvBuffer) {
          plain_.append(static_cast<const char*>(x.pvBuffer), x.cbBuffer);
          got += x.cbBuffer;
        }
        if (x.BufferType == SECBUFFER_EXTRA) extra = x.cbBuffer;
      }
      Consume(extra);
      // Some systems report close-notify as an empty alert record decrypted.
      if (s == SEC_I_CONTEXT_EXPIRED || (got == 0 && type == kAlert)) closed_ = true;
      if (s == SEC_I_RENEGOTIATE) renegotiating_ = true;
    }
  }

  TTlsTransport& transport_;
  CredHandle credentials_;
  CtxtHandle context_;
  HCERTSTORE caStore_ = nullptr;
  SecPkgContext_StreamSizes sizes_{};
  std::string host_;
  std::wstring target_;  // SNI and the policy's name; empty for an address
  bool address_ = false;
  bool verify_ = true;
  bool open_ = false;
  bool closed_ = false;
  bool failed_ = false;
  bool needMore_ = false;
  bool renegotiating_ = false;
  bool byeSent_ = false;
  bool sharedCredentials_ = false;
  std::string in_;  // cipher text pulled and not used yet, from inStart_
  size_t inStart_ = 0;
  std::string plain_;  // plain text decrypted and not read yet, from plainStart_
  size_t plainStart_ = 0;
  std::string record_;
  int errorCode_ = 0;
  std::string errorText_;
};

}  // namespace

std::unique_ptr<TTlsEngine> CreateTlsEngine(TTlsTransport& transport) {
  return std::make_unique<TSchannelEngine>(transport);
}
