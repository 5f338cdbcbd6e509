#include "net/customwsocket.h"

#include <algorithm>
#include <cstring>

using namespace platform;

namespace {
// A receive loop gives the thread back to its other messages after this many passes, so
// a peer that never stops sending cannot starve them; the rest comes with the next read
// event.
constexpr int kMaxReceivePasses = 128;
constexpr long kConnectMask = FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE;  // 0x33
constexpr long kAdoptMask = FD_READ | FD_WRITE | FD_CLOSE;                 // 0x23
// Waits of the pumping loops are cut into slices so a flag set without a message is
// still seen.
constexpr DWORD kWaitSlice = 50;

std::string DottedOf(uint32_t networkAddr) {
  IN_ADDR a{networkAddr};
  TWSocketLibRef ref;
  return inet_ntoa(a);
}
}  // namespace

void TWSocketCounter::Restart() {
  LastReceiveTick = 0;
  LastSendTick = 0;
  ConnectTick = GetTickCount();
  ConnectDate = Now();
}

uint32_t TWSocketCounter::LastActivityTick() const {
  return std::max({ConnectTick, LastReceiveTick, LastSendTick});
}

// ---------------------------------------------------------------------------------------

TCustomWSocket::TCustomWSocket(TComponent* owner) : TNetWndControl(owner) {
  socket_ = INVALID_SOCKET;
  AttachWindow();
  bufHandler_ = new TNetBufferHandler(this);
  bufHandler_->BufSize = 1460;
  ResetToDefaults();
  WSocketAddRef();
}

TCustomWSocket::~TCustomWSocket() {
  BeginDestroy();
  try {
    CancelLookup();
  } catch (const std::exception&) {
  }
  if (state_ != wsInvalidState) {
    try {
      if (state_ != wsClosed) Close();
    } catch (const std::exception&) {
    }
    // A socket left over by a connect that failed before the state changed.
    if (socket_ != INVALID_SOCKET) {
      closesocket(socket_);
      socket_ = INVALID_SOCKET;
    }
    WSocketRelease();
  }
  delete bufHandler_;
  bufHandler_ = nullptr;
  // Give the ids back while this class's ReturnMessageIds still runs: the base
  // destructor would only return its own, leaving ours to a dead owner.
  DetachForGood(true);
}

// ---------------------------------------------------------------------------------------
// Properties.

// Where the socket connects or binds changes only while it is closed.
bool TCustomWSocket::ChangeAllowed(const char* property) {
  if (state_ == wsClosed) return true;
  ReportError(std::string("Cannot change ") + property + " if not closed");
  return false;
}

// Addr, Port and Proto: trimmed, assigned when not empty, resolved again at the next use.
void TCustomWSocket::SetTarget(const char* property, const std::string& value, std::string& field,
                               bool& assigned, bool& resolved) {
  if (assigned && value == field) return;
  if (!ChangeAllowed(property)) return;
  field = Trim(value);
  assigned = !field.empty();
  resolved = false;
}

void TCustomWSocket::SetAddr(const std::string& value) {
  SetTarget("Addr", value, addr_, addrAssigned_, addrResolved_);
}

void TCustomWSocket::SetPort(const std::string& value) {
  SetTarget("Port", value, port_, portAssigned_, portResolved_);
}

void TCustomWSocket::SetProto(const std::string& value) {
  SetTarget("Proto", value, protoStr_, protoAssigned_, protoResolved_);
}

void TCustomWSocket::SetLocalAddr(const std::string& value) {
  if (!ChangeAllowed("LocalAddr")) return;
  localAddr_ = value.empty() ? "0.0.0.0" : value;
}

void TCustomWSocket::SetLocalPort(const std::string& value) {
  if (!ChangeAllowed("LocalPort")) return;
  localPort_ = value;
  localPortResolved_ = false;
}

TSocketSendFlags TCustomWSocket::SendFlags() {
  if (sendFlagWord_ == 0) return wsSendNormal;
  if (sendFlagWord_ == MSG_OOB) return wsSendUrgent;
  ReportError("Invalid internal SendFlags");
  return wsSendNormal;
}

void TCustomWSocket::SetSendFlags(TSocketSendFlags value) {
  switch (value) {
    case wsSendNormal: sendFlagWord_ = 0; break;
    case wsSendUrgent: sendFlagWord_ = MSG_OOB; break;
    default: ReportError("Invalid SendFlags");
  }
}

void TCustomWSocket::SetReqVerLow(uint8_t value) {
  if (!WSocketSetReqVerLow(value)) {
    WSASetLastError(WSAEINVAL);
    ReportWinsockError("SetReqVerLow: WinSock version can't be changed now");
  }
}

void TCustomWSocket::SetReqVerHigh(uint8_t value) {
  if (!WSocketSetReqVerHigh(value)) {
    WSASetLastError(WSAEINVAL);
    ReportWinsockError("SetReqVerHigh: WinSock version can't be changed now");
  }
}

int TCustomWSocket::SendBlockSize() const { return bufHandler_->BufSize; }
void TCustomWSocket::SetSendBlockSize(int value) { bufHandler_->BufSize = value; }

void TCustomWSocket::SetSendBufferSize(int value) {
  TWSocketLibRef ref;
  if (setsockopt(socket_, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&value),
                 sizeof(value)) != 0) {
    ReportWinsockError("setsockopt(SO_SNDBUF)");
    return;
  }
  sendBufferSize_ = value;
}

