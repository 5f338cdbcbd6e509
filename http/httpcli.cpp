#include "http/httpcli.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "http/contentrange.h"
#include "http/urlparse.h"
#include "platform/messages.h"

namespace {

// Reads are at least this large; the buffer keeps a zero byte after the data.
constexpr int64_t kReadSize = 64 * 1024;

// DoneError for a response the client gave up on (it aborts the connection) and for a
// connection the server ended before the response was complete.
constexpr uint16_t kErrConnAborted = 10053;
constexpr uint16_t kErrConnReset = 10054;

std::string DefaultPort(const std::string& protocol) {
  return SameText(protocol, "https") ? "443" : "80";
}

// "scheme://host:port", the parts compared as an origin.
std::string OriginText(const std::string& protocol, const std::string& host,
                       const std::string& port) {
  return LowerCase(protocol.empty() ? std::string("http") : protocol) + "://" + LowerCase(host) +
         ":" + (port.empty() ? DefaultPort(protocol) : port);
}

std::string DocNameFromPath(std::string path) {
  size_t q = path.find('?');
  if (q != std::string::npos) path.erase(q);
  if (path.empty() || path.back() == '/') return "document.htm";
  size_t slash = path.rfind('/');
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (name.size() > 255) name.resize(255);
  q = name.find('?');
  if (q != std::string::npos) name.erase(q);
  return name;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Construction

THttpCli::THttpCli(TComponent* owner) : TNetWndControl(owner) {
  contentCodings_ = std::make_unique<THttpContCodHandler>(
      &ReceiveStream, [this](const void* buffer, int len) { NotifyDocData(buffer, len); });
  if (contentCodings_->CodingEnabled()) options_.Include(httpoEnableContentCoding);
  if (contentCodings_->QualityWanted()) options_.Include(httpoUseQuality);
  AttachWindow();
  CreateSocket();
}

THttpCli::~THttpCli() {
  if (socket_) {
    socket_->OnSessionClosed = nullptr;
    socket_->OnDataAvailable = nullptr;
    socket_->OnSessionConnected = nullptr;
    socket_->OnDataSent = nullptr;
    socket_->OnDnsLookupDone = nullptr;
    socket_->OnError = nullptr;
    socket_->OnSocksError = nullptr;
    socket_->OnSocksConnected = nullptr;
    socket_->OnSocksAuthState = nullptr;
    delete socket_;
    socket_ = nullptr;
  }
  delete bandwidthTimer_;
  bandwidthTimer_ = nullptr;
  // The base's destructor no longer sees this class's override of ReturnMessageIds:
  // give the sink up here so no late message reaches a destroyed client.
  DetachForGood(true);
}

void THttpCli::CreateSocket() {
  socket_ = new TWSocket(nullptr);
  socket_->EventOwner = this;
  socket_->OnSessionClosed = [this](TObject* s, uint16_t e) { SocketSessionClosed(s, e); };
  socket_->OnDataAvailable = [this](TObject* s, uint16_t e) { SocketDataAvailable(s, e); };
  socket_->OnSessionConnected = [this](TObject* s, uint16_t e) { SocketSessionConnected(s, e); };
  socket_->OnDataSent = [this](TObject* s, uint16_t e) { SocketDataSent(s, e); };
  socket_->OnDnsLookupDone = [this](TObject* s, uint16_t e) { SocketDnsLookupDone(s, e); };
  socket_->OnError = [this](TObject* s) { SocketError(s); };
  socket_->OnSocksError = [this](TObject*, int error, const std::string& msg) {
    if (OnSocksError) OnSocksError(this, error, msg);
  };
  socket_->OnSocksConnected = [this](TObject*, uint16_t error) {
    if (OnSocksConnected) OnSocksConnected(this, error);
  };
}

int THttpCli::MessageIdsNeeded() { return TNetWndControl::MessageIdsNeeded() + 3; }

void THttpCli::ClaimMessageIds() {
  TNetWndControl::ClaimMessageIds();
  msgRequestDone_ = Handler()->ClaimId(this);
  msgBecomeReady_ = Handler()->ClaimId(this);
  msgReconnect_ = Handler()->ClaimId(this);
}

void THttpCli::ReturnMessageIds() {
  if (Handler()) {
    Handler()->ReleaseId(msgRequestDone_);
    Handler()->ReleaseId(msgBecomeReady_);
    Handler()->ReleaseId(msgReconnect_);
  }
  TNetWndControl::ReturnMessageIds();
}

void THttpCli::WindowProc(TMessage& msg) {
  try {
    if (msg.Msg == msgRequestDone_ && msgRequestDone_ != 0) {
      if (OnRequestDone)
        OnRequestDone(this, static_cast<THttpRequest>(msg.WParam),
                      static_cast<uint16_t>(msg.LParam));
    } else if (msg.Msg == msgBecomeReady_ && msgBecomeReady_ != 0) {
      // A message left over from an earlier request must not end this one.
      if (static_cast<uint32_t>(msg.WParam) == requestSerial_) SetState(httpReady);
    } else if (msg.Msg == msgReconnect_ && msgReconnect_ != 0) {
      if (static_cast<uint32_t>(msg.WParam) == requestSerial_) {
        reconnectPending_ = false;
        Login();
      }
    } else {
      TNetWndControl::WindowProc(msg);
    }
  } catch (const std::exception& e) {
    HandleFailure(e);
  }
}

void THttpCli::DetachThread() {
  timerEnabledBeforeMove_ = bandwidthTimer_ && bandwidthTimer_->Enabled();
  if (bandwidthTimer_) bandwidthTimer_->SetEnabled(false);
  static_cast<TNetWndControl*>(socket_)->DetachThread();
  TNetWndControl::DetachThread();
}

void THttpCli::AttachThread() {
  TNetWndControl::AttachThread();
  static_cast<TNetWndControl*>(socket_)->AttachThread();
  if (bandwidthTimer_ && timerEnabledBeforeMove_) bandwidthTimer_->SetEnabled(true);
}

// ---------------------------------------------------------------------------------------
// Settings

void THttpCli::SetMultiThreaded(bool value) {
  multiThreaded_ = value;
  socket_->MultiThreaded = value;
}

void THttpCli::SetRequestVer(const std::string& value) {
  if (value == requestVer_) return;
  if (value != "1.0" && value != "1.1")
    throw EHttpException("Insupported HTTP version", httperrVersion);
  requestVer_ = value;
}

THttpCliOptions THttpCli::Options() {
  if (contentCodings_->CodingEnabled())
    options_.Include(httpoEnableContentCoding);
  else
    options_.Exclude(httpoEnableContentCoding);
  if (contentCodings_->QualityWanted())
    options_.Include(httpoUseQuality);
  else
    options_.Exclude(httpoUseQuality);
  return options_;
}

void THttpCli::SetOptions(THttpCliOptions value) {
  options_ = value;
  contentCodings_->SetCodingEnabled(value.Contains(httpoEnableContentCoding));
  contentCodings_->SetQualityWanted(value.Contains(httpoUseQuality));
}

// ---------------------------------------------------------------------------------------
// Starting a request

void THttpCli::GetASync() {
  locationChangeCurCount_ = 0;
  StartRequest(httpGET);
}

void THttpCli::Get() {
  locationChangeCurCount_ = 0;
  RunRequest(httpGET);
}

void THttpCli::StartRequest(THttpRequest kind) {
  if (kind != httpCLOSE && state_ != httpReady)
    throw EHttpException("HTTP component " + Name + " is busy", httperrBusy);
  if ((kind == httpPOST || kind == httpPUT) && !UploadStream)
    throw EHttpException("HTTP component has nothing to post or put", httperrNoData);

  ++requestSerial_;
  reconnectPending_ = false;
  if (kind == httpCLOSE) {
    StatusCode = 200;
    StatusText = "OK";
    SetState(httpClosing);
    if (socket_->State() == wsClosed)
      PostBecomeReady();
    else
      socket_->CloseLater();
    return;
  }

  RequestType = kind;
  ResetResponse();
  ClearReceived();
  retriedOnClose_ = false;
  tunnelAnswer_ = false;
  ActiveUsername = Username;
  ActivePassword = Password;
  ActiveConnection = Connection;
  ActiveProxyConnection = ProxyConnection;

  std::string path = RequestPath, proto, user, pass, host, port;
  SplitUrl(URL, path, proto, user, pass, host, port);
  if (!user.empty()) ActiveUsername = user;
  if (!pass.empty()) ActivePassword = pass;
  UrlProtocol = proto;
  OriginHost = host;
  OriginPort = port.empty() ? DefaultPort(proto) : port;
  if (Proxy.empty()) {
    RequestPath = path;
    ConnectHost = host;
    ConnectPort = OriginPort;
  } else {
    RequestPath = (proto.empty() ? std::string("http") : proto) + "://" + host +
                  (port.empty() ? std::string() : ":" + port) + path;
    std::string ppath, pproto, puser, ppass, phost, pport;
    SplitUrl(Proxy, ppath, pproto, puser, ppass, phost, pport);
    ConnectHost = phost;
    ConnectPort = pport.empty() ? ProxyPort : pport;
  }
  proxyConnectPort_ = ConnectPort;
  credentialUser_ = ActiveUsername;
  credentialPassword_ = ActivePassword;
  credentialOrigin_ = OriginText(UrlProtocol, OriginHost, OriginPort);
  if (UrlProtocol.empty()) UrlProtocol = "http";
  if (RequestPath.empty()) RequestPath = "/";
  MakeDocName();

  AuthNTLMState = ProxyAuthNTLMState = 0;
  AuthDigestState = ProxyAuthDigestState = 0;
  AuthBasicState = ProxyAuthBasicState = 0;
  ArmAuthentication();

  reusedConnection_ = false;
  if (socket_->State() == wsConnected) {
    if (ConnectionReusable()) {
      reusedConnection_ = true;
      SocketSessionConnected(socket_, 0);
      return;
    }
    socket_->Close();
  } else if (socket_->State() != wsClosed) {
    socket_->Abort();
  }
  SetState(httpNotConnected);
  Login();
}

std::string THttpCli::TunnelTarget() const {
  if (Proxy.empty() || !SameText(UrlProtocol, "https")) return std::string();
  const bool v6 = OriginHost.find(':') != std::string::npos && OriginHost[0] != '[';
  return (v6 ? "[" + OriginHost + "]" : OriginHost) + ":" + OriginPort;
}

bool THttpCli::ConnectionReusable() const {
  // A tunnel leads to one target only.
  return socket_->State() == wsConnected && !closeRequested_ && ConnectHost == OpenHost &&
         ConnectPort == OpenPort && UrlProtocol == OpenProtocol && TunnelTarget() == OpenTunnel;
}

void THttpCli::ResetResponse() {
  responseHeaders_.Clear();
  authChallenges_.Clear();
  DoneError = 0;
  DocName.clear();
  StatusCode = 0;
  StatusText.clear();
  ReceivedCount = 0;
  UploadedCount = 0;
  HeaderLineNo = 0;
  BodyStepNo = 0;
  ResponseContentType.clear();
  ResponseTransferCoding.clear();
  ResponseContentEncoding.clear();
  uploading_ = false;
  finishAfterUpload_ = false;
  ContentLength = -1;
  NewLocation = URL;
  FCloseReq = requestVer_ == "1.0";
  failed_ = false;
  headerDone_ = false;
  pendingLocations_.clear();
  parser_.Reset(RequestType == httpHEAD);
  receiveStartSize_ = ReceiveStream ? ReceiveStream->Size() : 0;
}

void THttpCli::MakeDocName() { DocName = DocNameFromPath(RequestPath); }

void THttpCli::Login() {
  socket_->OnSessionClosed = [this](TObject* s, uint16_t e) { SocketSessionClosed(s, e); };
  if (socket_->State() == wsConnected) {
    // The server may have closed a kept-alive connection just now: the request goes once
    // more on a new one then.
    reusedConnection_ = true;
    SocketSessionConnected(socket_, 0);
    return;
  }
  HostAddress.clear();
  SetState(httpDnsLookup);
  socket_->SetLocalAddr(LocalAddr);
  try {
    socket_->DnsLookup(ConnectHost);
  } catch (const Exception& e) {
    StatusCode = 404;
    StatusText = e.Message();
    LinkOpen = false;
    SetState(httpReady);
  }
}

void THttpCli::SocketDnsLookupDone(TObject*, uint16_t error) {
  if (error != 0) {
    if (state_ != httpAborting) {
      DoneError = error;
      StatusCode = 404;
      StatusText = "can't resolve hostname to IP address";
      SocketSessionClosed(socket_, error);
    }
    return;
  }
  HostAddress = socket_->LookupAddress();
  SetState(httpDnsLookupDone);
  PrepareSocket();
  OpenHost = ConnectHost;
  OpenPort = ConnectPort;
  OpenProtocol = UrlProtocol;
  OpenTunnel = TunnelTarget();

  if (UrlProtocol != "http" && UrlProtocol != "https") {
    DoneError = static_cast<uint16_t>(socket_->LastError);
    StatusCode = 501;
    StatusText = "Protocol \"" + UrlProtocol + "\" not implemented";
    socket_->Abort();
    SocketSessionClosed(socket_, static_cast<uint16_t>(socket_->LastError));
    return;
  }

  bool failed = false;
  try {
    socket_->Connect();
    // With OnError assigned the socket reports a failed start instead of raising.
    failed = socket_->State() != wsConnecting && socket_->State() != wsConnected;
  } catch (const Exception&) {
    failed = true;
  }
  if (failed) {
    int code = socket_->LastError;
    DoneError = static_cast<uint16_t>(code);
    StatusCode = 404;
    StatusText = "can't connect: " + WinsockErrorText(code) + " (Error #" + std::to_string(code) + ")";
    socket_->Abort();
    SocketSessionClosed(socket_, static_cast<uint16_t>(code));
  }
}

void THttpCli::PrepareSocket() {
  socket_->SetAddr(HostAddress);
  socket_->SetLocalAddr(LocalAddr);
  socket_->SetPort(ConnectPort);
  socket_->SetProto("tcp");
  socket_->SetSocksServer(SocksServer);
  socket_->SetSocksLevel(SocksLevel);
  socket_->SetSocksPort(SocksPort);
  socket_->SocksUsercode = SocksUsercode;
  socket_->SocksPassword = SocksPassword;
  socket_->SocksAuthentication = SocksAuthentication;
  // Through an HTTP proxy TLS starts once the proxy has opened the tunnel.
  socket_->TlsEnable = UrlProtocol == "https" && TunnelTarget().empty();
  socket_->TlsHostName = OriginHost;
  socket_->TlsCaFile = TlsCaFile;
  socket_->TlsVerify = TlsVerify;
}

void THttpCli::SocketError(TObject*) {
  if (OnSocketError) OnSocketError(this);
}

void THttpCli::SocketSessionConnected(TObject*, uint16_t error) {
  if (error != 0) {
    DoneError = error;
    StatusCode = 404;
    // A refused TLS session names its reason (not trusted, expired, another host, ...).
    const std::string reason =
        socket_->TlsErrorText().empty() ? WinsockErrorText(error) : socket_->TlsErrorText();
    StatusText = reason + " (Error #" + std::to_string(error) + ")";
    NotifySessionConnected();
    return;  // the close event ends the request
  }
  if (!TunnelTarget().empty() && !socket_->TlsEstablished()) {
    // Connected to the proxy: the session with the target is told once TLS is up in
    // the tunnel (this runs again then).
    LinkOpen = true;
    try {
      SendConnect();
    } catch (const Exception& e) {
      FailRequest("Request not sent: " + e.Message(), kErrConnAborted);
    }
    return;
  }
  Relocating = false;
  LinkOpen = true;
  SetState(httpConnected);
  NotifySessionConnected();
  if (state_ != httpConnected) return;  // a handler ended the request
  parser_.Reset(RequestType == httpHEAD);
  pendingLocations_.clear();
  SetState(httpWaitingHeader);
  if (state_ != httpWaitingHeader) return;
  try {
    static const char* const kMethods[] = {"", "GET", "POST", "PUT", "HEAD", ""};
    SendRequest(kMethods[static_cast<int>(RequestType)], requestVer_);
    // The proxy's NTLM handshake, if any, was on the CONNECT: the tunnel carries the body.
    const bool proxyNtlmRound = ProxyAuthNTLMState == 1 && TunnelTarget().empty();
    if ((RequestType == httpPOST || RequestType == httpPUT) && AuthNTLMState != 1 &&
        !proxyNtlmRound)
      StartUpload();
  } catch (const Exception& e) {
    FailRequest("Request not sent: " + e.Message(), kErrConnAborted);
  }
}

void THttpCli::DropSession() {
  socket_->Abort();
  LinkOpen = false;
}

std::string THttpCli::RFC1123Date(TDateTime value) {
  static const char kDays[] = "MonTueWedThuFriSatSun";
  static const char kMonths[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
  int year, month, day, hour, min, sec, msec;
  DecodeDate(value, year, month, day);
  DecodeTime(value, hour, min, sec, msec);
  int64_t d = static_cast<int64_t>(std::floor(value));
  int dayIndex = static_cast<int>(((d - 2) % 7 + 7) % 7);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.3s, %2.2d %.3s %4.4d %2.2d:%2.2d:%2.2d", kDays + dayIndex * 3,
                day, kMonths + (month - 1) * 3, year, hour, min, sec);
  return buf;
}

void THttpCli::SendRequest(const std::string& method, const std::string& version) {
  bandwidthCount_ = 0;
  sentRangeBegin_.clear();
  sentRangeEnd_.clear();
  if (options_.Contains(httpoBandwidthControl)) {
    if (!bandwidthTimer_) bandwidthTimer_ = new TNetTimer(this);
    bandwidthTimer_->SetEnabled(false);
    bandwidthTimer_->SetInterval(static_cast<uint32_t>(BandwidthSampling));
    bandwidthTimer_->SetOnTimer([this](TObject* s) { BandwidthTimerTick(s); });
    bandwidthTimer_->SetEnabled(true);
    bandwidthMax_ = static_cast<int64_t>(BandwidthLimit) * BandwidthSampling / 1000;
    bandwidthPaused_ = false;
    socket_->ComponentOptions.Include(wsoNoReceiveLoop);
  }

  requestBuffer_.Clear();
  NotifyRequestHeaderBegin();

  TStringList headers;
  auto add = [&headers](const std::string& prefix, const std::string& value) {
    if (!value.empty()) headers.Add(prefix + value);
  };
  const bool upload = RequestType == httpPOST || RequestType == httpPUT;
  // In a tunnel the request goes to the target itself: the origin-form path, and
  // nothing of the proxy's.
  const bool tunnelled = !TunnelTarget().empty();
  std::string target = RequestPath;
  if (tunnelled) {
    const size_t scheme = target.find("://");
    const size_t slash =
        scheme == std::string::npos ? std::string::npos : target.find('/', scheme + 3);
    target = scheme == std::string::npos ? target
             : slash == std::string::npos ? std::string("/")
                                          : target.substr(slash);
  }
  const bool proxyNtlmRound = ProxyAuthNTLMState == 1 && !tunnelled;
  headers.Add(method + " " + target + " HTTP/" + version);
  add("From: ", Sender);
  add("Accept: ", Accept);
  add("Referer: ", Reference);
  add("Connection: ", ActiveConnection);
  add("Accept-Language: ", AcceptLanguage);
  if (RequestType != httpHEAD) add("Accept-Encoding: ", contentCodings_->AcceptText());
  if (upload) headers.Add("Content-Type: " + ContentTypePost);
  add("User-Agent: ", Agent);
  if (!OriginPort.empty() && OriginPort != DefaultPort(UrlProtocol))
    headers.Add("Host: " + OriginHost + ":" + OriginPort);
  else
    headers.Add("Host: " + OriginHost);
  if (NoCache) headers.Add("Pragma: no-cache");
  if (!tunnelled) add("Proxy-Connection: ", ActiveProxyConnection);
  if (upload) {
    if (AuthNTLMState == 1 || proxyNtlmRound)
      headers.Add("Content-Length: 0");
    else
      headers.Add("Content-Length: " +
                  std::to_string(UploadStream->Size() - UploadStream->Position()));
  }
  if (ModifiedSince != 0) headers.Add("If-Modified-Since: " + RFC1123Date(ModifiedSince) + " GMT");
  if (!proxyNtlmRound) add("", AuthorizationLine(false));
  if (!tunnelled) add("", AuthorizationLine(true));
  add("Cookie: ", Cookie);
  if (!ContentRangeBegin.empty() || !ContentRangeEnd.empty()) {
    headers.Add("Range: bytes=" + ContentRangeBegin + "-" + ContentRangeEnd);
    sentRangeBegin_ = ContentRangeBegin;
    sentRangeEnd_ = ContentRangeEnd;
    ContentRangeBegin.clear();
    ContentRangeEnd.clear();
  }
  acceptRanges_.clear();

  NotifyBeforeHeaderSend(method, &headers);
  for (int i = 0; i < headers.Count(); ++i) SendHeaderLine(headers[i]);
  NotifyRequestHeaderEnd();
  SendHeaderLine(std::string());

  int64_t size = requestBuffer_.Size();
  std::string block(requestBuffer_.Memory(), static_cast<size_t>(size));
  requestBuffer_.Clear();
  socket_->Send(block.data(), static_cast<int>(block.size()));
}

void THttpCli::SendConnect() {
  SetState(httpWaitingProxyConnect);
  if (state_ != httpWaitingProxyConnect) return;  // a handler ended the request
  parser_.Reset(false);
  responseHeaders_.Clear();
  authChallenges_.Clear();
  StatusCode = 0;
  StatusText.clear();
  headerDone_ = false;
  tunnelAnswer_ = true;
  // A retry after the proxy's challenge sends the range this request has not sent yet.
  sentRangeBegin_ = ContentRangeBegin;
  sentRangeEnd_ = ContentRangeEnd;

  const std::string target = TunnelTarget();
  requestBuffer_.Clear();
  SendHeaderLine("CONNECT " + target + " HTTP/1.1");
  SendHeaderLine("Host: " + target);
  if (!Agent.empty()) SendHeaderLine("User-Agent: " + Agent);
  if (!ActiveProxyConnection.empty()) SendHeaderLine("Proxy-Connection: " + ActiveProxyConnection);
  connectRound_ = true;
  std::string auth;
  try {
    auth = AuthorizationLine(true);
  } catch (...) {
    connectRound_ = false;
    throw;
  }
  connectRound_ = false;
  if (!auth.empty()) SendHeaderLine(auth);
  SendHeaderLine(std::string());
  std::string block(requestBuffer_.Memory(), static_cast<size_t>(requestBuffer_.Size()));
  requestBuffer_.Clear();
  socket_->Send(block.data(), static_cast<int>(block.size()));
}

void THttpCli::FeedTunnelAnswer() {
  const uint32_t serial = requestSerial_;
  while (Alive(serial) && state_ == httpWaitingProxyConnect) {
    const THttpParseStep step =
        parser_.Put(receiveBuffer_.data() + receiveStart_,
                    static_cast<size_t>(receiveLength_ - receiveStart_));
    Consume(static_cast<int64_t>(step.Consumed));
    switch (step.Event) {
      case THttpParseEvent::NeedMore:
        return;
      case THttpParseEvent::Line:
        ReadTunnelLine();
        break;
      case THttpParseEvent::Interim:
        responseHeaders_.Clear();
        authChallenges_.Clear();
        StatusCode = 0;
        StatusText.clear();
        break;
      case THttpParseEvent::HeaderEnd:
        headerDone_ = true;
        if (parser_.Headerless() || StatusCode == 0) {
          FailRequest("The proxy did not answer CONNECT with HTTP", kErrConnAborted);
          return;
        }
        if (StatusCode >= 200 && StatusCode < 300) {
          StartTunnelTls();
          return;
        }
        if (!parser_.HasBody()) {
          TunnelRefused();
          return;
        }
        break;
      case THttpParseEvent::BodyBegin:
      case THttpParseEvent::Body:
        break;  // the proxy's own page
      case THttpParseEvent::End:
        TunnelRefused();
        return;
      case THttpParseEvent::Error:
        FailRequest(HttpParseErrorText(parser_.Error()), kErrConnAborted);
        return;
    }
  }
}

void THttpCli::ReadTunnelLine() {
  const std::string line = parser_.Line();
  if (!line.empty()) responseHeaders_.Add(line);
  if (parser_.LineKind() == THttpLineKind::Status) {
    serverVersion_ = parser_.Version();
    FCloseReq = serverVersion_ == "1.0";
    StatusCode = parser_.StatusCode();
    StatusText = parser_.StatusText();
  } else if (parser_.LineKind() == THttpLineKind::Field) {
    const std::string& name = parser_.FieldName();
    if (name == "proxy-authenticate") {
      authChallenges_.Add(parser_.FieldValue());
    } else if (name == "connection" || name == "proxy-connection") {
      const std::string v = LowerCase(Trim(parser_.FieldValue()));
      if (v == "close")
        FCloseReq = true;
      else if (v == "keep-alive")
        FCloseReq = false;
    }
  }
}

void THttpCli::StartTunnelTls() {
  // The first bytes in the tunnel are the server's handshake, which waits for ours.
  if (receiveLength_ > receiveStart_) {
    FailRequest("The proxy sent data into the tunnel before TLS", kErrConnAborted);
    return;
  }
  tunnelAnswer_ = false;
  // Nothing of the proxy's answer belongs to the target's response.
  responseHeaders_.Clear();
  authChallenges_.Clear();
  StatusCode = 0;
  StatusText.clear();
  headerDone_ = false;
  FCloseReq = requestVer_ == "1.0";
  SetState(httpConnected);
  if (state_ != httpConnected) return;
  // The handshake's end comes back through SocketSessionConnected.
  if (!socket_->StartTls()) FailRequest("TLS could not start in the proxy's tunnel", kErrConnAborted);
}

void THttpCli::TunnelRefused() {
  // Whatever follows the proxy's answer cannot be trusted for another CONNECT.
  if (receiveLength_ > receiveStart_) FCloseReq = true;
  ClearReceived();
  if (FCloseReq) {
    closeRequested_ = true;  // the close event ends the request
    socket_->CloseLater();
  } else {
    Finish();
  }
}

void THttpCli::SendHeaderLine(const std::string& line) {
  std::string s = line;
  if (OnCommand) OnCommand(this, s);
  if (!s.empty()) requestBuffer_.WriteBuffer(s.data(), static_cast<int64_t>(s.size()));
  requestBuffer_.WriteBuffer("\r\n", 2);
}

// ---------------------------------------------------------------------------------------
// Upload

void THttpCli::StartUpload() {
  NotifySendBegin();
  uploading_ = true;
  finishAfterUpload_ = false;
  SocketDataSent(socket_, 0);
}

void THttpCli::SocketDataSent(TObject*, uint16_t) {
  if (!uploading_) return;
  if (uploadBuffer_.empty()) uploadBuffer_.resize(8192);
  int64_t n = UploadStream ? UploadStream->Read(uploadBuffer_.data(), 8192) : 0;
  if (n > 0) {
    UploadedCount += n;
    NotifySendData(uploadBuffer_.data(), static_cast<int>(n));
    socket_->Send(uploadBuffer_.data(), static_cast<int>(n));
    return;
  }
  uploading_ = false;
  NotifySendEnd();
  if (finishAfterUpload_) {
    finishAfterUpload_ = false;
    PostBecomeReady();
  }
}

// ---------------------------------------------------------------------------------------
// Throttling

void THttpCli::BandwidthTimerTick(TObject*) {
  if (bandwidthPaused_) {
    bandwidthPaused_ = false;
    bandwidthCount_ -= bandwidthMax_;
    socket_->Resume();
  } else {
    bandwidthCount_ = 0;
  }
}

// ---------------------------------------------------------------------------------------
// Receiving

void THttpCli::CompactReceived() {
  if (receiveStart_ == 0) return;
  int64_t count = receiveLength_ - receiveStart_;
  if (count > 0) std::memmove(receiveBuffer_.data(), receiveBuffer_.data() + receiveStart_, count);
  receiveStart_ = 0;
  receiveLength_ = count;
}

void THttpCli::Consume(int64_t count) {
  receiveStart_ += count;
  if (receiveStart_ >= receiveLength_) receiveStart_ = receiveLength_ = 0;
}

void THttpCli::SocketDataAvailable(TObject*, uint16_t error) {
  // An event handler that pumps messages may let the next read event in while a block
  // is still being handed out: read it after that block, not in the middle of it.
  if (inDataHandler_) {
    dataPending_ = true;
    return;
  }
  inDataHandler_ = true;
  try {
    do {
      dataPending_ = false;
      ReadAndProcess(error);
    } while (dataPending_);
  } catch (...) {
    inDataHandler_ = false;
    throw;
  }
  inDataHandler_ = false;
}

void THttpCli::ReadAndProcess(uint16_t error) {
  CompactReceived();
  size_t need = static_cast<size_t>(receiveLength_ + kReadSize + 1);
  if (receiveBuffer_.size() < need) receiveBuffer_.resize(need);
  int64_t space = static_cast<int64_t>(receiveBuffer_.size()) - receiveLength_ - 1;
  int n = socket_->Receive(receiveBuffer_.data() + receiveLength_, static_cast<int>(space));
  if (RequestType == httpABORT) {
    ClearReceived();
    return;
  }
  if (n <= 0) return;

  if (options_.Contains(httpoBandwidthControl)) {
    bandwidthCount_ += n;
    if (bandwidthCount_ > bandwidthMax_ && !bandwidthPaused_) {
      bandwidthPaused_ = true;
      socket_->Pause();
    }
  }
  receiveLength_ += n;
  receiveBuffer_[static_cast<size_t>(receiveLength_)] = 0;
  ProcessReceived(error);
}

void THttpCli::ProcessReceived(uint16_t error) {
  if (state_ == httpWaitingBody && RequestType == httpHEAD) {
    ClearReceived();
    socket_->Close();
    return;
  }
  if (state_ == httpWaitingHeader || state_ == httpWaitingBody) {
    FeedParser();
    return;
  }
  if (state_ == httpWaitingProxyConnect) {
    FeedTunnelAnswer();
    return;
  }
  // Lines that come while no request reads them.
  while (receiveLength_ > receiveStart_) {
    char* data = receiveBuffer_.data() + receiveStart_;
    int64_t count = receiveLength_ - receiveStart_;
    char* lf = static_cast<char*>(std::memchr(data, '\n', static_cast<size_t>(count)));
    int64_t lineLength = lf ? lf - data : count;
    if (lineLength > kHttpMaxHeaderLine) {
      ClearReceived();
      return;
    }
    if (!lf) return;  // the rest of the line comes with the next read
    const bool cr = lineLength > 0 && data[lineLength - 1] == '\r';
    ReceiveLine.assign(data, static_cast<size_t>(cr ? lineLength - 1 : lineLength));
    Consume(lineLength + 1);
    if (OnDataPush) OnDataPush(this, error);
  }
}

void THttpCli::FeedParser() {
  const uint32_t serial = requestSerial_;
  while (Alive(serial) && (state_ == httpWaitingHeader || state_ == httpWaitingBody)) {
    const THttpParseStep step =
        parser_.Put(receiveBuffer_.data() + receiveStart_,
                    static_cast<size_t>(receiveLength_ - receiveStart_));
    Consume(static_cast<int64_t>(step.Consumed));
    switch (step.Event) {
      case THttpParseEvent::NeedMore:
        return;
      case THttpParseEvent::Line:
        ReceiveLine = parser_.Line();
        ReadHeaderLine();
        break;
      case THttpParseEvent::Interim:
        InterimDone();
        break;
      case THttpParseEvent::HeaderEnd:
        if (!HeaderDone()) return;
        break;
      case THttpParseEvent::BodyBegin:
      case THttpParseEvent::Body:
        bodyData_ = parser_.Data();
        bodyLength_ = static_cast<int64_t>(parser_.Size());
        if (!RunBodyReader()) return;
        break;
      case THttpParseEvent::End:
        EndDocument();
        // Whatever followed the document is dropped, and a connection that carried it
        // cannot be trusted for the next request.
        if (receiveLength_ > receiveStart_) FCloseReq = true;
        ClearReceived();
        DocumentDone();
        return;
      case THttpParseEvent::Error:
        FailRequest(HttpParseErrorText(parser_.Error()), kErrConnAborted);
        return;
    }
  }
}

void THttpCli::ReadHeaderLine() {
  if (HeaderLineNo == 0)
    NotifyHeaderBegin();
  else if (HeaderLineNo == -1)
    HeaderLineNo = 0;
  ++HeaderLineNo;
  const std::string& line = ReceiveLine;
  if (!line.empty()) responseHeaders_.Add(line);
  switch (parser_.LineKind()) {
    case THttpLineKind::Status:
      serverVersion_ = parser_.Version();
      FCloseReq = requestVer_ == "1.0" || serverVersion_ == "1.0";
      StatusCode = parser_.StatusCode();
      StatusText = parser_.StatusText();
      break;
    case THttpLineKind::NotHttp:
      if (OnDataPush2) OnDataPush2(this);
      break;
    case THttpLineKind::Field:
      ProcessHeaderField(parser_.FieldName(), parser_.FieldValue());
      if (failed_ || state_ != httpWaitingHeader) return;
      break;
    case THttpLineKind::Other:
      break;
  }
  if (OnHeaderData) OnHeaderData(this);
}

void THttpCli::InterimDone() {
  // Nothing an interim answer said applies to the final one.
  responseHeaders_.Clear();
  authChallenges_.Clear();
  pendingLocations_.clear();
  HeaderLineNo = -1;
  StatusCode = 0;
  StatusText.clear();
  ContentLength = -1;
  ResponseContentType.clear();
  ResponseTransferCoding.clear();
  ResponseContentEncoding.clear();
  ContentRangeBegin.clear();
  ContentRangeEnd.clear();
  acceptRanges_.clear();
}

void THttpCli::ApplyPendingLocations() {
  std::vector<std::string> locations;
  locations.swap(pendingLocations_);
  for (const std::string& location : locations) {
    if (RequestType == httpPUT) {
      NewLocation = location;
    } else if (FollowRelocation) {
      Relocating = true;
      SetNewLocation(location);
    }
  }
}

bool THttpCli::HeaderDone() {
  if (parser_.Headerless()) {
    // No header at all: the first line is the start of the document.
    if (HeaderLineNo == 0)
      NotifyHeaderBegin();
    else if (HeaderLineNo == -1)
      HeaderLineNo = 0;
    ++HeaderLineNo;
    if (ResponseContentType.empty()) ResponseContentType = "text/html";
    headerDone_ = true;
    SetState(httpWaitingBody);
    NotifyHeaderEnd();
    return state_ == httpWaitingBody;
  }

  ApplyPendingLocations();
  headerDone_ = true;
  NotifyHeaderEnd();
  if (state_ == httpReady) {
    ClearReceived();
    return false;
  }
  if (state_ != httpWaitingHeader) return false;

  if (!parser_.HasBody()) {
    if (RequestType == httpHEAD) SetState(httpWaitingBody);
    // Nothing may follow a response without a body before our next request.
    if (receiveLength_ > receiveStart_) {
      ClearReceived();
      FCloseReq = true;
    }
    DocumentDone();
    return false;
  }

  std::string ext;
  size_t dot = DocName.rfind('.');
  if (dot != std::string::npos) ext = LowerCase(DocName.substr(dot));
  if ((ext == ".exe" || ext.empty()) && ResponseContentType == "text/html") {
    if (dot == std::string::npos)
      DocName += ".htm";
    else
      DocName = DocName.substr(0, dot + 1) + "htm";
  }
  SetState(httpWaitingBody);
  return state_ == httpWaitingBody;
}

void THttpCli::ProcessHeaderField(const std::string& name, const std::string& value) {
  if (name == "location") {
    // Followed once the header is complete: an interim answer's location is no target.
    pendingLocations_.push_back(value);
  } else if (name == "content-length") {
    ContentLength = parser_.ContentLength();
  } else if (name == "transfer-encoding") {
    ResponseTransferCoding = LowerCase(value);
  } else if (name == "content-range") {
    const TContentRange range = ParseContentRange(value);
    ContentRangeBegin = range.First;
    ContentRangeEnd = range.Last;
  } else if (name == "accept-ranges") {
    acceptRanges_ = value;
  } else if (name == "content-type") {
    ResponseContentType = LowerCase(value);
  } else if (name == "www-authenticate" || name == "proxy-authenticate") {
    authChallenges_.Add(value);
  } else if (name == "set-cookie") {
    bool accept = true;
    NotifyCookie(value, accept);
  } else if (name == "connection" || name == "proxy-connection") {
    std::string v = LowerCase(Trim(value));
    if (v == "close")
      FCloseReq = true;
    else if (v == "keep-alive")
      FCloseReq = false;
  } else if (name == "content-encoding") {
    ResponseContentEncoding = value;
  }
}

void THttpCli::SetNewLocation(const std::string& location) {
  const bool absolute = StartsText("http://", location) || StartsText("https://", location);
  std::string path, proto, user, pass, host, port;
  if (Proxy.empty()) {
    std::string base;
    SplitUrl(URL, base, proto, user, pass, host, port);
    if (proto.empty()) proto = "http";
    if (!location.empty() && location[0] == '/') {
      RequestPath = location;
      NewLocation = proto + "://" + ConnectHost + location;
    } else if (!absolute) {
      RequestPath = PathPrefix(RequestPath) + location;
      NewLocation = proto + "://" + ConnectHost + RequestPath;
    } else {
      path = RequestPath;
      SplitUrl(location, path, proto, user, pass, host, port);
      ConnectHost = host;
      ConnectPort = port.empty() ? DefaultPort(proto) : port;
      UrlProtocol = proto;
      OriginHost = host;
      OriginPort = ConnectPort;  // the Host line names the new target's port
      if (!user.empty() && !pass.empty()) {
        // Credentials in the location were given for the place it names.
        credentialUser_ = user;
        credentialPassword_ = pass;
        credentialOrigin_ = OriginText(UrlProtocol, OriginHost, OriginPort);
      }
      ApplyCredentialOrigin();
      RequestPath = path.empty() ? "/" : path;
      NewLocation = proto + "://" + host + (port.empty() ? "" : ":" + port) + path;
    }
    return;
  }
  if (!location.empty() && location[0] == '/') {
    std::string base;
    SplitUrl(RequestPath, base, proto, user, pass, host, port);
    if (proto.empty()) proto = "http";
    RequestPath = NewLocation = proto + "://" + host + (port.empty() ? "" : ":" + port) + location;
  } else if (!absolute) {
    RequestPath = PathPrefix(RequestPath) + location;
    NewLocation = RequestPath;
  } else {
    path = RequestPath;
    SplitUrl(location, path, proto, user, pass, host, port);
    ConnectPort = port.empty() ? DefaultPort(proto) : port;
    OriginHost = host;
    OriginPort = ConnectPort;
    UrlProtocol = proto;
    if (!user.empty() && !pass.empty()) {
      credentialUser_ = user;
      credentialPassword_ = pass;
      credentialOrigin_ = OriginText(UrlProtocol, OriginHost, OriginPort);
    }
    ApplyCredentialOrigin();
    RequestPath = NewLocation =
        proto + "://" + host + (port.empty() ? "" : ":" + port) + (path.empty() ? "/" : path);
  }
}

void THttpCli::ApplyCredentialOrigin() {
  // Credentials given for https never go out in clear, however trusted the location.
  const bool downgrade = StartsText("https:", credentialOrigin_) && !SameText(UrlProtocol, "https");
  if (!downgrade &&
      (LocationTrusted || OriginText(UrlProtocol, OriginHost, OriginPort) == credentialOrigin_)) {
    ActiveUsername = credentialUser_;
    ActivePassword = credentialPassword_;
    return;
  }
  // Another origin: nothing is offered, and its challenges find no credentials to answer
  // with. What the old origin's challenges taught is no business of the new one either.
  ActiveUsername.clear();
  ActivePassword.clear();
  AuthNTLMState = AuthDigestState = AuthBasicState = 0;
  AuthDigestInfo = TAuthDigestInfo();
  AuthNtlmInfo = TNtlmChallenge();
}

bool THttpCli::RunBodyReader() {
  const uint32_t serial = requestSerial_;
  try {
    GetBodyLineNext();
  } catch (const Exception& e) {
    // A receive stream that cannot take the data must not end as a success.
    if (serial == requestSerial_ && !failed_)
      FailRequest("Document not stored: " + e.Message(), kErrConnAborted);
    return false;
  }
  bodyLength_ = 0;
  return Alive(serial);
}

void THttpCli::GetBodyLineNext() {
  const uint32_t serial = requestSerial_;
  if (BodyStepNo == 0) {
    NotifyDocBegin();
    if (!Alive(serial)) return;
    contentCodings_->Prepare(ResponseContentEncoding);
    receiveStartSize_ = ReceiveStream ? ReceiveStream->Size() : 0;
  }
  ++BodyStepNo;
  if (bodyLength_ > 0) {
    ReceivedCount += bodyLength_;
    contentCodings_->WriteBuffer(bodyData_, static_cast<int>(bodyLength_));
  }
}

void THttpCli::EndDocument() {
  BodyStepNo = 0;
  SetState(httpBodyReceived);
  if (options_.Contains(httpoBandwidthControl) && bandwidthTimer_)
    bandwidthTimer_->SetEnabled(false);
  contentCodings_->Finish();
  NotifyDocEnd();
}

bool THttpCli::Alive(uint32_t serial) const {
  return serial == requestSerial_ && !failed_ && state_ != httpReady && state_ != httpAborting;
}

void THttpCli::DocumentDone() {
  if (failed_ || state_ == httpReady || state_ == httpAborting) return;  // ended meanwhile
  if (Relocating) {
    StartRelocation();
  } else if (FCloseReq) {
    // The request ends with the close event.
    closeRequested_ = true;
    socket_->CloseLater();
  } else {
    Finish();
  }
}

void THttpCli::Finish() {
  if (uploading_ && (StatusCode == 401 || StatusCode == 407)) {
    finishAfterUpload_ = true;
    return;
  }
  PostBecomeReady();
}

void THttpCli::FailRequest(const std::string& text, uint16_t error) {
  failed_ = true;
  StatusCode = 404;
  StatusText = text;
  DoneError = error;
  Relocating = false;
  ClearReceived();
  if (InHeader) NotifyHeaderEnd();
  if (socket_->State() != wsClosed) {
    socket_->Abort();  // its close event posts the end
  }
  if (state_ != httpReady) PostBecomeReady();
}

// ---------------------------------------------------------------------------------------
// Close of the connection

void THttpCli::SocketSessionClosed(TObject*, uint16_t error) {
  ClearReceived();
  if (error != 0 && !failed_) DoneError = error;
  LinkOpen = false;
  closeRequested_ = false;
  const bool aborting = state_ == httpAborting || failed_;
  if (aborting) Relocating = false;
  // A retry or relocation is under way: the connection that ended is the old one, and
  // the new round's own connection follows.
  if (reconnectPending_) {
    NotifySessionClosed();
    return;
  }
  // A header cut off by the close still names its relocation.
  if (state_ == httpWaitingHeader && !headerDone_ && !aborting) ApplyPendingLocations();

  const bool awaiting = state_ == httpWaitingHeader || state_ == httpWaitingProxyConnect;
  if (awaiting && !headerDone_ && !aborting && !Relocating) {
    if (InHeader) NotifyHeaderEnd();
    // A kept-alive connection the server closed just as the request went out: send it
    // once more on a new connection.
    if (reusedConnection_ && !retriedOnClose_ && HeaderLineNo == 0 && !uploading_ &&
        UploadedCount == 0) {
      retriedOnClose_ = true;
      reusedConnection_ = false;
      ContentRangeBegin = sentRangeBegin_;
      ContentRangeEnd = sentRangeEnd_;
      SetState(httpNotConnected);
      PostMessageToSelf(msgReconnect_);
      return;
    }
    StatusCode = 404;
    StatusText = HeaderLineNo == 0 ? "Connection closed without a response"
                                   : "Connection closed before the end of the response header";
    if (DoneError == 0) DoneError = kErrConnReset;
    failed_ = true;
    NotifySessionClosed();
    if (state_ != httpReady) PostBecomeReady();
    return;
  }
  if (InHeader) {
    NotifyHeaderEnd();
    if (Relocating) RelocationClosed(socket_, error);
    return;
  }

  if (BodyStepNo > 0 || state_ == httpWaitingBody) {
    if (options_.Contains(httpoBandwidthControl) && bandwidthTimer_)
      bandwidthTimer_->SetEnabled(false);
    if (BodyStepNo > 0) {
      BodyStepNo = 0;
      contentCodings_->Finish();
      NotifyDocEnd();
    }
    const bool incomplete = RequestType != httpHEAD && !aborting && !Relocating &&
                            state_ == httpWaitingBody &&
                            (!parser_.CompleteAtClose() || error == TlsErrTruncated);
    if (incomplete) {
      StatusCode = 404;
      StatusText = error == TlsErrTruncated
                       ? "Connection closed before the end of the document (TLS close-notify missing)"
                       : "Connection closed before the end of the document";
      if (DoneError == 0) DoneError = kErrConnReset;
      failed_ = true;
    }
  }
  if (Relocating) {
    RelocationClosed(socket_, error);
    return;
  }
  NotifySessionClosed();
  if (state_ != httpReady) PostBecomeReady();
}

// ---------------------------------------------------------------------------------------
// Relocation

void THttpCli::CountRelocation(bool& stop) {
  ++locationChangeCurCount_;
  stop = false;
  if (locationChangeCurCount_ > LocationChangeMaxCount) {
    bool allow = false;
    if (OnLocationChangeExceeded) OnLocationChangeExceeded(this, locationChangeCurCount_, allow);
    stop = !allow;
  }
}

void THttpCli::RewindStreams() {
  if (ReceiveStream && ReceiveStream->Size() != receiveStartSize_) {
    ReceiveStream->SetSize(receiveStartSize_);
    ReceiveStream->Seek(receiveStartSize_, TSeekOrigin::soBeginning);
  }
  if (UploadStream && UploadedCount > 0) UploadStream->Seek(-UploadedCount, TSeekOrigin::soCurrent);
}

void THttpCli::StartRelocation() {
  ReceivedCount = 0;
  ClearReceived();
  HeaderLineNo = 0;
  BodyStepNo = 0;
  bool stop;
  CountRelocation(stop);
  relocationCounted_ = !stop;
  if (stop) {
    // The request ends with the relocating answer.
    Relocating = false;
    DocumentDone();
    return;
  }
  if (ConnectHost != OpenHost || ConnectPort != OpenPort || UrlProtocol != OpenProtocol ||
      TunnelTarget() != OpenTunnel || FCloseReq) {
    socket_->OnSessionClosed = [this](TObject* s, uint16_t e) { RelocationClosed(s, e); };
    closeRequested_ = true;
    socket_->CloseLater();
    return;
  }
  relocationCounted_ = false;
  // Carried out now: a close of this connection before the new request goes out is no
  // second relocation.
  Relocating = false;
  if (OnLocationChange) OnLocationChange(this);
  RewindStreams();
  std::string location = NewLocation;
  ResetResponse();
  NewLocation = location;
  MakeDocName();
  if (RequestType == httpPOST) RequestType = httpGET;
  PostMessageToSelf(msgReconnect_);
}

void THttpCli::RelocationClosed(TObject*, uint16_t) {
  std::string location = NewLocation;
  size_t hash = location.find('#');
  if (hash != std::string::npos) location.erase(hash);
  std::string path, proto, user, pass, host, port;
  SplitUrl(location, path, proto, user, pass, host, port);

  LinkOpen = false;
  Relocating = false;
  closeRequested_ = false;
  if (RequestType == httpPOST) RequestType = httpGET;
  socket_->OnSessionClosed = [this](TObject* s, uint16_t e) { SocketSessionClosed(s, e); };

  // Counted already when the relocation began on the old connection.
  bool stop = false;
  if (!relocationCounted_) CountRelocation(stop);
  relocationCounted_ = false;
  if (stop) {
    PostBecomeReady();
    return;
  }
  if (OnLocationChange) OnLocationChange(this);
  RewindStreams();
  ResetResponse();
  NewLocation = location;
  DocName = DocNameFromPath(path);
  if (!Proxy.empty()) ConnectPort = proxyConnectPort_;
  SetState(httpNotConnected);
  PostMessageToSelf(msgReconnect_);
}

void THttpCli::PrepareRetry() {
  // Nothing of the answered response may stay in the streams or the buffer.
  RewindStreams();
  ClearReceived();
  std::string docName = DocName;
  ResetResponse();
  DocName = docName;
  // The same request once more: a range sent with it goes out again (sending emptied
  // the properties, and the answer may have filled them with its own range).
  ContentRangeBegin = sentRangeBegin_;
  ContentRangeEnd = sentRangeEnd_;
  // Not ready any more: a waiting Get goes on waiting.
  SetState(httpNotConnected);
}

void THttpCli::RetryRequest() {
  PrepareRetry();
  ++requestSerial_;  // what the old round posted does not end this one
  PostMessageToSelf(msgReconnect_);
}

// ---------------------------------------------------------------------------------------
// End of a request

void THttpCli::SetState(THttpCliState newState) {
  if (newState == state_) return;
  state_ = newState;
  NotifyStateChange();
  if (newState != httpReady || state_ != httpReady) return;
  if (bandwidthTimer_) bandwidthTimer_->SetEnabled(false);
  if (bandwidthPaused_) {
    bandwidthPaused_ = false;
    socket_->Resume();
  }
  if (AnswerChallenge()) return;
  PostRequestDone();
}

void THttpCli::PostMessageToSelf(uint32_t msg) {
  if (msg == msgReconnect_) reconnectPending_ = true;
  platform::PostMessage(Handle(), msg, requestSerial_, 0);
}

void THttpCli::PostBecomeReady() { PostMessageToSelf(msgBecomeReady_); }

void THttpCli::PostRequestDone() {
  platform::PostMessage(Handle(), msgRequestDone_, static_cast<platform::WPARAM>(RequestType),
                        DoneError);
}

void THttpCli::Abort() {
  if (state_ != httpReady) {
    const bool wasLookup = state_ == httpDnsLookup;
    SetState(httpAborting);
    if (wasLookup) {
      // The request ends here whatever the cancel says; a failure of it is still told.
      try {
        socket_->CancelLookup();
      } catch (const std::exception& e) {
        HandleFailure(e);
      }
    }
    StatusCode = 404;
    StatusText = "Connection aborted on request";
    DoneError = httperrAborted;
    if (wasLookup)
      SocketSessionClosed(socket_, 0);
    else
      socket_->Abort();
    SetState(httpReady);
    return;
  }
  state_ = httpAborting;
  if (socket_->State() != wsClosed) socket_->Close();
  StatusCode = 200;
  StatusText = "OK";
  DoneError = 0;
  state_ = httpReady;
  NotifyStateChange();
  if (OnRequestDone) OnRequestDone(this, RequestType, DoneError);
}

// ---------------------------------------------------------------------------------------
// Synchronous request

void THttpCli::RunRequest(THttpRequest kind) {
  // The wait below runs the message loop: a release dispatched there must not free the
  // client under it.
  TNetWndBusy busy(this);
  StartRequest(kind);
  if (!socket_->ActivityCounter()) socket_->CreateActivityCounter();
  socket_->ActivityCounter()->Restart();
  while (state_ != httpReady) {
    if (platform::MsgWaitForInput(1000) == platform::WAIT_OBJECT_0) PumpMessages();
    if (state_ == httpReady) break;
    const bool terminated = ApplicationTerminating() || QuitSeen();
    if (!terminated) {
      uint32_t now = platform::GetTickCount();
      uint32_t last = socket_->ActivityCounter()->LastActivityTick();
      uint32_t idle = now >= last ? now - last : 0xFFFFFFFFu - last + now;
      if (idle < Timeout * 1000u) continue;
    }
    EndIdleWait(terminated);
  }
  if (StatusCode >= 400 && StatusCode != 401 && StatusCode != 407)
    throw EHttpException(StatusText, static_cast<uint16_t>(StatusCode));
}

void THttpCli::EndIdleWait(bool terminated) {
  const bool wasLookup = state_ == httpDnsLookup;
  SetState(httpAborting);
  if (wasLookup) {
    try {
      socket_->CancelLookup();
    } catch (const std::exception& e) {
      HandleFailure(e);
    }
  }
  StatusCode = 404;
  if (terminated) {
    StatusText = "Request aborted";
    DoneError = httperrAborted;
  } else {
    StatusText = "Request aborted on timeout";
    DoneError = httperrTimeout;
  }
  if (wasLookup)
    SocketSessionClosed(socket_, 0);
  else
    socket_->Abort();
  SetState(httpReady);
}

// ---------------------------------------------------------------------------------------
// Notifications

void THttpCli::NotifyStateChange() {
  if (OnStateChange) OnStateChange(this);
}
void THttpCli::NotifyCookie(const std::string& data, bool& accept) {
  if (OnCookie) OnCookie(this, data, accept);
}
void THttpCli::NotifySessionConnected() {
  if (OnSessionConnected) OnSessionConnected(this);
}
void THttpCli::NotifySessionClosed() {
  if (OnSessionClosed) OnSessionClosed(this);
}
void THttpCli::NotifyBeforeHeaderSend(const std::string& method, TStrings* headers) {
  if (OnBeforeHeaderSend) OnBeforeHeaderSend(this, method, headers);
}
void THttpCli::NotifyRequestHeaderBegin() {
  if (OnRequestHeaderBegin) OnRequestHeaderBegin(this);
}
void THttpCli::NotifyRequestHeaderEnd() {
  if (OnRequestHeaderEnd) OnRequestHeaderEnd(this);
}
void THttpCli::NotifyHeaderBegin() {
  InHeader = true;
  if (OnHeaderBegin) OnHeaderBegin(this);
}
void THttpCli::NotifyHeaderEnd() {
  InHeader = false;
  if (OnHeaderEnd) OnHeaderEnd(this);
}
void THttpCli::NotifyDocBegin() {
  if (OnDocBegin) OnDocBegin(this);
}
void THttpCli::NotifyDocData(const void* buffer, int len) {
  if (OnDocData) OnDocData(this, buffer, len);
}
void THttpCli::NotifyDocEnd() {
  if (OnDocEnd) OnDocEnd(this);
}
void THttpCli::NotifySendBegin() {
  if (OnSendBegin) OnSendBegin(this);
}
void THttpCli::NotifySendData(const void* buffer, int len) {
  if (OnSendData) OnSendData(this, buffer, len);
}
void THttpCli::NotifySendEnd() {
  if (OnSendEnd) OnSendEnd(this);
}
