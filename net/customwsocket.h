// TCustomWSocket: the event-driven TCP socket. It never blocks its thread on the network:
// lookups, connects, reads and writes start at once and end in events fired from the
// messages the platform posts to the component's hidden sink.
//
// Events of one successful exchange: OnChangeState (wsClosed -> wsOpened, -> wsConnecting,
// -> wsConnected), OnSessionConnected(0), then OnDataAvailable(0) / OnDataSent(0) (with
// OnSendData after each chunk handed to the system). A peer's close fires OnSessionClosed
// before the change to wsClosed; after a local Close the state change comes first.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "base/classes.h"
#include "net/netbuffer.h"
#include "net/netwndcontrol.h"
#include "net/socketlib.h"
#include "platform/sockets.h"

enum TSocketState {
  wsInvalidState,
  wsOpened,
  wsBound,
  wsConnecting,
  wsSocksConnected,
  wsConnected,
  wsAccepting,
  wsListening,
  wsClosed
};
enum TSocketSendFlags { wsSendNormal, wsSendUrgent };
enum TSocketLingerOnOff { wsLingerOff, wsLingerOn, wsLingerNoSet };
enum TSocketKeepAliveOnOff { wsKeepAliveOff, wsKeepAliveOnCustom, wsKeepAliveOnSystem };
enum TWSocketOption { wsoNoReceiveLoop, wsoTcpNoDelay, wsoSIO_RCVALL };

// A set of TWSocketOption.
class TWSocketOptions {
 public:
  TWSocketOptions() = default;
  TWSocketOptions(std::initializer_list<TWSocketOption> options) {
    for (auto o : options) Include(o);
  }
  bool Contains(TWSocketOption o) const { return bits_ & Bit(o); }
  void Include(TWSocketOption o) { bits_ = static_cast<uint8_t>(bits_ | Bit(o)); }
  void Exclude(TWSocketOption o) { bits_ = static_cast<uint8_t>(bits_ & ~Bit(o)); }
  bool Empty() const { return bits_ == 0; }
  bool operator==(const TWSocketOptions&) const = default;

 private:
  static uint8_t Bit(TWSocketOption o) { return static_cast<uint8_t>(1u << o); }
  uint8_t bits_ = 0;
};

using TDataAvailable = std::function<void(TObject* Sender, uint16_t ErrCode)>;
using TDataSent = TDataAvailable;
using TSessionClosed = TDataAvailable;
using TSessionAvailable = TDataAvailable;
using TSessionConnected = TDataAvailable;
using TDnsLookupDone = TDataAvailable;
using TSendData = std::function<void(TObject* Sender, int BytesSent)>;
using TChangeState =
    std::function<void(TObject* Sender, TSocketState OldState, TSocketState NewState)>;

// Activity ticks of a connection (milliseconds of the tick counter).
class TWSocketCounter : public TObject {
 public:
  const char* ClassName() const override { return "TWSocketCounter"; }
  virtual void Restart();
  uint32_t LastActivityTick() const;

  TDateTime ConnectDate = 0;
  uint32_t ConnectTick = 0;
  uint32_t LastReceiveTick = 0;
  uint32_t LastSendTick = 0;
};

class TCustomWSocket : public TNetWndControl {
 public:
  explicit TCustomWSocket(TComponent* owner);
  ~TCustomWSocket() override;
  const char* ClassName() const override { return "TCustomWSocket"; }

  // Connection settings: may change only while the socket is closed.
  const std::string& Addr() const { return addr_; }
  void SetAddr(const std::string& value);
  const std::string& Port() const { return port_; }
  virtual void SetPort(const std::string& value);
  const std::string& Proto() const { return protoStr_; }
  virtual void SetProto(const std::string& value);
  const std::string& LocalAddr() const { return localAddr_; }
  void SetLocalAddr(const std::string& value);
  const std::string& LocalPort() const { return localPort_; }
  void SetLocalPort(const std::string& value);
  TSocketSendFlags SendFlags();
  void SetSendFlags(TSocketSendFlags value);
  // Process-wide; refused while the library is started.
  uint8_t ReqVerLow() const { return WSocketReqVerLow(); }
  void SetReqVerLow(uint8_t value);
  uint8_t ReqVerHigh() const { return WSocketReqVerHigh(); }
  void SetReqVerHigh(uint8_t value);