void TCustomWSocket::SetReceiveBufferSize(int value) {
  TWSocketLibRef ref;
  if (setsockopt(socket_, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&value),
                 sizeof(value)) != 0) {
    ReportWinsockError("setsockopt(SO_RCVBUF)");
    return;
  }
  receiveBufferSize_ = value;
}

void TCustomWSocket::CreateActivityCounter() { counter_ = std::make_unique<TWSocketCounter>(); }

// ---------------------------------------------------------------------------------------
// Sink, ids, errors.

int TCustomWSocket::MessageIdsNeeded() { return 7; }

void TCustomWSocket::ClaimMessageIds() {
  TNetWndControl::ClaimMessageIds();
  msgAsyncSelect_ = handler_->ClaimId(this);
  msgLookupReply_ = handler_->ClaimId(this);
  msgReverseReply_ = handler_->ClaimId(this);
  msgCloseLater_ = handler_->ClaimId(this);
  msgTestException_ = handler_->ClaimId(this);
  msgLineDelivery_ = handler_->ClaimId(this);
}

void TCustomWSocket::ReturnMessageIds() {
  handler_->ReleaseId(msgAsyncSelect_);
  handler_->ReleaseId(msgLookupReply_);
  handler_->ReleaseId(msgReverseReply_);
  handler_->ReleaseId(msgCloseLater_);
  handler_->ReleaseId(msgTestException_);
  handler_->ReleaseId(msgLineDelivery_);
  TNetWndControl::ReturnMessageIds();
}

void TCustomWSocket::AttachThread() {
  TNetWndControl::AttachThread();
  if (socket_ != INVALID_SOCKET) WSAAsyncSelect(socket_, handle_, msgAsyncSelect_, selectMask_);
}

void TCustomWSocket::DetachThread() {
  if (ThreadId() == GetCurrentThreadId() && socket_ != INVALID_SOCKET)
    WSAAsyncSelect(socket_, handle_, msgAsyncSelect_, 0);
  TNetWndControl::DetachThread();
}

void TCustomWSocket::WindowProc(TMessage& msg) {
  try {
    if (msg.Msg == msgAsyncSelect_) HandleSelectMessage(msg);
    else if (msg.Msg == msgLookupReply_) HandleLookupReply(msg, false);
    else if (msg.Msg == msgReverseReply_) HandleLookupReply(msg, true);
    else if (msg.Msg == msgCloseLater_) Close();
    else if (msg.Msg == msgTestException_) throw ESocketException("Test exception in WSocket");
    else TNetWndControl::WindowProc(msg);
  } catch (const std::exception& e) {
    HandleFailure(e);
  }
}

void TCustomWSocket::AbortOnError() { Abort(); }

void TCustomWSocket::LogLine(const std::string& text) {
  if (NetLogger) NetLogger(text);
}

void TCustomWSocket::ReportError(const std::string& message) {
  if (OnError) TriggerError();
  else throw ESocketException(message);
}

void TCustomWSocket::ReportWinsockError(const std::string& callName) {
  int code = WSAGetLastError();
  std::string message = WinsockErrorText(code) + " (#" + IntToStr(code) + " in " + callName + ")";
  if (code == WSAECONNRESET || code == WSAENOTCONN) {
    if (socket_ != INVALID_SOCKET) closesocket(socket_);
    socket_ = INVALID_SOCKET;
    if (state_ != wsClosed) TriggerSessionClosed(static_cast<uint16_t>(code));
    ChangeState(wsClosed);
  }
  LastError = code;
  ReportError(message);
}

void TCustomWSocket::ChangeState(TSocketState newState) {
  TSocketState old = state_;
  state_ = newState;
  if (old != newState) TriggerChangeState(old, newState);
}

// The events. None fires while the component is being destroyed.

void TCustomWSocket::TriggerChangeState(TSocketState oldState, TSocketState newState) {
  if (OnChangeState && !Destroying()) OnChangeState(this, oldState, newState);
}

bool TCustomWSocket::TriggerDataAvailable(uint16_t error) {
  if (!OnDataAvailable) return false;
  OnDataAvailable(this, error);
  return true;
}

void TCustomWSocket::TriggerSessionAvailable(uint16_t error) {
  if (OnSessionAvailable) OnSessionAvailable(this, error);
}

void TCustomWSocket::TriggerSessionConnected(uint16_t error) {
  bytesReceived_ = 0;
  bytesSent_ = 0;
  if (OnSessionConnected) OnSessionConnected(this, error);
}

void TCustomWSocket::TriggerSessionClosed(uint16_t error) {
  if (OnSessionClosed && !Destroying()) OnSessionClosed(this, error);
}

void TCustomWSocket::TriggerDataSent(uint16_t error) {
  if (OnDataSent && !Destroying()) OnDataSent(this, error);
}

void TCustomWSocket::TriggerSendData(int bytes) {
  if (OnSendData && !Destroying()) OnSendData(this, bytes);
}

void TCustomWSocket::TriggerDnsLookupDone(uint16_t error) {
  if (OnDnsLookupDone && !Destroying()) OnDnsLookupDone(this, error);
}

void TCustomWSocket::TriggerError() {
  if (OnError && !Destroying()) OnError(this);
}

void TCustomWSocket::ConnectionEstablished(uint16_t error) {
  if (sockType_ == SOCK_STREAM && error == 0 && counter_) counter_->Restart();
  TriggerSessionConnected(error);
}

// ---------------------------------------------------------------------------------------
// Connecting.

