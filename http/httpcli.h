// THttpCli: an event-driven HTTP/1.0 and HTTP/1.1 client component. It owns one
// TWSocket and runs a request as a chain of socket events and messages to its own
// hidden window, all on the thread that created it. GetASync returns at once and
// reports the end through OnRequestDone; Get runs the request to its end while the
// thread's messages keep flowing.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/classes.h"
#include "http/httpauth.h"
#include "http/httpcontcod.h"
#include "http/httpresponseparser.h"
#include "http/ntlm.h"
#include "net/netwndcontrol.h"
#include "net/nettimer.h"
#include "net/wsocket.h"

enum class THttpRequest { httpABORT, httpGET, httpPOST, httpPUT, httpHEAD, httpCLOSE };
using enum THttpRequest;

enum class THttpCliState {
  httpReady,
  httpNotConnected,
  httpConnected,
  httpDnsLookup,
  httpDnsLookupDone,
  httpWaitingHeader,
  httpWaitingBody,
  httpBodyReceived,
  httpWaitingProxyConnect,
  httpClosing,
  httpAborting
};
using enum THttpCliState;

enum class THttpAuthType { httpAuthNone, httpAuthBasic, httpAuthNtlm, httpAuthDigest };
using enum THttpAuthType;

enum class THttpCliOption {
  httpoNoBasicAuth,
  httpoNoNTLMAuth,
  httpoBandwidthControl,
  httpoEnableContentCoding,
  httpoUseQuality,
  httpoNoDigestAuth
};
using enum THttpCliOption;

// A set of THttpCliOption.
class THttpCliOptions {
 public:
  THttpCliOptions() = default;
  THttpCliOptions(std::initializer_list<THttpCliOption> options) {
    for (auto o : options) Include(o);
  }
  bool Contains(THttpCliOption o) const { return bits_ & Bit(o); }
  void Include(THttpCliOption o) { bits_ |= Bit(o); }
  void Exclude(THttpCliOption o) { bits_ &= static_cast<uint8_t>(~Bit(o)); }
  bool operator==(const THttpCliOptions&) const = default;

 private:
  static uint8_t Bit(THttpCliOption o) { return static_cast<uint8_t>(1u << static_cast<int>(o)); }
  uint8_t bits_ = 0;
};

// Error codes of EHttpException raised by the component itself; Get raises it with the
// HTTP status as its code.
constexpr uint16_t httperrBusy = 1;
constexpr uint16_t httperrNoData = 2;
constexpr uint16_t httperrVersion = 5;
constexpr uint16_t httperrAuthState = 6;

// DoneError values besides socket error codes.
constexpr uint16_t httperrAborted = 3;
constexpr uint16_t httperrTimeout = 8;

class EHttpException : public Exception {
 public:
  EHttpException(std::string message, uint16_t errorCode)
      : Exception(std::move(message)), ErrorCode(errorCode) {}
  const char* ClassName() const override { return "EHttpException"; }
  uint16_t ErrorCode;
};

using TDocDataEvent = std::function<void(TObject* Sender, const void* Buffer, int Len)>;
using TOnCommand = std::function<void(TObject* Sender, std::string& S)>;
using TBeforeHeaderSendEvent =
    std::function<void(TObject* Sender, const std::string& Method, TStrings* Headers)>;
using TCookieRcvdEvent =
    std::function<void(TObject* Sender, const std::string& Data, bool& Accept)>;
using TLocationChangeExceeded =
    std::function<void(TObject* Sender, int RelocationCount, bool& AllowMoreRelocations)>;
using THttpRequestDone =
    std::function<void(TObject* Sender, THttpRequest RqType, uint16_t ErrCode)>;
using THttpBeforeAuthEvent = std::function<void(TObject* Sender, THttpAuthType AuthType,
                                                bool ProxyAuth, const std::string& AuthHdr,
                                                bool& Allow)>;

class THttpCli : public TNetWndControl {
 public:
  explicit THttpCli(TComponent* owner);
  ~THttpCli() override;
  const char* ClassName() const override { return "THttpCli"; }

