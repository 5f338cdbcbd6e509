#include "net/sockswsocket.h"

#include <algorithm>
#include <cstring>

using namespace platform;

namespace {
// Reads into the reply area leave its last byte free.
constexpr int kReplyLimit = 511;

}  // namespace

TCustomSocksWSocket::TCustomSocksWSocket(TComponent* owner) : TCustomWSocket(owner) {
  ResetSocks();
  SocksUsercode.clear();
  SocksPassword.clear();
}

void TCustomSocksWSocket::ResetSocks() {
  socksState_ = TSocksPhase::Off;
  socksServer_.clear();
  socksPort_.clear();
  socksServerAssigned_ = false;
  socksPortAssigned_ = false;
  reply_.Expect(TSocksReplyState::Idle);
  leftoverCount_ = 0;
  leftoverStart_ = 0;
  socksLevel_ = std::string(1, '5');  // not = "5": GCC 12 misreports that with -Wrestrict
}

void TCustomSocksWSocket::ResetToDefaults() {
  TCustomWSocket::ResetToDefaults();
  ResetSocks();
}

// ---------------------------------------------------------------------------------------
// Settings.

void TCustomSocksWSocket::SetSocksLevel(const std::string& value) {
  if (state_ != wsClosed) {
    ReportError("Can't change socks level if not closed");
    return;
  }
  if (value != "4" && value != "5" && value != "4A" && value != "4a") {
    ReportError("Invalid socks level. Must be 4, 4A or 5.");
    return;
  }
  socksLevel_ = UpperCase(value);
}

void TCustomSocksWSocket::SetSocksServer(const std::string& value) {
  if (state_ != wsClosed) {
    ReportError("Can't change socks server if not closed");
    return;
  }
  socksServer_ = Trim(value);
  socksServerAssigned_ = !socksServer_.empty();
  // A proxy address resolved by an earlier attempt must not be taken for the target's.
  addrResolved_ = portResolved_ = false;
}

void TCustomSocksWSocket::SetSocksPort(const std::string& value) {
  if (state_ != wsClosed) {
    ReportError("Can't change socks port if not closed");
    return;
  }
  socksPort_ = Trim(value);
  socksPortAssigned_ = !socksPort_.empty();
  addrResolved_ = portResolved_ = false;
}

std::string TCustomSocksWSocket::OversizeText(bool credentials) const {
  const size_t user = SocksUsercode.size();
  if (Version4()) {
    if (socksLevel_ == "4A") {
      if (user + addr_.size() > SocksMaxUsercodeHost4A)
        return "socks user code and host name too long (at most " +
               IntToStr(SocksMaxUsercodeHost4A) + " bytes together for socks 4A)";
    } else if (user > SocksMaxUsercode4) {
      return "socks user code too long (at most " + IntToStr(SocksMaxUsercode4) +
             " bytes for socks 4)";
    }
    return std::string();
  }
  if (addr_.size() > SocksMaxHost5)
    return "host name too long (at most " + IntToStr(SocksMaxHost5) + " bytes thru socks 5 server)";
  if (credentials && user + SocksPassword.size() > SocksMaxCredentials)
    return "socks user code and password too long (at most " + IntToStr(SocksMaxCredentials) +
           " bytes together)";
  return std::string();
}

// ---------------------------------------------------------------------------------------
// Connecting.

void TCustomSocksWSocket::Connect() {
  if (!socksServerAssigned_) {
    socksState_ = TSocksPhase::Off;
    TCustomWSocket::Connect();
    return;
  }
  // What is missing or in use is the base's to report; a live connection stays untouched.
  if ((socket_ != INVALID_SOCKET && state_ != wsClosed) || !portAssigned_ || !addrAssigned_ ||
      !protoAssigned_) {
    TCustomWSocket::Connect();
    return;
  }
  if (LowerCase(protoStr_) != "tcp" && Trim(protoStr_) != "6") {
    ReportError("TCP is the only protocol supported thru socks server");
    return;
  }
  offeredMethod_ = SocksAuthentication == socksAuthenticateUsercode ? 2 : 0;
  // Refused before the proxy sees anything: a request never outgrows its area.
  std::string oversize = OversizeText(offeredMethod_ == 2);
  if (!oversize.empty()) {
    ReportError("Connect: " + oversize);
    return;
  }
  try {
    WSocketLoad();
    int proxyPort = ResolvePort(socksPort_, protoStr_);
    uint32_t proxyAddr = ResolveHost(socksServer_);
    targetPort_ = ResolvePort(port_, protoStr_) & 0xFFFF;
    // The base connects wherever the remote address points: the proxy.
    remote_.sin_port = htons(static_cast<platform::u_short>(proxyPort));
    remote_.sin_addr.s_addr = proxyAddr;
    portResolved_ = addrResolved_ = true;
  } catch (const Exception& e) {
    ReportError("Connect: " + e.Message());
    return;
  }
  socksState_ = TSocksPhase::Opening;
  reply_.Expect(TSocksReplyState::Idle);
  leftoverCount_ = 0;
  boundAddr_.clear();
  boundPort_.clear();
  TCustomWSocket::Connect();
  if (socket_ == INVALID_SOCKET) socksState_ = TSocksPhase::Off;
}