void TCustomWSocket::ResetToDefaults() {
  remote_ = SOCKADDR_IN{};
  remote_.sin_family = AF_INET;
  addressFamily_ = AF_INET;
  portResolved_ = addrResolved_ = protoResolved_ = localPortResolved_ = false;
  portAssigned_ = addrAssigned_ = false;
  protoAssigned_ = true;
  protoNum_ = 6;
  protoStr_ = "tcp";
  sockType_ = SOCK_STREAM;
  localPort_ = "0";
  localAddr_ = "0.0.0.0";
  LingerOnOff = wsLingerOn;
  LingerTimeout = 0;
  socket_ = INVALID_SOCKET;
  selectMask_ = 0;
  state_ = wsClosed;
  sendQueueEmpty_ = true;
  paused_ = false;
  closeReported_ = false;
  FlushTimeout = 60;
}

void TCustomWSocket::Connect() {
  if (socket_ != INVALID_SOCKET && state_ != wsClosed) {
    ReportError("Connect: Socket already in use");
    return;
  }
  if (!portAssigned_) {
    ReportError("Connect: No Port Specified");
    return;
  }
  if (!addrAssigned_) {
    ReportError("Connect: No IP Address Specified");
    return;
  }
  if (!protoAssigned_) {
    ReportError("Connect: No Protocol Specified");
    return;
  }
  try {
    WSocketLoad();
    if (!protoResolved_) {
      protoNum_ = ResolveProto(protoStr_);
      sockType_ = protoNum_ == 6 ? SOCK_STREAM : protoNum_ == 17 ? SOCK_DGRAM : SOCK_RAW;
      protoResolved_ = true;
    }
    if (!portResolved_) {
      remote_.sin_port = htons(static_cast<platform::u_short>(ResolvePort(port_, protoStr_)));
      portResolved_ = true;
    }
    if (!localPortResolved_) {
      localPortNum_ = ResolvePort(localPort_, protoStr_) & 0xFFFF;
      localPortResolved_ = true;
    }
    if (!addrResolved_) {
      remote_.sin_addr.s_addr = ResolveHost(addr_);
      addrResolved_ = true;
    }
  } catch (const Exception& e) {
    ReportError("connect: " + e.Message());
    return;
  }
  remote_.sin_family = AF_INET;

  bufHandler_->Lock();
  bufHandler_->Clear();
  queuedByteCount_ = 0;
  bufHandler_->Unlock();

  socket_ = socket(AF_INET, sockType_, protoNum_);
  if (socket_ == INVALID_SOCKET) {
    ReportWinsockError("Connect (socket)");
    return;
  }
  {
    TWSocketLibRef ref;
    int len = sizeof(int);
    if (getsockopt(socket_, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<char*>(&sendBufferSize_), &len)) {
      ReportWinsockError("getsockopt(SO_SNDBUF)");
      return;
    }
    len = sizeof(int);
    if (getsockopt(socket_, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<char*>(&receiveBufferSize_),
                   &len)) {
      ReportWinsockError("getsockopt(SO_RCVBUF)");
      return;
    }
  }
  ChangeState(wsOpened);
  if (state_ != wsOpened) {
    WSASetLastError(WSAEINVAL);
    ReportWinsockError("Connect (Invalid operation in OnChangeState)");
    return;
  }
  if (sockType_ == SOCK_STREAM) {
    int on = -1;
    if (setsockopt(socket_, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<char*>(&on), sizeof(on))) {
      ReportWinsockError("setsockopt(SO_REUSEADDR)");
      return;
    }
    if (ComponentOptions.Contains(wsoTcpNoDelay) &&
        setsockopt(socket_, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<char*>(&on), sizeof(on))) {
      ReportWinsockError("setsockopt(IPPROTO_TCP, TCP_NODELAY)");
      return;
    }
    if (!ApplyLinger() || !ApplyKeepAlive()) return;
    if (localPortNum_ != 0 || localAddr_ != "0.0.0.0") Bind();
  } else if (sockType_ == SOCK_DGRAM) {
    Bind();
    if (MultiCast) {
      if (MultiCastIpTTL != 1) {
        int ttl = MultiCastIpTTL;
        if (setsockopt(socket_, IPPROTO_IP, IP_MULTICAST_TTL, reinterpret_cast<char*>(&ttl),
                       sizeof(ttl))) {
          ReportWinsockError("setsockopt(IP_MULTICAST_TTL)");
          return;
        }
      }
      if (localAddr_ != "0.0.0.0") {
        IN_ADDR ifAddr{inet_addr(localAddr_.c_str())};
        if (setsockopt(socket_, IPPROTO_IP, IP_MULTICAST_IF, reinterpret_cast<char*>(&ifAddr),
                       sizeof(ifAddr))) {
          ReportWinsockError("setsockopt(IP_MULTICAST_IF)");
          return;
        }
      }
    }
    if (remote_.sin_addr.s_addr == INADDR_BROADCAST) {
      int on = 1;
      if (setsockopt(socket_, SOL_SOCKET, SO_BROADCAST, reinterpret_cast<char*>(&on), sizeof(on))) {
        ReportWinsockError("setsockopt(SO_BROADCAST)");
        return;
      }
    }
  }
  if (WSAAsyncSelect(socket_, Handle(), msgAsyncSelect_, kConnectMask) != 0) {
    ReportWinsockError("WSAAsyncSelect");
    return;
  }
  selectMask_ = kConnectMask;
  if (sockType_ == SOCK_DGRAM) {
    ChangeState(wsConnected);
    ConnectionEstablished(0);
    return;
  }
  if (LogWanted())
    LogLine("TWSocket will connect to " + DottedOf(remote_.sin_addr.s_addr) + ":" +
            IntToStr(ntohs(remote_.sin_port)));
  if (connect(socket_, reinterpret_cast<SOCKADDR*>(&remote_), sizeof(remote_)) == 0 ||
      WSAGetLastError() == WSAEWOULDBLOCK) {
    ChangeState(wsConnecting);
    return;
  }
  LastError = WSAGetLastError();
  ReportWinsockError("Connect");
}