  bool MultiThreaded = false;
  bool MultiCast = false;
  std::string MultiCastAddrStr;
  int MultiCastIpTTL = 1;
  int FlushTimeout = 60;
  TSocketLingerOnOff LingerOnOff = wsLingerOn;
  int LingerTimeout = 0;
  TSocketKeepAliveOnOff KeepAliveOnOff = wsKeepAliveOff;
  int KeepAliveTime = 0;
  int KeepAliveInterval = 0;
  int LastError = 0;
  bool ReuseAddr = false;
  TWSocketOptions ComponentOptions;
  int ListenBacklog = 5;
  // Optional diagnostics sink.
  std::function<void(const std::string&)> NetLogger;

  // Read-only values.
  TSocketState State() const { return state_; }
  platform::SOCKET SocketHandle() const { return socket_; }
  const std::string& LookupAddress() const { return lookupAddress_; }
  const TStringList& LookupAddressList() const { return lookupList_; }
  int64_t BytesReceived() const { return bytesReceived_; }
  int64_t BytesSent() const { return bytesSent_; }
  int QueuedByteCount() const { return queuedByteCount_; }
  bool SendQueueEmpty() const { return sendQueueEmpty_; }
  int SendBlockSize() const;
  void SetSendBlockSize(int value);
  int SendBufferSize() const { return sendBufferSize_; }
  virtual void SetSendBufferSize(int value);
  int ReceiveBufferSize() const { return receiveBufferSize_; }
  virtual void SetReceiveBufferSize(int value);
  TWSocketCounter* ActivityCounter() const { return counter_.get(); }

  TDataAvailable OnDataAvailable;
  TDataSent OnDataSent;
  TSendData OnSendData;
  TSessionClosed OnSessionClosed;
  TSessionAvailable OnSessionAvailable;
  TSessionConnected OnSessionConnected;
  TChangeState OnChangeState;
  TDnsLookupDone OnDnsLookupDone;
  TNotifyEvent OnError;

  // Connection.
  virtual void Connect();
  virtual void Close();
  // Close from the message loop.
  virtual void CloseLater();
  // Close at once without shutdown, dropping queued data.
  virtual void Abort();
  // Sends until the queue is empty, pumping messages meanwhile.
  virtual void Flush();
  virtual void WaitForClose();
  virtual void Shutdown(int how);
  // Stop and restart the delivery of network events.
  virtual void Pause();
  virtual void Resume();
  virtual void Listen();
  virtual platform::SOCKET Accept();
  // Adopts an accepted socket as this component's connection.
  virtual void Dup(platform::SOCKET handle);

  // Receiving: -1 on error (LastError tells; 10035 means nothing more for now).
  virtual int Receive(void* buffer, int size);
  std::string ReceiveText();
  void ReceiveText(std::string& text) { text = ReceiveText(); }
  virtual int ReceiveFrom(void* buffer, int size, platform::SOCKADDR_IN& from, int& fromLen);
  // Bytes readable now, -1 when that cannot be told.
  virtual int PendingCount();

  // Sending: returns the length accepted, -1 when not connected.
  virtual int Send(const void* data, int length);
  int SendText(const std::string& text) { return Send(text.data(), static_cast<int>(text.size())); }
  int SendChar(char c) { return Send(&c, 1); }
  virtual int SendTo(const platform::SOCKADDR_IN& dest, int destLen, const void* data, int length);
  // Queue only; a later Send or write event sends.
  virtual void QueueData(const void* data, int length);
  void QueueText(const std::string& text) { QueueData(text.data(), static_cast<int>(text.size())); }

  // Lookups: the result comes through OnDnsLookupDone.
  virtual void DnsLookup(const std::string& host);
  virtual void ReverseLookup(const std::string& address);
  virtual void ReverseLookupBlocking(const std::string& address);
  virtual void CancelLookup();

  // "error" unless connected (bound or listening for the Bound ones).
  virtual std::string PeerAddr();
  virtual std::string PeerPort();
  virtual int PeerName(platform::SOCKADDR_IN& name, int& nameLen);
  virtual std::string BoundAddr();
  virtual std::string BoundPort();
  virtual int SockName(platform::SOCKADDR_IN& name, int& nameLen);

  virtual void CreateActivityCounter();