void TCustomSocksWSocket::Listen() {
  if (socksServerAssigned_) {
    ReportError("Listening is not supported thru socks server");
    return;
  }
  TCustomWSocket::Listen();
}

void TCustomSocksWSocket::ConnectionEstablished(uint16_t error) {
  if (socksState_ != TSocksPhase::Opening) {
    TCustomWSocket::ConnectionEstablished(error);
    return;
  }
  TriggerSocksConnected(error);
  if (error != 0) {
    socksState_ = TSocksPhase::Off;
    TCustomWSocket::ConnectionEstablished(error);
    return;
  }
  if (socksState_ != TSocksPhase::Opening || socket_ == INVALID_SOCKET) return;  // a handler closed it
  if (Version4()) SendVersion4Request();
  else SendMethodRequest();
}

// ---------------------------------------------------------------------------------------
// Requests.

bool TCustomSocksWSocket::SendRequest(const std::string& request) {
  // A request that cannot go out fails the connect like a refusal from the proxy would.
  std::string why;
  try {
    if (Send(request.data(), static_cast<int>(request.size())) >= 0) return true;
    why = "socks request not sent";
  } catch (const std::exception& e) {
    why = std::string("socks request not sent: ") + e.what();
  }
  SocksFail(LastError != 0 ? LastError : 20013, why);
  return false;
}

void TCustomSocksWSocket::SendVersion4Request() {
  // The user code is a public field: it may have changed since Connect.
  std::string oversize = OversizeText(false);
  if (!oversize.empty()) {
    SocksFail(20013, oversize);
    return;
  }
  unsigned char address[4] = {0, 0, 0, 1};
  if (socksLevel_ != "4A") {
    uint32_t a;
    try {
      a = ResolveHost(addr_);
    } catch (const Exception& e) {
      SocksFail(20017, e.Message() + " " + e.ClassName());
      return;
    }
    std::memcpy(address, &a, 4);  // already in network order
  }
  std::string r;
  r += '\x04';
  r += '\x01';
  r += static_cast<char>(targetPort_ >> 8);
  r += static_cast<char>(targetPort_ & 0xFF);
  r.append(reinterpret_cast<const char*>(address), 4);
  r += SocksUsercode;
  r += '\0';
  if (socksLevel_ == "4A") {
    r += addr_;
    r += '\0';
  }
  socksState_ = TSocksPhase::Connecting;
  reply_.Expect(TSocksReplyState::Version4Reply);
  SendRequest(r);
}

void TCustomSocksWSocket::SendMethodRequest() {
  const char r[3] = {5, 1, static_cast<char>(offeredMethod_)};
  reply_.Expect(TSocksReplyState::MethodReply);
  SendRequest(std::string(r, 3));
}

void TCustomSocksWSocket::SendConnectRequest() {
  std::string r;
  r += '\x05';
  r += '\x01';
  r += '\x00';
  r += '\x03';  // always a domain name, even for a dotted address
  r += static_cast<char>(addr_.size());
  r += addr_;
  r += static_cast<char>(targetPort_ >> 8);
  r += static_cast<char>(targetPort_ & 0xFF);
  socksState_ = TSocksPhase::Connecting;
  reply_.Expect(TSocksReplyState::Version5Reply);
  SendRequest(r);
}

void TCustomSocksWSocket::SendUsercodeRequest() {
  socksState_ = TSocksPhase::Authenticating;
  TriggerSocksAuthState(socksAuthStart);
  if (socksState_ != TSocksPhase::Authenticating || socket_ == INVALID_SOCKET) return;
  // Checked here too: the proxy may ask for a user name that was never offered, and the
  // fields may have changed since Connect.
  std::string oversize = OversizeText(true);
  if (!oversize.empty()) {
    SocksFail(20013, oversize);
    return;
  }
  std::string r;
  r += '\x01';
  r += static_cast<char>(SocksUsercode.size());
  r += SocksUsercode;
  r += static_cast<char>(SocksPassword.size());
  r += SocksPassword;
  reply_.Expect(TSocksReplyState::AuthReply);
  SendRequest(r);
}

// ---------------------------------------------------------------------------------------
// Replies.