bool TCustomWSocket::ApplyLinger() {
  if (LingerOnOff == wsLingerNoSet) return true;
  if (socket_ == INVALID_SOCKET) {
    ReportError("Cannot set linger option at this time");
    return false;
  }
  LINGER li{static_cast<platform::u_short>(LingerOnOff == wsLingerOn ? 1 : 0),
            static_cast<platform::u_short>(LingerTimeout)};
  if (setsockopt(socket_, SOL_SOCKET, SO_LINGER, reinterpret_cast<char*>(&li), sizeof(li))) {
    ReportWinsockError("setsockopt(SO_LINGER)");
    return false;
  }
  return true;
}

bool TCustomWSocket::ApplyKeepAlive() {
  if (KeepAliveOnOff == wsKeepAliveOff) return true;
  if (KeepAliveOnOff == wsKeepAliveOnSystem) {
    int on = 1;
    if (setsockopt(socket_, SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<char*>(&on), sizeof(on))) {
      ReportWinsockError("setsockopt(SO_KEEPALIVE)");
      return false;
    }
    return true;
  }
  TWSocketLibRef ref;
  TCP_KEEPALIVE ka{1, static_cast<platform::u_long>(KeepAliveTime), static_cast<platform::u_long>(KeepAliveInterval)};
  DWORD returned = 0;
  if (WSAIoctl(socket_, SIO_KEEPALIVE_VALS, &ka, sizeof(ka), nullptr, 0, &returned)) {
    ReportWinsockError("WSocket_WSAIoctl(SIO_KEEPALIVE_VALS)");
    return false;
  }
  return true;
}

void TCustomWSocket::Bind() {
  SOCKADDR_IN local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(static_cast<platform::u_short>(localPortNum_));
  local.sin_addr.s_addr = ResolveHost(localAddr_);
  if (bind(socket_, reinterpret_cast<SOCKADDR*>(&local), sizeof(local)) != 0) {
    ReportError("Bind socket failed - " + WinsockErrorTextWithCode(WSAGetLastError()));
    return;
  }
  int len = sizeof(local);
  if (getsockname(socket_, reinterpret_cast<SOCKADDR*>(&local), &len) != 0) {
    ReportError("Winsock get socket name failed - " + WinsockErrorTextWithCode(WSAGetLastError()));
    return;
  }
  localPortNum_ = ntohs(local.sin_port);
  localPort_ = IntToStr(localPortNum_);
}

// ---------------------------------------------------------------------------------------
// Network events.

void TCustomWSocket::HandleSelectMessage(const TMessage& msg) {
  if (socket_ == INVALID_SOCKET || static_cast<SOCKET>(msg.WParam) != socket_ || paused_) return;
  WORD events = WSAGETSELECTEVENT(msg.LParam);
  WORD error = WSAGETSELECTERROR(msg.LParam);
  if (events & FD_CONNECT) HandleConnectEvent(error);
  if (events & FD_READ) HandleReadEvent(error);
  if (events & FD_WRITE) HandleWriteEvent(error);
  if (events & FD_ACCEPT) HandleAcceptEvent(error);
  if (events & FD_CLOSE) HandleCloseEvent(error);
}

void TCustomWSocket::HandleConnectEvent(uint16_t error) {
  if (state_ == wsConnected) return;
  ChangeState(wsConnected);
  ConnectionEstablished(error);
  if (error != 0 && state_ != wsClosed) Close();
}

void TCustomWSocket::HandleReadEvent(uint16_t error) {
  if (state_ != wsConnected) {
    ChangeState(wsConnected);
    ConnectionEstablished(error);
  }
  ReceiveLoop(error, ComponentOptions, false);
}

void TCustomWSocket::HandleWriteEvent(uint16_t error) {
  TryToSend();
  if (sendQueueEmpty_) TriggerDataSent(error);
}

void TCustomWSocket::HandleAcceptEvent(uint16_t error) { TriggerSessionAvailable(error); }

void TCustomWSocket::HandleCloseEvent(uint16_t error) {
  if (state_ == wsConnecting || socket_ == INVALID_SOCKET) return;
  TWSocketOptions options = ComponentOptions;
  options.Exclude(wsoNoReceiveLoop);
  ReceiveLoop(0, options, true);
  // A handler that closed the socket while draining has reported the close already (and
  // the reset after it cleared the flag).
  if (socket_ == INVALID_SOCKET) return;
  if (!closeReported_) {
    closeReported_ = true;
    TriggerSessionClosed(error);
  }
  if (state_ != wsClosed) Close();
}

