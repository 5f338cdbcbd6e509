// The TLS engine behind the socket's TLS layer: a client session that moves its records
// through a transport the layer provides, so the engine itself never touches a socket.
// One engine per build (GnuTLS on Linux, Schannel on Windows); a build without one
// refuses https clearly.
#pragma once

#include <memory>
#include <string>

// Error codes of the TLS layer, one per reason a connection is refused or ends.
constexpr int TlsErrHandshake = 20101;    // handshake failed (garbage, alert, peer went away)
constexpr int TlsErrNotTrusted = 20102;   // the chain does not lead to a trusted CA
constexpr int TlsErrExpired = 20103;      // a certificate is expired or not yet valid
constexpr int TlsErrWrongHost = 20104;    // the certificate names another host
constexpr int TlsErrUnavailable = 20105;  // this build has no TLS engine
constexpr int TlsErrTruncated = 20106;    // closed without close-notify
constexpr int TlsErrProtocol = 20107;     // a broken record after the handshake
constexpr int TlsErrSetup = 20108;        // the session could not be set up (CA file, ...)

struct TTlsSettings {
  // Sent as SNI (unless a dotted address) and checked against the certificate.
  std::string HostName;
  // Extra trust anchors, PEM, beside the system's.
  std::string ExtraCaPem;
  bool Verify = true;
};

// The layer below as the engine sees it.
class TTlsTransport {
 public:
  virtual ~TTlsTransport() = default;
  // > 0 bytes read, 0 the peer closed, -1 nothing now, -2 the connection failed.
  virtual int TlsPull(void* buffer, int size) = 0;
  // Takes every byte: what the system does not accept yet waits in the layer.
  virtual void TlsPush(const void* data, int size) = 0;
};

enum class TTlsStatus { Ok, WouldBlock, Closed, Failed };

class TTlsEngine {
 public:
  virtual ~TTlsEngine() = default;
  // False when the session cannot be set up (ErrorCode and ErrorText tell).
  virtual bool Start(const TTlsSettings& settings) = 0;
  // Ok once the handshake and the verification are done.
  virtual TTlsStatus Handshake() = 0;
  // Bytes of plain text (> 0), or 0 with the status: WouldBlock, Closed (close-notify),
  // Failed.
  virtual int Read(void* buffer, int size, TTlsStatus& status) = 0;
  // Bytes taken (a record at most), -1 on failure.
  virtual int Write(const void* data, int size) = 0;
  // Queues close-notify.
  virtual void Bye() = 0;
  // Plain text already decrypted and not read yet.
  virtual int Pending() = 0;
  virtual int ErrorCode() const = 0;
  virtual const std::string& ErrorText() const = 0;
  // Protocol and cipher, for diagnostics.
  virtual std::string Description() = 0;
};

// nullptr when this build has no TLS engine.
std::unique_ptr<TTlsEngine> CreateTlsEngine(TTlsTransport& transport);