  // ---- published settings
  std::string URL;
  std::string LocalAddr = "0.0.0.0";
  std::string Proxy;
  std::string ProxyPort = "80";
  std::string Sender;
  std::string Agent = "Mozilla/4.0 (compatible; NetCli)";
  std::string Accept = "image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*";
  std::string AcceptLanguage;
  std::string Reference;
  std::string Connection;
  std::string ProxyConnection;
  std::string Username;
  std::string Password;
  std::string ProxyUsername;
  std::string ProxyPassword;
  bool NoCache = false;
  TDateTime ModifiedSince = 0;
  std::string Cookie;
  std::string ContentTypePost = "application/x-www-form-urlencoded";
  // The range to ask for; emptied when the request is sent, filled from the response.
  std::string ContentRangeBegin;
  std::string ContentRangeEnd;
  const std::string& AcceptRanges() const { return acceptRanges_; }
  bool MultiThreaded() const { return multiThreaded_; }
  virtual void SetMultiThreaded(bool value);
  const std::string& RequestVer() const { return requestVer_; }
  // Only "1.0" and "1.1": EHttpException "Insupported HTTP version" (code 5) otherwise.
  void SetRequestVer(const std::string& value);
  bool FollowRelocation = true;
  // Server credentials belong to the origin (scheme, host, port) they were given for: a
  // relocation to another origin goes without them unless this is set.
  bool LocationTrusted = false;
  int32_t LocationChangeMaxCount = 5;
  int32_t LocationChangeCurCount() const { return locationChangeCurCount_; }
  THttpAuthType ServerAuth = httpAuthNone;
  THttpAuthType ProxyAuth = httpAuthNone;
  int32_t BandwidthLimit = 10000;     // bytes per second when throttling
  int32_t BandwidthSampling = 1000;   // throttling period in milliseconds
  THttpCliOptions Options();
  void SetOptions(THttpCliOptions value);
  uint32_t Timeout = 30;  // seconds of inactivity allowed to Get
  // Copied to the socket before each connect.
  std::string SocksServer;
  std::string SocksLevel = "5";
  std::string SocksPort;
  std::string SocksUsercode;
  std::string SocksPassword;
  TSocksAuthentication SocksAuthentication = socksNoAuthentication;
  // https: a PEM file of CAs trusted beside the system's, and verification (the chain,
  // the host name, the dates). Turning it off is for tests against throw-away certificates.
  std::string TlsCaFile;
  bool TlsVerify = true;

  // ---- public values
  int32_t StatusCode = 0;
  std::string StatusText;
  int64_t ContentLength = -1;
  std::string DocName;
  TStream* ReceiveStream = nullptr;  // not owned
  TStream* UploadStream = nullptr;   // not owned
  int64_t ReceivedCount = 0;
  int64_t UploadedCount = 0;
  THttpRequest RequestType = httpABORT;
  uint16_t DoneError = 0;
  THttpCliState State() const { return state_; }
  std::string NewLocation;
  const TStringList& ResponseHeaders() const { return responseHeaders_; }
  const TStringList& AuthChallenges() const { return authChallenges_; }
  THttpContCodHandler& ContentCodings() { return *contentCodings_; }
  // The optional trace sink of the socket (none in the programs).
  const std::function<void(const std::string&)>& NetLogger() const { return socket_->NetLogger; }
  void SetNetLogger(std::function<void(const std::string&)> logger) {
    socket_->NetLogger = std::move(logger);
  }
  TWSocket* CtrlSocket() const { return socket_; }
  const std::string& ServerVersion() const { return serverVersion_; }

  // ---- events
  TNotifyEvent OnStateChange;
  TNotifyEvent OnSessionConnected;
  TNotifyEvent OnSessionClosed;
  TNotifyEvent OnRequestHeaderBegin;
  TNotifyEvent OnRequestHeaderEnd;
  TBeforeHeaderSendEvent OnBeforeHeaderSend;
  TOnCommand OnCommand;
  TNotifyEvent OnHeaderBegin;
  TNotifyEvent OnHeaderData;
  TNotifyEvent OnHeaderEnd;
  TNotifyEvent OnDocBegin;
  TDocDataEvent OnDocData;
  TNotifyEvent OnDocEnd;
  TNotifyEvent OnSendBegin;
  TDocDataEvent OnSendData;
  TNotifyEvent OnSendEnd;
  TCookieRcvdEvent OnCookie;
  TNotifyEvent OnLocationChange;
  TLocationChangeExceeded OnLocationChangeExceeded;
  THttpRequestDone OnRequestDone;
  THttpBeforeAuthEvent OnBeforeAuth;
  TDataAvailable OnDataPush;
  TNotifyEvent OnDataPush2;
  TNotifyEvent OnSocketError;
  TSessionConnected OnSocksConnected;
  TSocksErrorEvent OnSocksError;
  TSocksAuthStateEvent OnSocksAuthState;  // never fired
  TNotifyEvent OnTrace;                   // never fired

  // ---- operations
  void GetASync();
  // Runs the request to its end; EHttpException for a status of 400 or more (except
  // 401 and 407), a time-out, an abort and the client's own failures.
  void Get();
  void Abort();
  // The one entry for every request kind.
  virtual void StartRequest(THttpRequest kind);
  // Moving to another thread takes the socket along; the throttling timer keeps its
  // state across the move.
  void DetachThread() override;
  void AttachThread() override;