void TCustomWSocket::ReceiveLoop(uint16_t error, TWSocketOptions options, bool draining) {
  try {
    for (int pass = 0;; ++pass) {
      if (!draining && pass >= kMaxReceivePasses) break;
      int64_t before = bytesReceived_;
      LastError = 0;
      if (!TriggerDataAvailable(error)) {
        // Nobody reads: drop a little so the event does not come back for ever.
        char scratch[4];
        if (Receive(scratch, sizeof(scratch)) < 0 && LastError == WSAEWOULDBLOCK) {
          LastError = 0;
          break;
        }
      }
      if (options.Contains(wsoNoReceiveLoop)) break;
      if (LastError != 0) {
        if (LastError == -1) LastError = 0;
        break;
      }
      if (socket_ == INVALID_SOCKET) break;
      // A handler that reads nothing would keep this loop going for ever.
      if (bytesReceived_ == before) break;
      platform::u_long count = 0;
      if (ioctlsocket(socket_, FIONREAD, &count) != 0) {
        LastError = WSAGetLastError();
        break;
      }
      if (count == 0) break;
    }
  } catch (const std::exception& e) {
    // A data handler's failure is the component's background error (by default the
    // connection is aborted), never lost here.
    HandleFailure(e);
  }
}

// ---------------------------------------------------------------------------------------
// Receiving.

int TCustomWSocket::RawReceive(void* buffer, int size) {
  return recv(socket_, static_cast<char*>(buffer), size, 0);
}

int TCustomWSocket::Receive(void* buffer, int size) {
  int n = RawReceive(buffer, size);
  if (n < 0) {
    LastError = WSAGetLastError();
  } else {
    bytesReceived_ += n;
    if (n > 0 && counter_) counter_->LastReceiveTick = GetTickCount();
  }
  return n;
}

std::string TCustomWSocket::ReceiveText() {
  int count = PendingCount();
  if (count < 0) return std::string();
  if (count == 0) count = 255;
  std::string text(static_cast<size_t>(count), '\0');
  int n = Receive(text.data(), count);
  text.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return text;
}

int TCustomWSocket::RawReceiveFrom(void* buffer, int size, SOCKADDR_IN& from, int& fromLen) {
  return recvfrom(socket_, static_cast<char*>(buffer), size, 0, reinterpret_cast<SOCKADDR*>(&from),
                  &fromLen);
}

int TCustomWSocket::ReceiveFrom(void* buffer, int size, SOCKADDR_IN& from, int& fromLen) {
  int n = RawReceiveFrom(buffer, size, from, fromLen);
  if (n < 0) {
    LastError = WSAGetLastError();
  } else {
    bytesReceived_ += n;
    if (n > 0 && counter_) counter_->LastReceiveTick = GetTickCount();
  }
  return n;
}

int TCustomWSocket::PendingCount() {
  platform::u_long count = 0;
  if (ioctlsocket(socket_, FIONREAD, &count) != 0) {
    ReportWinsockError("ioctlSocket");
    return -1;
  }
  return static_cast<int>(count);
}

// ---------------------------------------------------------------------------------------
// Sending.

int TCustomWSocket::Send(const void* data, int length) {
  if (state_ != wsConnected && state_ != wsSocksConnected) {
    WSASetLastError(WSAENOTCONN);
    ReportWinsockError("Send");
    return -1;
  }
  sendQueueEmpty_ = false;
  if (length > 0) QueueData(data, length);
  else length = 0;
  TryToSend();
  if (sendQueueEmpty_ && socket_ != INVALID_SOCKET)
    PostMessage(Handle(), msgAsyncSelect_, static_cast<WPARAM>(socket_),
                WSAMAKESELECTREPLY(FD_WRITE, 0));
  return length;
}

void TCustomWSocket::QueueData(const void* data, int length) {
  if (length <= 0 || !data) return;
  bufHandler_->Lock();
  bufHandler_->Write(data, length);
  queuedByteCount_ += length;
  sendQueueEmpty_ = false;
  bufHandler_->Unlock();
}

int TCustomWSocket::SendChunk(const char* data, int count) {
  int n = sockType_ == SOCK_DGRAM
              ? sendto(socket_, data, count, sendFlagWord_, reinterpret_cast<SOCKADDR*>(&remote_),
                       sizeof(remote_))
              : send(socket_, data, count, sendFlagWord_);
  if (n > 0) {
    bytesSent_ += n;
    if (counter_) counter_->LastSendTick = GetTickCount();
  }
  return n;
}

namespace {
struct ChainLock {
  TNetBufferHandler* h;
  explicit ChainLock(TNetBufferHandler* handler) : h(handler) { h->Lock(); }
  ~ChainLock() { h->Unlock(); }
};
}  // namespace

void TCustomWSocket::TryToSend() {
  ChainLock lock(bufHandler_);
  if (socket_ == INVALID_SOCKET || bufHandler_->IsEmpty()) {
    sendQueueEmpty_ = true;
    return;
  }
  for (;;) {
    const char* data = nullptr;
    int len = bufHandler_->Peek(data);
    if (len <= 0) {
      sendQueueEmpty_ = true;
      return;
    }
    int n = SendChunk(data, len);
    if (n == 0) return;
    if (n < 0) {
      int err = WSAGetLastError();
      if (err == WSAEINVAL || err == WSAENOTSOCK || err == WSAECONNABORTED ||
          err == WSAECONNRESET || err == WSAENOTCONN) {
        if (LogWanted()) LogLine(WinsockErrorText(err) + " Winsock Send failed - " + Name);
        closeReported_ = true;
        Close();
        TriggerSessionClosed(static_cast<uint16_t>(err));
      } else if (err != WSAEWOULDBLOCK) {
        ReportWinsockError("TryToSend failed");
      }
      return;
    }
    queuedByteCount_ = std::max(0, queuedByteCount_ - n);
    // Consumed before OnSendData runs: a handler that sends again must not find these
    // bytes still at the head of the chain.
    bufHandler_->Remove(n);
    TriggerSendData(n);
    if (socket_ == INVALID_SOCKET) return;
    if (n < len) return;
  }
}

