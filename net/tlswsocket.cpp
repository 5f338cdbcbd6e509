#include "net/tlswsocket.h"

#include <algorithm>
#include <climits>

using namespace platform;

std::string TCustomTlsWSocket::TlsDefaultCaFile;

TCustomTlsWSocket::TCustomTlsWSocket(TComponent* owner) : TCustomSocksWSocket(owner) {}

TCustomTlsWSocket::~TCustomTlsWSocket() {
  // The base's destructor closes: without the engine that is a plain close.
  BeginDestroy();
  if (tlsPhase_ == TTlsPhase::Open && socket_ != INVALID_SOCKET) {
    engine_->Bye();
    FlushCipher();
  }
  tlsPhase_ = TTlsPhase::Off;
}

void TCustomTlsWSocket::ResetToDefaults() {
  TCustomSocksWSocket::ResetToDefaults();
  tlsPhase_ = TTlsPhase::Off;
  engine_.reset();
  cipherOut_.clear();
  cipherSent_ = 0;
  sendError_ = 0;
  readPosted_ = false;
}

std::string TCustomTlsWSocket::TlsDescription() const {
  return tlsPhase_ == TTlsPhase::Open ? engine_->Description() : std::string();
}

// ---------------------------------------------------------------------------------------
// Connecting and the handshake.

void TCustomTlsWSocket::Connect() {
  // A live connection is the base's to refuse; its session stays untouched.
  if (socket_ != INVALID_SOCKET && state_ != wsClosed) {
    TCustomSocksWSocket::Connect();
    return;
  }
  tlsError_ = 0;
  tlsErrorText_.clear();
  tlsErrorReported_ = false;
  peerEnded_ = false;
  tlsPhase_ = TlsEnable ? TTlsPhase::Waiting : TTlsPhase::Off;
  TCustomSocksWSocket::Connect();
  if (socket_ == INVALID_SOCKET) tlsPhase_ = TTlsPhase::Off;
}

bool TCustomTlsWSocket::StartTls() {
  if (socket_ == INVALID_SOCKET || state_ != wsConnected || tlsPhase_ != TTlsPhase::Off ||
      LinkNegotiating())
    return false;
  tlsError_ = 0;
  tlsErrorText_.clear();
  tlsErrorReported_ = false;
  peerEnded_ = false;
  StartHandshake();
  return true;
}

void TCustomTlsWSocket::ConnectionEstablished(uint16_t error) {
  // The SOCKS layer's own connection to its proxy is not the target's.
  if (tlsPhase_ != TTlsPhase::Waiting || SocksNegotiating()) {
    TCustomSocksWSocket::ConnectionEstablished(error);
    return;
  }
  if (error != 0) {
    tlsPhase_ = TTlsPhase::Off;
    TCustomSocksWSocket::ConnectionEstablished(error);
    return;
  }
  StartHandshake();
}

void TCustomTlsWSocket::StartHandshake() {
  tlsPhase_ = TTlsPhase::Handshaking;
  engine_ = CreateTlsEngine(*this);
  if (!engine_) {
    TlsFail(TlsErrUnavailable, "TLS is not available in this build: https cannot be used");
    return;
  }
  TTlsSettings settings;
  settings.HostName = TlsHostName.empty() ? addr_ : TlsHostName;
  settings.Verify = TlsVerify;
  const std::string caFile = TlsCaFile.empty() ? TlsDefaultCaFile : TlsCaFile;
  if (!caFile.empty()) {
    try {
      TStringStream pem;
      pem.LoadFromFile(caFile);
      settings.ExtraCaPem = pem.DataString();
    } catch (const Exception& e) {
      TlsFail(TlsErrSetup, "TLS setup failed: " + e.Message());
      return;
    }
  }
  if (!engine_->Start(settings)) {
    TlsFail(engine_->ErrorCode(), engine_->ErrorText());
    return;
  }
  ContinueHandshake();
}

void TCustomTlsWSocket::ContinueHandshake() {
  const TTlsStatus status = engine_->Handshake();
  if (!FlushCipher() && sendError_ != 0) {
    TlsFail(TlsErrHandshake, "TLS handshake failed: " + WinsockErrorTextWithCode(sendError_));
    return;
  }
  if (status == TTlsStatus::WouldBlock) return;
  if (status != TTlsStatus::Ok) {
    // A peer that hung up halfway leaves the engine with a cut record: say what happened.
    if (peerEnded_ && engine_->ErrorCode() == TlsErrHandshake &&
        engine_->ErrorText().find("closed the connection") == std::string::npos)
      TlsFail(TlsErrHandshake, "TLS handshake failed: the server closed the connection (" +
                                   engine_->ErrorText() + ")");
    else
      TlsFail(engine_->ErrorCode(), engine_->ErrorText());
    return;
  }
  tlsPhase_ = TTlsPhase::Open;
  if (LogWanted()) LogLine("TLS session " + engine_->Description() + " with " + addr_);
  TCustomSocksWSocket::ConnectionEstablished(0);
  if (socket_ == INVALID_SOCKET || tlsPhase_ != TTlsPhase::Open) return;  // a handler closed it
  // Text that came with the server's last flight gets no socket event of its own.
  if (engine_->Pending() > 0) OfferPending();
}