 protected:
  // Message ids on the hidden window: the base's plus the three of the client.
  int MessageIdsNeeded() override;
  void ClaimMessageIds() override;
  void ReturnMessageIds() override;
  void WindowProc(TMessage& msg) override;

  virtual void CreateSocket();
  virtual void PrepareSocket();
  virtual void SendRequest(const std::string& method, const std::string& version);
  virtual void ReadHeaderLine();
  virtual void GetBodyLineNext();
  virtual void SendHeaderLine(const std::string& line);
  virtual void Login();
  virtual void DropSession();
  virtual void ResetResponse();
  virtual void StartRelocation();
  virtual void SocketDnsLookupDone(TObject* sender, uint16_t error);
  virtual void SocketSessionClosed(TObject* sender, uint16_t error);
  virtual void SocketSessionConnected(TObject* sender, uint16_t error);
  virtual void SocketDataSent(TObject* sender, uint16_t error);
  virtual void SocketDataAvailable(TObject* sender, uint16_t error);
  virtual void RelocationClosed(TObject* sender, uint16_t error);
  virtual void RunRequest(THttpRequest kind);
  virtual void SetState(THttpCliState newState);
  virtual void NotifyStateChange();
  virtual void NotifyCookie(const std::string& data, bool& accept);
  virtual void NotifySessionConnected();
  virtual void NotifySessionClosed();
  virtual void NotifyBeforeHeaderSend(const std::string& method, TStrings* headers);
  virtual void NotifyRequestHeaderBegin();
  virtual void NotifyRequestHeaderEnd();
  virtual void NotifyHeaderBegin();
  virtual void NotifyHeaderEnd();
  virtual void NotifyDocBegin();
  virtual void NotifyDocData(const void* buffer, int len);
  virtual void NotifyDocEnd();
  virtual void NotifySendBegin();
  virtual void NotifySendData(const void* buffer, int len);
  virtual void NotifySendEnd();
  virtual void PostRequestDone();
  virtual void PostBecomeReady();
  virtual void MakeDocName();

  // Authentication (httpcliauth.cpp). Before a request is sent the six states are 0 and
  // ArmAuthentication arms the credentials to offer before any challenge;
  // AuthorizationLine gives the server (proxy = false) or proxy line for the header
  // list, empty for none; AnswerChallenge runs when a request ends and returns true
  // when it has taken over the end: another round under the same request, or the
  // completion posted after giving up.
  virtual void ArmAuthentication();
  virtual std::string AuthorizationLine(bool proxy);
  virtual bool AnswerChallenge();
  // Sends the request once more under the same call (the answer to a challenge): the
  // streams are rewound as for a relocation, the response is reset with DocName kept,
  // and the connection steps start again from the loop. No OnRequestDone in between.
  void RetryRequest();
  // RetryRequest without posting the reconnect (for a caller that has posted it).
  void PrepareRetry();
  TStringList& AuthChallengeList() { return authChallenges_; }
  // The start steps of the schemes, run for an allowed challenge.
  virtual void StartNtlmAuth();
  virtual void StartProxyNtlmAuth();
  virtual void StartDigestAuth();
  virtual void StartProxyDigestAuth();
  virtual void StartBasicAuth();
  virtual void StartProxyBasicAuth();

  // Ends the running request because of the server's answer or the connection's end:
  // the status goes to 404 with text, DoneError to error, and the connection is
  // dropped.
  void FailRequest(const std::string& text, uint16_t error);

  // ---- internal state
  std::string ConnectHost, ConnectPort;
  std::string OriginHost, OriginPort;
  std::string UrlProtocol;
  std::string RequestPath;
  std::string ActiveUsername, ActivePassword;
  std::string ActiveConnection, ActiveProxyConnection;
  std::string OpenHost, OpenPort, OpenProtocol;
  // "host:port" of the proxy tunnel the open connection was made for, "" for none.
  std::string OpenTunnel;
  std::string HostAddress;
  bool LinkOpen = false;
  bool FCloseReq = false;
  uint8_t AuthNTLMState = 0, ProxyAuthNTLMState = 0;
  uint8_t AuthDigestState = 0, ProxyAuthDigestState = 0;
  uint8_t AuthBasicState = 0, ProxyAuthBasicState = 0;
  // The last challenges, for the server and for the proxy.
  TAuthDigestInfo AuthDigestInfo, ProxyAuthDigestInfo;
  TNtlmChallenge AuthNtlmInfo, ProxyAuthNtlmInfo;
  bool Relocating = false;
  bool InHeader = false;
  std::string ReceiveLine;
  int32_t HeaderLineNo = 0;
  int32_t BodyStepNo = 0;
  std::string ResponseContentType;
  std::string ResponseTransferCoding;
  std::string ResponseContentEncoding;