int TCustomWSocket::SendTo(const SOCKADDR_IN& dest, int destLen, const void* data, int length) {
  int n = sendto(socket_, static_cast<const char*>(data), length, sendFlagWord_,
                 reinterpret_cast<const SOCKADDR*>(&dest), destLen);
  if (n > 0) {
    bytesSent_ += n;
    if (counter_) counter_->LastSendTick = GetTickCount();
    TriggerSendData(n);
  }
  return n;
}

void TCustomWSocket::Flush() {
  while (socket_ != INVALID_SOCKET && !sendQueueEmpty_) {
    TryToSend();
    if (sendQueueEmpty_ || socket_ == INVALID_SOCKET) break;
    MsgWaitForInput(kWaitSlice);
    PumpMessages();
  }
}

// ---------------------------------------------------------------------------------------
// Closing.

void TCustomWSocket::Close() { CloseInternal(true, 0); }

void TCustomWSocket::CloseLater() { PostMessage(Handle(), msgCloseLater_, 0, 0); }

void TCustomWSocket::CloseInternal(bool shutdownFirst, uint16_t error) {
  if (socket_ == INVALID_SOCKET) {
    if (state_ != wsClosed) ChangeState(wsClosed);
    ResetToDefaults();
    return;
  }
  if (state_ == wsClosed) return;
  if (shutdownFirst) Shutdown(SD_SEND);
  while (closesocket(socket_) != 0) {
    int code = WSAGetLastError();
    if (code == WSAEWOULDBLOCK) {
      PumpMessages();
      continue;
    }
    socket_ = INVALID_SOCKET;
    if (code != WSANOTINITIALISED) {
      ReportWinsockError("Disconnect (closesocket)");
      return;
    }
    break;
  }
  socket_ = INVALID_SOCKET;
  ChangeState(wsClosed);
  if (!Destroying() && !closeReported_) {
    closeReported_ = true;
    TriggerSessionClosed(error);
  }
  try {
    ResetToDefaults();
  } catch (const std::exception&) {
  }
}

void TCustomWSocket::Abort() { AbortInternal(0); }

void TCustomWSocket::AbortInternal(uint16_t error) {
  CancelLookup();
  bufHandler_->Lock();
  bufHandler_->Clear();
  queuedByteCount_ = 0;
  bufHandler_->Unlock();
  if (state_ == wsConnected && protoNum_ == 6) {
    LingerOnOff = wsLingerOff;
    ApplyLinger();
  }
  CloseInternal(false, error);
}

void TCustomWSocket::Shutdown(int how) {
  if (LogWanted())
    LogLine("TCustomWSocket.Shutdown " + IntToStr(socket_) + " " + IntToStr(how));
  if (socket_ != INVALID_SOCKET) shutdown(socket_, how);
}

void TCustomWSocket::Pause() {
  paused_ = true;
  if (socket_ != INVALID_SOCKET) WSAAsyncSelect(socket_, Handle(), msgAsyncSelect_, 0);
}

void TCustomWSocket::Resume() {
  paused_ = false;
  if (socket_ != INVALID_SOCKET) WSAAsyncSelect(socket_, Handle(), msgAsyncSelect_, selectMask_);
}

void TCustomWSocket::WaitForClose() {
  while (socket_ != INVALID_SOCKET && state_ != wsClosed) {
    PumpMessages();
    platform::u_long count = 0;
    if (ioctlsocket(socket_, FIONREAD, &count) != 0) break;
    if (count > 0) TriggerDataAvailable(0);
    char ch;
    if (Receive(&ch, 1) < 0 && LastError != WSAEWOULDBLOCK) break;
    if (socket_ == INVALID_SOCKET || state_ == wsClosed) break;
    MsgWaitForInput(kWaitSlice);
    PumpMessages();
  }
}

// ---------------------------------------------------------------------------------------
// Listening and accepting.

