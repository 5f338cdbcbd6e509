// TCustomSocksWSocket: the layer of the socket chain that reaches the target through a
// SOCKS proxy (versions 4, 4A and 5, with user name and password for 5). With SocksServer
// set, Connect opens the connection to the proxy, the handshake runs on the first data
// events, and OnSessionConnected reaches the application only when the proxy has
// connected the target, so the layers above see an ordinary connection. A failed
// handshake reaches the application three ways: OnSocksError with the text, then
// OnSessionConnected and OnSessionClosed with the code (20001 to 20017).
#pragma once

#include "net/customwsocket.h"
#include "net/socksreply.h"

enum TSocksAuthentication { socksNoAuthentication, socksAuthenticateUsercode };
enum TSocksAuthState { socksAuthStart, socksAuthSuccess, socksAuthFailure, socksAuthNotRequired };

using TSocksErrorEvent = std::function<void(TObject* Sender, int Error, const std::string& Msg)>;
using TSocksAuthStateEvent = std::function<void(TObject* Sender, TSocksAuthState AuthState)>;

// Requests are built in areas of this size; Connect refuses settings that would not fit.
constexpr int SocksRequestArea = 128;
// What fits: user code + password (5, user name request), user code (4), user code +
// host (4A), host (5, connect request).
constexpr int SocksMaxCredentials = SocksRequestArea - 3;
constexpr int SocksMaxUsercode4 = SocksRequestArea - 9;
constexpr int SocksMaxUsercodeHost4A = SocksRequestArea - 10;
constexpr int SocksMaxHost5 = SocksRequestArea - 7;

class TCustomSocksWSocket : public TCustomWSocket {
 public:
  explicit TCustomSocksWSocket(TComponent* owner);
  const char* ClassName() const override { return "TCustomSocksWSocket"; }

  // Refused unless closed; every close clears server and port and sets the level to "5",
  // so the proxy settings are given again before each connect.
  const std::string& SocksLevel() const { return socksLevel_; }
  void SetSocksLevel(const std::string& value);
  const std::string& SocksServer() const { return socksServer_; }
  virtual void SetSocksServer(const std::string& value);
  const std::string& SocksPort() const { return socksPort_; }
  virtual void SetSocksPort(const std::string& value);
  std::string SocksUsercode;
  std::string SocksPassword;
  TSocksAuthentication SocksAuthentication = socksNoAuthentication;

  // What a version 5 proxy reported as its end of the connection to the target.
  const std::string& SocksBoundAddr() const { return boundAddr_; }
  const std::string& SocksBoundPort() const { return boundPort_; }

  TSessionConnected OnSocksConnected;
  TSocksErrorEvent OnSocksError;
  TSocksAuthStateEvent OnSocksAuthState;

  void Connect() override;
  void Listen() override;
  // Bytes that came with the proxy's reply are handed out first.
  int PendingCount() override;

 protected:
  void ResetToDefaults() override;
  bool TriggerDataAvailable(uint16_t error) override;
  void ConnectionEstablished(uint16_t error) override;
  void TriggerSessionClosed(uint16_t error) override;
  void TriggerDataSent(uint16_t error) override;
  int RawReceive(void* buffer, int size) override;

  // True while a proxy negotiation is running.
  virtual bool SocksNegotiating() const { return socksState_ != TSocksPhase::Off; }
  virtual void TriggerSocksConnected(uint16_t error);
  virtual void TriggerSocksError(int error, const std::string& msg);
  virtual void TriggerSocksAuthState(TSocksAuthState state);

  enum class TSocksPhase {
    Off,             // no proxy negotiation
    Opening,         // waiting for the proxy's connection or its method reply
    Authenticating,  // waiting for the answer to user name and password
    Connecting       // waiting for the answer to the connect request
  };
  TSocksPhase socksState_ = TSocksPhase::Off;

 private:
  void ResetSocks();
  // The settings would overflow a request area: the text to refuse them with, else "".
  // `credentials`: the user name request will be sent.
  std::string OversizeText(bool credentials) const;
  bool Version4() const { return !socksLevel_.empty() && socksLevel_[0] == '4'; }
  // False when the request could not be sent (the connect has failed then).
  bool SendRequest(const std::string& request);
  void SendVersion4Request();
  void SendMethodRequest();
  void SendConnectRequest();
  void SendUsercodeRequest();
  // The proxy connected the target: the application's connection starts.
  void SocksDone();
  void SocksFail(int code, const std::string& text);

  std::string socksServer_;
  std::string socksLevel_ = "5";
  std::string socksPort_;
  bool socksPortAssigned_ = false;
  bool socksServerAssigned_ = false;
  uint8_t offeredMethod_ = 0;
  int targetPort_ = 0;
  std::string boundAddr_;
  std::string boundPort_;
  TSocksReplyReader reply_;
  // One read of the proxy's reply: the longest version 5 reply (a 255-byte name) and
  // what follows it.
  unsigned char rcvBuf_[512] = {};
  int leftoverCount_ = 0;
  int leftoverStart_ = 0;
};
