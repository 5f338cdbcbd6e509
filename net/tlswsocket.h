// TCustomTlsWSocket: the layer of the socket chain that speaks TLS to the target. With
// TlsEnable set, the handshake starts when the connection below is up (directly or through
// the SOCKS proxy), runs on the same socket events as everything else, and the certificate
// is verified (system trust plus TlsCaFile, the host name, TLS 1.2 or later) before
// OnSessionConnected reaches the application; then Send and Receive carry plain text and
// Close sends close-notify first. A failure reaches the application like a SOCKS one:
// OnTlsError with the text, then OnSessionConnected and OnSessionClosed with the code
// (TlsErr... in net/tlsengine.h). A close without close-notify is reported with
// TlsErrTruncated, so a body that ends with the connection can be told from a cut one.
#pragma once

#include <memory>

#include "net/sockswsocket.h"
#include "net/tlsengine.h"

using TTlsErrorEvent = std::function<void(TObject* Sender, int Error, const std::string& Msg)>;

class TCustomTlsWSocket : public TCustomSocksWSocket, private TTlsTransport {
 public:
  explicit TCustomTlsWSocket(TComponent* owner);
  ~TCustomTlsWSocket() override;
  const char* ClassName() const override { return "TCustomTlsWSocket"; }

  // Kept across closes, so a client sets them once; taken at Connect.
  bool TlsEnable = false;
  // Checked against the certificate and sent as SNI; empty: Addr.
  std::string TlsHostName;
  // PEM file of extra trusted CAs; empty: TlsDefaultCaFile.
  std::string TlsCaFile;
  // Process-wide extra CAs, for a program whose every connection trusts its vendor's CA.
  static std::string TlsDefaultCaFile;
  // Off only for tests against servers with throw-away certificates.
  bool TlsVerify = true;

  // The text of the last TLS failure, "" when none.
  const std::string& TlsErrorText() const { return tlsErrorText_; }
  // Protocol and cipher of the running session, "" before the handshake is done.
  std::string TlsDescription() const;
  // True once the handshake and the verification succeeded on this connection.
  bool TlsEstablished() const { return tlsPhase_ == TTlsPhase::Open; }

  TTlsErrorEvent OnTlsError;

  void Connect() override;
  int PendingCount() override;
  // Starts TLS on a connection that is up in plain text (an HTTP proxy's tunnel, after
  // its 2xx), with TlsHostName, TlsCaFile and TlsVerify as for Connect. The end of the
  // handshake is told as a connect's: OnSessionConnected with 0 once verified, or
  // OnTlsError, OnSessionConnected and OnSessionClosed with the reason. False (nothing
  // started) when the connection is not up, or TLS already runs on it.
  bool StartTls();

 protected:
  enum class TTlsPhase {
    Off,          // plain connection
    Waiting,      // the connection below is not up yet
    Handshaking,  // handshake and verification running
    Open,         // plain text both ways
    Ended         // the peer closed the session or it failed; reads end
  };

  // True while something below line mode negotiates (SOCKS or TLS).
  bool LinkNegotiating() const {
    return SocksNegotiating() || tlsPhase_ == TTlsPhase::Waiting ||
           tlsPhase_ == TTlsPhase::Handshaking;
  }
  void ResetToDefaults() override;
  void ConnectionEstablished(uint16_t error) override;
  bool TriggerDataAvailable(uint16_t error) override;
  void TriggerDataSent(uint16_t error) override;
  void TriggerSessionClosed(uint16_t error) override;
  void HandleReadEvent(uint16_t error) override;
  int RawReceive(void* buffer, int size) override;
  int SendChunk(const char* data, int count) override;
  void TryToSend() override;
  void CloseInternal(bool shutdownFirst, uint16_t error) override;
  virtual void TriggerTlsError(int error, const std::string& msg);

  TTlsPhase tlsPhase_ = TTlsPhase::Off;

 private:
  int TlsPull(void* buffer, int size) override;
  void TlsPush(const void* data, int size) override;
  void StartHandshake();
  void ContinueHandshake();
  void TlsFail(int code, const std::string& text);
  // Sends what the engine produced; false when bytes are still waiting (or sending failed).
  bool FlushCipher();
  void OfferPending();

  std::unique_ptr<TTlsEngine> engine_;
  std::string cipherOut_;
  size_t cipherSent_ = 0;
  int sendError_ = 0;
  int tlsError_ = 0;
  std::string tlsErrorText_;
  bool tlsErrorReported_ = false;
  bool readPosted_ = false;
  bool peerEnded_ = false;
};