void TCustomWSocket::Listen() {
  if (!portAssigned_) {
    WSASetLastError(WSAEINVAL);
    ReportWinsockError("listen: port not assigned");
    return;
  }
  if (!protoAssigned_) {
    WSASetLastError(WSAEINVAL);
    ReportWinsockError("listen: protocol not assigned");
    return;
  }
  if (!addrAssigned_) {
    WSASetLastError(WSAEINVAL);
    ReportWinsockError("listen: address not assigned");
    return;
  }
  try {
    WSocketLoad();
    if (!protoResolved_) {
      if (StartsText("raw_", protoStr_)) {
        protoNum_ = ResolveProto(protoStr_.substr(4));
        sockType_ = SOCK_RAW;
      } else {
        protoNum_ = ResolveProto(protoStr_);
        sockType_ = protoNum_ == 6 ? SOCK_STREAM : protoNum_ == 17 ? SOCK_DGRAM : SOCK_RAW;
      }
      protoResolved_ = true;
    }
    if (!portResolved_) {
      remote_.sin_port = htons(static_cast<platform::u_short>(ResolvePort(port_, protoStr_)));
      portResolved_ = true;
    }
    if (!addrResolved_) {
      remote_.sin_addr.s_addr = ResolveHost(addr_);
      addrResolved_ = true;
    }
  } catch (const Exception& e) {
    ReportError("listen: " + e.Message());
    return;
  }
  remote_.sin_family = AF_INET;
  socket_ = socket(AF_INET, sockType_, protoNum_);
  if (socket_ == INVALID_SOCKET) {
    ReportWinsockError("socket");
    return;
  }
  if (sockType_ == SOCK_DGRAM && ReuseAddr) {
    int on = 1;
    if (setsockopt(socket_, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<char*>(&on), sizeof(on))) {
      ReportWinsockError("setsockopt(SO_REUSEADDR)");
      return;
    }
  }
  if (bind(socket_, reinterpret_cast<SOCKADDR*>(&remote_), sizeof(remote_)) != 0) {
    ReportWinsockError("Bind");
    return;
  }
  ChangeState(wsBound);
  if (sockType_ == SOCK_STREAM) {
    if (listen(socket_, ListenBacklog) != 0) {
      ReportWinsockError("Listen");
      return;
    }
    ChangeState(wsListening);
  } else if (sockType_ == SOCK_DGRAM) {
    if (MultiCast) {
      IP_MREQ mreq{{inet_addr(MultiCastAddrStr.c_str())}, {remote_.sin_addr.s_addr}};
      if (setsockopt(socket_, IPPROTO_IP, IP_ADD_MEMBERSHIP, reinterpret_cast<char*>(&mreq),
                     sizeof(mreq))) {
        ReportWinsockError("setsockopt(IP_ADD_MEMBERSHIP)");
        return;
      }
    }
  } else if (sockType_ == SOCK_RAW) {
    if (ComponentOptions.Contains(wsoSIO_RCVALL)) {
      platform::u_long on = 1;
      DWORD returned = 0;
      if (WSAIoctl(socket_, SIO_RCVALL, &on, sizeof(on), nullptr, 0, &returned)) {
        ReportWinsockError("WSAIoctl(SIO_RCVALL)");
        return;
      }
    }
  } else {
    ReportError("Listen: unexpected protocol.");
    return;
  }
  long mask = sockType_ == SOCK_STREAM ? (FD_ACCEPT | FD_CLOSE) : (FD_READ | FD_WRITE | FD_ACCEPT | FD_CLOSE);
  if (WSAAsyncSelect(socket_, Handle(), msgAsyncSelect_, mask) != 0) {
    ReportWinsockError("WSAASyncSelect");
    return;
  }
  selectMask_ = mask;
}

SOCKET TCustomWSocket::Accept() {
  if (state_ != wsListening) {
    WSASetLastError(WSAEINVAL);
    ReportWinsockError("not a listening socket");
    return INVALID_SOCKET;
  }
  SOCKADDR_IN from{};
  int len = sizeof(from);
  SOCKET h = accept(socket_, reinterpret_cast<SOCKADDR*>(&from), &len);
  if (h == INVALID_SOCKET) ReportWinsockError("Accept");
  return h;
}

void TCustomWSocket::Dup(SOCKET handle) {
  if (handle == INVALID_SOCKET || handle == 0) {
    WSASetLastError(WSAEINVAL);
    ReportWinsockError("Dup");
    return;
  }
  if (socket_ != INVALID_SOCKET) {
    if (closesocket(socket_) != 0) {
      ReportWinsockError("Dup (closesocket)");
      return;
    }
  }
  socket_ = handle;
  {
    TWSocketLibRef ref;
    int len = sizeof(int);
    getsockopt(socket_, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<char*>(&sendBufferSize_), &len);
    len = sizeof(int);
    getsockopt(socket_, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<char*>(&receiveBufferSize_), &len);
  }
  if (ComponentOptions.Contains(wsoTcpNoDelay)) {
    int on = -1;
    setsockopt(socket_, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<char*>(&on), sizeof(on));
  }
  if (!ApplyLinger() || !ApplyKeepAlive()) return;
  if (WSAAsyncSelect(socket_, Handle(), msgAsyncSelect_, kAdoptMask) != 0) {
    ReportWinsockError("WSAAsyncSelect");
    return;
  }
  selectMask_ = kAdoptMask;
  AdoptConnected();
}

void TCustomWSocket::AdoptConnected() {
  if (counter_) counter_->Restart();
  bytesReceived_ = 0;
  bytesSent_ = 0;
  ChangeState(wsConnected);
}

// ---------------------------------------------------------------------------------------
// Lookups.

void TCustomWSocket::DnsLookup(const std::string& host) {
  if (host.empty()) {
    ReportError("DNS lookup: invalid host name.");
    TriggerDnsLookupDone(WSAEINVAL);
    return;
  }
  ForgetLookup();
  if (IsDottedAddress(host)) {
    platform::u_long a = inet_addr(Trim(host).c_str());
    if (a != INADDR_NONE) {
      lookupAddress_ = DottedOf(a);
      lookupList_.Add(lookupAddress_);
      TriggerDnsLookupDone(0);
      return;
    }
  }
  if (handle_ == 0) {
    ReportError("DnsLookup: Window not assigned");
    return;
  }
  WSocketLoad();
  earlyReply_ = false;
  lookupHandle_ = WSAAsyncGetHostByName(handle_, msgLookupReply_, host.c_str(), lookupReply_,
                                        sizeof(lookupReply_));
  if (!lookupHandle_) {
    ReportError(host + ": can't start DNS lookup - " + WinsockErrorTextWithCode(WSAGetLastError()));
    return;
  }
  TakeEarlyReply(false);
}