 protected:
  void WindowProc(TMessage& msg) override;
  void AbortOnError() override;
  // False, with the error reported, unless the socket is closed.
  bool ChangeAllowed(const char* property);
  void SetTarget(const char* property, const std::string& value, std::string& field, bool& assigned,
                 bool& resolved);
  int MessageIdsNeeded() override;
  void ClaimMessageIds() override;
  void ReturnMessageIds() override;
  void AttachThread() override;
  void DetachThread() override;

  virtual bool LogWanted() const { return static_cast<bool>(NetLogger); }
  virtual void LogLine(const std::string& text);
  virtual void TryToSend();
  virtual void ResetToDefaults();
  virtual void CloseInternal(bool shutdownFirst, uint16_t error);
  virtual void AbortInternal(uint16_t error);
  virtual void Bind();
  // Hands bytes to the system; fires nothing.
  virtual int SendChunk(const char* data, int count);
  virtual void ReportError(const std::string& message);
  void ReportWinsockError(const std::string& callName);
  virtual bool TriggerDataAvailable(uint16_t error);
  virtual void TriggerSessionAvailable(uint16_t error);
  virtual void ConnectionEstablished(uint16_t error);
  virtual void TriggerSessionConnected(uint16_t error);
  virtual void TriggerSessionClosed(uint16_t error);
  virtual void TriggerDataSent(uint16_t error);
  virtual void TriggerSendData(int bytes);
  virtual void TriggerChangeState(TSocketState oldState, TSocketState newState);
  virtual void TriggerDnsLookupDone(uint16_t error);
  virtual void TriggerError();
  virtual int RawReceive(void* buffer, int size);
  virtual int RawReceiveFrom(void* buffer, int size, platform::SOCKADDR_IN& from, int& fromLen);
  virtual void HandleConnectEvent(uint16_t error);
  virtual void HandleReadEvent(uint16_t error);
  virtual void HandleWriteEvent(uint16_t error);
  virtual void HandleAcceptEvent(uint16_t error);
  virtual void HandleCloseEvent(uint16_t error);
  virtual void AdoptConnected();

  void ChangeState(TSocketState newState);
  bool ApplyLinger();
  bool ApplyKeepAlive();
  // Runs OnDataAvailable while data is readable.
  void ReceiveLoop(uint16_t error, TWSocketOptions options, bool draining);
  void HandleSelectMessage(const TMessage& msg);
  void HandleLookupReply(const TMessage& msg, bool reverse);
  void ForgetLookup();
  void TakeEarlyReply(bool reverse);

  // Private message ids, claimed in this order after the release id.
  platform::UINT msgAsyncSelect_ = 0;
  platform::UINT msgLookupReply_ = 0;
  platform::UINT msgReverseReply_ = 0;
  platform::UINT msgCloseLater_ = 0;
  platform::UINT msgTestException_ = 0;
  platform::UINT msgLineDelivery_ = 0;

  platform::SOCKET socket_ = platform::INVALID_SOCKET;
  TSocketState state_ = wsClosed;
  int sockType_ = platform::SOCK_STREAM;
  int protoNum_ = 6;
  platform::SOCKADDR_IN remote_{};
  std::string addr_, port_, protoStr_ = "tcp", localAddr_ = "0.0.0.0", localPort_ = "0";
  bool addrAssigned_ = false, addrResolved_ = false;
  bool portAssigned_ = false, portResolved_ = false;
  bool protoAssigned_ = true, protoResolved_ = false;
  bool localPortResolved_ = false;
  int localPortNum_ = 0;
  int addressFamily_ = platform::AF_INET;
  bool paused_ = false;
  bool closeReported_ = false;
  long selectMask_ = 0;
  TNetBufferHandler* bufHandler_ = nullptr;
  int queuedByteCount_ = 0;
  bool sendQueueEmpty_ = true;
  int64_t bytesReceived_ = 0;
  int64_t bytesSent_ = 0;
  int sendFlagWord_ = 0;
  int sendBufferSize_ = 0;
  int receiveBufferSize_ = 0;

 private:
  std::string lookupAddress_;
  TStringList lookupList_;
  platform::ASYNC_HANDLE lookupHandle_ = 0;
  alignas(alignof(void*)) char lookupReply_[1025] = {};
  bool earlyReply_ = false;
  TMessage savedReply_;
  std::unique_ptr<TWSocketCounter> counter_;
};