void TCustomTlsWSocket::TlsFail(int code, const std::string& text) {
  const bool connecting = tlsPhase_ == TTlsPhase::Waiting || tlsPhase_ == TTlsPhase::Handshaking;
  tlsError_ = code;
  tlsErrorText_ = text;
  tlsErrorReported_ = true;
  tlsPhase_ = TTlsPhase::Ended;
  cipherOut_.clear();
  cipherSent_ = 0;
  if (LogWanted()) LogLine(text);
  TriggerTlsError(code, text);
  if (connecting) TCustomSocksWSocket::ConnectionEstablished(static_cast<uint16_t>(code));
  if (socket_ != INVALID_SOCKET) CloseInternal(true, static_cast<uint16_t>(code));
}

void TCustomTlsWSocket::TriggerTlsError(int error, const std::string& msg) {
  if (OnTlsError && !Destroying()) OnTlsError(this, error, msg);
}

// ---------------------------------------------------------------------------------------
// The transport under the engine: the layers below, never the system directly.

int TCustomTlsWSocket::TlsPull(void* buffer, int size) {
  const int n = TCustomSocksWSocket::RawReceive(buffer, size);
  if (n == 0) peerEnded_ = true;
  // A handshake that moves is no idle connection.
  if (n > 0 && ActivityCounter()) ActivityCounter()->LastReceiveTick = GetTickCount();
  if (n >= 0) return n;
  return WSAGetLastError() == WSAEWOULDBLOCK ? -1 : -2;
}

void TCustomTlsWSocket::TlsPush(const void* data, int size) {
  cipherOut_.append(static_cast<const char*>(data), static_cast<size_t>(size));
}

bool TCustomTlsWSocket::FlushCipher() {
  while (cipherSent_ < cipherOut_.size()) {
    const size_t left = cipherOut_.size() - cipherSent_;
    const int n = TCustomSocksWSocket::SendChunk(cipherOut_.data() + cipherSent_,
                                                 static_cast<int>(std::min<size_t>(left, INT_MAX)));
    if (n > 0) {
      cipherSent_ += static_cast<size_t>(n);
      continue;
    }
    const int err = WSAGetLastError();
    if (n < 0 && err != WSAEWOULDBLOCK) sendError_ = err;
    return false;  // the next write event goes on
  }
  cipherOut_.clear();
  cipherSent_ = 0;
  return true;
}

// ---------------------------------------------------------------------------------------
// Receiving.

bool TCustomTlsWSocket::TriggerDataAvailable(uint16_t error) {
  if (tlsPhase_ != TTlsPhase::Handshaking) return TCustomSocksWSocket::TriggerDataAvailable(error);
  // The handshake's records are ours; the application sees nothing before it is verified.
  if (error != 0) {
    TlsFail(TlsErrHandshake, "TLS handshake failed: " + WinsockErrorTextWithCode(error));
    return true;
  }
  ContinueHandshake();
  return true;
}

void TCustomTlsWSocket::HandleReadEvent(uint16_t error) {
  readPosted_ = false;
  TCustomSocksWSocket::HandleReadEvent(error);
}

void TCustomTlsWSocket::OfferPending() {
  if (readPosted_ || socket_ == INVALID_SOCKET) return;
  readPosted_ = true;
  PostMessage(Handle(), msgAsyncSelect_, static_cast<WPARAM>(socket_),
              WSAMAKESELECTREPLY(FD_READ, 0));
}

int TCustomTlsWSocket::RawReceive(void* buffer, int size) {
  switch (tlsPhase_) {
    case TTlsPhase::Off:
    case TTlsPhase::Waiting:
      return TCustomSocksWSocket::RawReceive(buffer, size);
    case TTlsPhase::Handshaking:
      WSASetLastError(WSAEWOULDBLOCK);
      return -1;
    case TTlsPhase::Ended:
      if (tlsError_ == 0) return 0;
      WSASetLastError(tlsError_);
      return -1;
    case TTlsPhase::Open:
      break;
  }
  if (size <= 0) return 0;
  TTlsStatus status;
  const int n = engine_->Read(buffer, size, status);
  if (n > 0) {
    // What the engine decrypted beyond this read comes with no socket event.
    if (engine_->Pending() > 0) OfferPending();
    return n;
  }
  switch (status) {
    case TTlsStatus::Closed:
      tlsPhase_ = TTlsPhase::Ended;
      return 0;
    case TTlsStatus::Failed:
      tlsError_ = engine_->ErrorCode();
      tlsErrorText_ = engine_->ErrorText();
      tlsPhase_ = TTlsPhase::Ended;
      if (LogWanted()) LogLine(tlsErrorText_);
      // Nothing more of this connection can be trusted: stop it both ways; its close
      // event ends it with the reason.
      Shutdown(SD_BOTH);
      WSASetLastError(tlsError_);
      return -1;
    default:
      WSASetLastError(WSAEWOULDBLOCK);
      return -1;
  }
}