bool TCustomSocksWSocket::TriggerDataAvailable(uint16_t error) {
  if (socksState_ == TSocksPhase::Off) return TCustomWSocket::TriggerDataAvailable(error);
  // The proxy's replies are ours; the application's OnDataAvailable does not see them.
  if (error != 0) {
    SocksFail(error, "data receive error");
    return true;
  }
  if (socksState_ == TSocksPhase::Opening && Version4()) {
    SocksFail(20001, "TWSocket logic error");
    return true;
  }
  const int limit = static_cast<int>(std::min<size_t>(reply_.MaxWanted(), kReplyLimit));
  const int n = limit > 0 ? Receive(rcvBuf_, limit) : 0;
  if (n <= 0) {
    // The proxy hung up or the connection broke before it answered: the application
    // must still learn that its connect failed.
    if (n == 0) SocksFail(WSAECONNRESET, "connection closed by socks server");
    else if (LastError != WSAEWOULDBLOCK) SocksFail(LastError, "data receive error");
    return true;
  }
  size_t used = 0;
  switch (reply_.Put(rcvBuf_, static_cast<size_t>(n), used)) {
    case TSocksReplyEvent::NeedMore:
      break;
    case TSocksReplyEvent::Failed:
      SocksFail(reply_.ErrorCode(), reply_.ErrorText());
      break;
    case TSocksReplyEvent::MethodChosen:
      // Whatever came with the method reply is dropped.
      if (reply_.Method() == 2) {
        SendUsercodeRequest();
      } else {
        if (offeredMethod_ == 2) {
          TriggerSocksAuthState(socksAuthNotRequired);
          if (socksState_ != TSocksPhase::Opening || socket_ == INVALID_SOCKET) return true;
        }
        SendConnectRequest();
      }
      break;
    case TSocksReplyEvent::AuthAccepted:
      TriggerSocksAuthState(socksAuthSuccess);
      if (socksState_ != TSocksPhase::Authenticating || socket_ == INVALID_SOCKET) return true;
      SendConnectRequest();
      break;
    case TSocksReplyEvent::Connected:
      boundAddr_ = reply_.BoundAddr();
      boundPort_ = reply_.BoundPort();
      // Application data that came in the same read waits in the area for the application.
      leftoverStart_ = static_cast<int>(used);
      leftoverCount_ = n - static_cast<int>(used);
      SocksDone();
      break;
  }
  return true;
}

void TCustomSocksWSocket::SocksDone() {
  socksState_ = TSocksPhase::Off;
  ConnectionEstablished(0);
  // Bytes that came with the reply are delivered before anything newer from the network;
  // keep offering them while the handler takes some.
  for (;;) {
    if (socket_ == INVALID_SOCKET || state_ != wsConnected || socksState_ != TSocksPhase::Off) return;
    const int before = leftoverCount_;
    TriggerDataAvailable(0);
    if (leftoverCount_ == 0 || leftoverCount_ == before) return;
  }
}

void TCustomSocksWSocket::SocksFail(int code, const std::string& text) {
  const bool authenticating = socksState_ == TSocksPhase::Authenticating;
  if (authenticating) TriggerSocksAuthState(socksAuthFailure);
  TriggerSocksError(code, text);
  socksState_ = TSocksPhase::Off;
  ConnectionEstablished(static_cast<uint16_t>(code));
  CloseInternal(true, static_cast<uint16_t>(code));
}

// ---------------------------------------------------------------------------------------
// Receiving what came with the reply; events.

int TCustomSocksWSocket::PendingCount() {
  if (leftoverCount_ > 0) return leftoverCount_;
  return TCustomWSocket::PendingCount();
}

int TCustomSocksWSocket::RawReceive(void* buffer, int size) {
  if (leftoverCount_ <= 0) return TCustomWSocket::RawReceive(buffer, size);
  if (size <= 0) return 0;
  const int n = std::min(size, leftoverCount_);
  std::memcpy(buffer, rcvBuf_ + leftoverStart_, static_cast<size_t>(n));
  leftoverStart_ += n;
  leftoverCount_ -= n;
  return n;
}

void TCustomSocksWSocket::TriggerSessionClosed(uint16_t error) {
  if (socksState_ == TSocksPhase::Authenticating) TriggerSocksAuthState(socksAuthFailure);
  TCustomWSocket::TriggerSessionClosed(error);
}

void TCustomSocksWSocket::TriggerDataSent(uint16_t error) {
  // The handshake's own requests are not the application's data.
  if (socksState_ != TSocksPhase::Off) return;
  TCustomWSocket::TriggerDataSent(error);
}

void TCustomSocksWSocket::TriggerSocksConnected(uint16_t error) {
  if (OnSocksConnected && !Destroying()) OnSocksConnected(this, error);
}

void TCustomSocksWSocket::TriggerSocksError(int error, const std::string& msg) {
  if (OnSocksError && !Destroying()) OnSocksError(this, error, msg);
}

void TCustomSocksWSocket::TriggerSocksAuthState(TSocksAuthState state) {
  if (OnSocksAuthState && !Destroying()) OnSocksAuthState(this, state);
}