 private:
  void SocketError(TObject* sender);
  void BandwidthTimerTick(TObject* sender);
  void StartUpload();
  // What follows the end of a response: the relocation, the close that ends the
  // request, or the request's end.
  void DocumentDone();
  // The request of that serial is still running and has not failed.
  bool Alive(uint32_t serial) const;
  void Finish();
  void ReadAndProcess(uint16_t error);
  void ProcessReceived(uint16_t error);
  // Feeds the received bytes to the response parser and acts on what it finds.
  void FeedParser();
  void InterimDone();
  // The final header has ended; false when nothing more is to be read of this response.
  bool HeaderDone();
  void ApplyPendingLocations();
  // Runs the body reader over bodyData_; false when the request failed meanwhile.
  bool RunBodyReader();
  void ProcessHeaderField(const std::string& name, const std::string& value);
  void SetNewLocation(const std::string& location);
  void EndDocument();
  void CountRelocation(bool& stop);
  void RewindStreams();
  void EndIdleWait(bool terminated);
  void CompactReceived();
  void Consume(int64_t count);
  void ClearReceived() { receiveStart_ = receiveLength_ = 0; }
  void PostMessageToSelf(uint32_t msg);
  static std::string RFC1123Date(TDateTime value);
  // Authentication helpers (httpcliauth.cpp).
  void AdvanceAuthStates();
  bool FindChallenge(THttpAuthType type, bool proxy);
  void AuthAgain();
  void AuthGiveUp(uint8_t& state);
  void SetKeepAlive(std::string& connection);
  // The target has changed: the server credentials stay only where they belong.
  void ApplyCredentialOrigin();
  bool DecodeNtlmChallenge(TNtlmChallenge& info);
  std::string RequestMethod() const;
  // https through an HTTP proxy goes in a CONNECT tunnel: its "host:port", "" otherwise.
  std::string TunnelTarget() const;
  // The open connection can carry the next request as it is.
  bool ConnectionReusable() const;
  void SendConnect();
  // Reads the proxy's answer to CONNECT; none of it is the document.
  void FeedTunnelAnswer();
  void ReadTunnelLine();
  void StartTunnelTls();
  // The proxy refused the tunnel: the request ends with its status.
  void TunnelRefused();

  TWSocket* socket_ = nullptr;
  std::unique_ptr<THttpContCodHandler> contentCodings_;
  THttpCliOptions options_;
  std::string requestVer_ = "1.0";
  std::string acceptRanges_;
  bool multiThreaded_ = false;
  int32_t locationChangeCurCount_ = 0;
  THttpCliState state_ = httpReady;
  std::string serverVersion_;
  TMemoryStream requestBuffer_;
  TStringList responseHeaders_;
  TStringList authChallenges_;
  // Tags the client's own messages, so one left over from an earlier request is
  // recognised and dropped.
  uint32_t requestSerial_ = 0;

  // Received bytes not yet handled: receiveBuffer_[receiveStart_, receiveLength_).
  std::vector<char> receiveBuffer_;
  int64_t receiveStart_ = 0;
  int64_t receiveLength_ = 0;
  bool inDataHandler_ = false;
  bool dataPending_ = false;
  THttpResponseParser parser_;
  // Location values of the header being read, followed once it is complete.
  std::vector<std::string> pendingLocations_;
  const char* bodyData_ = nullptr;
  int64_t bodyLength_ = 0;
  bool headerDone_ = false;
  int64_t receiveStartSize_ = 0;
  bool closeRequested_ = false;
  bool failed_ = false;
  bool relocationCounted_ = false;
  bool reusedConnection_ = false;
  bool retriedOnClose_ = false;
  // A reconnect is posted and not yet run: a close meanwhile ends the old connection only.
  bool reconnectPending_ = false;
  std::string sentRangeBegin_, sentRangeEnd_;
  std::string proxyConnectPort_;
  // The response being read answers CONNECT; a 407 in it is the proxy's.
  bool tunnelAnswer_ = false;
  // The CONNECT request is being built (the proxy's Digest answer names it).
  bool connectRound_ = false;
  // The server credentials of this request and the origin they were given for.
  std::string credentialUser_, credentialPassword_, credentialOrigin_;

  std::vector<char> uploadBuffer_;
  bool uploading_ = false;
  bool finishAfterUpload_ = false;

  TNetTimer* bandwidthTimer_ = nullptr;
  int64_t bandwidthCount_ = 0;
  int64_t bandwidthMax_ = 0;
  bool bandwidthPaused_ = false;
  bool timerEnabledBeforeMove_ = false;

  uint32_t msgRequestDone_ = 0;
  uint32_t msgBecomeReady_ = 0;
  uint32_t msgReconnect_ = 0;
};