int TCustomTlsWSocket::PendingCount() {
  if (tlsPhase_ == TTlsPhase::Open) {
    const int pending = engine_->Pending();
    if (pending > 0) return pending;
  }
  if (tlsPhase_ == TTlsPhase::Handshaking || tlsPhase_ == TTlsPhase::Ended) return 0;
  return TCustomSocksWSocket::PendingCount();
}

void TCustomTlsWSocket::TriggerSessionClosed(uint16_t error) {
  if (tlsError_ != 0) {
    if (error == 0) error = static_cast<uint16_t>(tlsError_);
    if (!tlsErrorReported_) {
      tlsErrorReported_ = true;
      TriggerTlsError(tlsError_, tlsErrorText_);
    }
  }
  TCustomSocksWSocket::TriggerSessionClosed(error);
}

// ---------------------------------------------------------------------------------------
// Sending.

int TCustomTlsWSocket::SendChunk(const char* data, int count) {
  if (tlsPhase_ == TTlsPhase::Off || tlsPhase_ == TTlsPhase::Waiting)
    return TCustomSocksWSocket::SendChunk(data, count);
  if (tlsPhase_ == TTlsPhase::Ended) {
    WSASetLastError(WSAECONNABORTED);
    return -1;
  }
  // Plain text waits while the handshake runs or earlier records are still queued.
  if (tlsPhase_ == TTlsPhase::Handshaking || cipherSent_ < cipherOut_.size()) {
    WSASetLastError(WSAEWOULDBLOCK);
    return -1;
  }
  // All of it, a record at a time: a partial take would look like a full socket to the
  // sender, which then waits for a write event that never comes.
  int taken = 0;
  while (taken < count) {
    const int n = engine_->Write(data + taken, count - taken);
    if (n <= 0) {
      tlsError_ = engine_->ErrorCode();
      tlsErrorText_ = engine_->ErrorText();
      tlsPhase_ = TTlsPhase::Ended;
      WSASetLastError(WSAECONNABORTED);
      return -1;
    }
    taken += n;
  }
  if (!FlushCipher() && sendError_ != 0) {
    WSASetLastError(sendError_);
    sendError_ = 0;
    return -1;
  }
  return taken;
}

void TCustomTlsWSocket::TryToSend() {
  if (tlsPhase_ == TTlsPhase::Off || tlsPhase_ == TTlsPhase::Waiting) {
    TCustomSocksWSocket::TryToSend();
    return;
  }
  if (!FlushCipher()) {
    if (sendError_ != 0) {
      const int err = sendError_;
      sendError_ = 0;
      if (LogWanted()) LogLine(WinsockErrorText(err) + " TLS send failed - " + Name);
      closeReported_ = true;
      Close();
      TriggerSessionClosed(static_cast<uint16_t>(err));
      return;
    }
    sendQueueEmpty_ = false;
    return;
  }
  if (tlsPhase_ == TTlsPhase::Handshaking) return;
  TCustomSocksWSocket::TryToSend();
  if (cipherSent_ < cipherOut_.size()) sendQueueEmpty_ = false;
}

void TCustomTlsWSocket::TriggerDataSent(uint16_t error) {
  // The handshake's records are not the application's data.
  if (tlsPhase_ == TTlsPhase::Waiting || tlsPhase_ == TTlsPhase::Handshaking) return;
  TCustomSocksWSocket::TriggerDataSent(error);
}

// ---------------------------------------------------------------------------------------
// Closing.

void TCustomTlsWSocket::CloseInternal(bool shutdownFirst, uint16_t error) {
  if (shutdownFirst && tlsPhase_ == TTlsPhase::Open && socket_ != INVALID_SOCKET &&
      state_ != wsClosed) {
    // Best effort: close-notify goes with whatever the system takes now.
    engine_->Bye();
    FlushCipher();
    sendError_ = 0;
    tlsPhase_ = TTlsPhase::Ended;
  }
  TCustomSocksWSocket::CloseInternal(shutdownFirst, error);
}