void TCustomWSocket::ReverseLookup(const std::string& address) {
  if (address.empty()) {
    ReportError("Reverse DNS Lookup: Invalid host name.");
    TriggerDnsLookupDone(WSAEINVAL);
    return;
  }
  ForgetLookup();
  if (handle_ == 0) {
    ReportError("Reverse DNS Lookup: Window not assigned");
    return;
  }
  WSocketLoad();
  platform::u_long a = inet_addr(Trim(address).c_str());
  earlyReply_ = false;
  lookupHandle_ = WSAAsyncGetHostByAddr(handle_, msgReverseReply_, reinterpret_cast<char*>(&a), 4,
                                        AF_INET, lookupReply_, sizeof(lookupReply_));
  if (!lookupHandle_) {
    ReportError(address + ": can't start reverse DNS lookup - " +
                WinsockErrorTextWithCode(WSAGetLastError()));
    return;
  }
  TakeEarlyReply(true);
}

void TCustomWSocket::ReverseLookupBlocking(const std::string& address) {
  if (address.empty() || address.size() > 256) {
    ReportError("Reverse DNS Lookup: Invalid host name.");
    TriggerDnsLookupDone(WSAEINVAL);
    return;
  }
  lookupAddress_.clear();
  lookupList_.Clear();
  WSocketLoad();
  platform::u_long a = inet_addr(Trim(address).c_str());
  HOSTENT* he = gethostbyaddr(reinterpret_cast<char*>(&a), 4, AF_INET);
  if (!he) {
    TriggerDnsLookupDone(static_cast<uint16_t>(WSAGetLastError()));
    return;
  }
  lookupAddress_ = he->h_name;
  lookupList_.Add(he->h_name);
  for (char** p = he->h_aliases; p && *p; ++p) lookupList_.Add(*p);
  TriggerDnsLookupDone(0);
}

// A new lookup replaces a pending one silently: its late reply no longer matches the handle.
void TCustomWSocket::ForgetLookup() {
  if (lookupHandle_) {
    WSACancelAsyncRequest(lookupHandle_);
    lookupHandle_ = 0;
  }
  lookupAddress_.clear();
  lookupList_.Clear();
}

// A reply that came before the request's handle was known was kept for now.
void TCustomWSocket::TakeEarlyReply(bool reverse) {
  if (!earlyReply_) return;
  earlyReply_ = false;
  HandleLookupReply(savedReply_, reverse);
}

void TCustomWSocket::HandleLookupReply(const TMessage& msg, bool reverse) {
  if (lookupHandle_ == 0) {
    savedReply_ = msg;
    earlyReply_ = true;
    return;
  }
  if (msg.WParam != lookupHandle_) return;
  lookupHandle_ = 0;
  WORD error = WSAGETASYNCERROR(msg.LParam);
  if (error == 0) {
    auto base = reinterpret_cast<uintptr_t>(lookupReply_);
    auto* he = reinterpret_cast<HOSTENT*>(lookupReply_ + (((base + alignof(void*) - 1) &
                                                           ~(alignof(void*) - 1)) - base));
    if (reverse) {
      lookupAddress_ = he->h_name ? he->h_name : "";
      lookupList_.Add(lookupAddress_);
      for (char** p = he->h_aliases; p && *p; ++p) lookupList_.Add(*p);
    } else {
      for (char** p = he->h_addr_list; p && *p; ++p) {
        uint32_t a;
        std::memcpy(&a, *p, 4);
        lookupList_.Add(DottedOf(a));
      }
      if (lookupList_.Count() > 0) lookupAddress_ = lookupList_[0];
    }
  }
  TriggerDnsLookupDone(error);
}

void TCustomWSocket::CancelLookup() {
  if (!lookupHandle_) return;
  if (WSACancelAsyncRequest(lookupHandle_) != 0) {
    lookupHandle_ = 0;
    ReportWinsockError("WSACancelAsyncRequest");
    return;
  }
  lookupHandle_ = 0;
  if (!Destroying()) TriggerDnsLookupDone(WSAEINTR);
}

// ---------------------------------------------------------------------------------------
// Addresses.

int TCustomWSocket::PeerName(SOCKADDR_IN& name, int& nameLen) {
  nameLen = sizeof(name);
  return getpeername(socket_, reinterpret_cast<SOCKADDR*>(&name), &nameLen);
}

int TCustomWSocket::SockName(SOCKADDR_IN& name, int& nameLen) {
  nameLen = sizeof(name);
  return getsockname(socket_, reinterpret_cast<SOCKADDR*>(&name), &nameLen);
}

std::string TCustomWSocket::PeerAddr() {
  if (state_ != wsConnected) return "error";
  SOCKADDR_IN a{};
  int len;
  if (PeerName(a, len) != 0) {
    ReportWinsockError("GetPeerName");
    return "error";
  }
  return DottedOf(a.sin_addr.s_addr);
}

std::string TCustomWSocket::PeerPort() {
  if (state_ != wsConnected) return "error";
  SOCKADDR_IN a{};
  int len;
  if (PeerName(a, len) != 0) {
    ReportWinsockError("GetPeerPort");
    return "error";
  }
  return IntToStr(ntohs(a.sin_port));
}

std::string TCustomWSocket::BoundAddr() {
  if (state_ != wsBound && state_ != wsConnected && state_ != wsListening) return "error";
  SOCKADDR_IN a{};
  int len;
  if (SockName(a, len) != 0) return "error";
  return DottedOf(a.sin_addr.s_addr);
}

std::string TCustomWSocket::BoundPort() {
  if (state_ != wsBound && state_ != wsConnected && state_ != wsListening) return "error";
  SOCKADDR_IN a{};
  int len;
  if (SockName(a, len) != 0) return "error";
  return IntToStr(ntohs(a.sin_port));
}
