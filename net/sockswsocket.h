// TCustomSocksWSocket: the layer of the socket chain that reaches the target through a
// SOCKS proxy. The proxy settings and events are here; the negotiation itself is not
// built yet, so with SocksServer set Connect reports an error instead of connecting
// directly. The hooks the negotiation needs stay virtual in the layers below.
#pragma once

#include "net/customwsocket.h"

enum TSocksAuthentication { socksNoAuthentication, socksAuthenticateUsercode };
enum TSocksAuthState { socksAuthStart, socksAuthSuccess, socksAuthFailure, socksAuthNotRequired };

using TSocksErrorEvent = std::function<void(TObject* Sender, int Error, const std::string& Msg)>;
using TSocksAuthStateEvent = std::function<void(TObject* Sender, TSocksAuthState AuthState)>;

class TCustomSocksWSocket : public TCustomWSocket {
 public:
  explicit TCustomSocksWSocket(TComponent* owner);
  const char* ClassName() const override { return "TCustomSocksWSocket"; }

  // Refused unless closed; every close clears server and port and sets the level to "5".
  const std::string& SocksLevel() const { return socksLevel_; }
  void SetSocksLevel(const std::string& value);
  const std::string& SocksServer() const { return socksServer_; }
  virtual void SetSocksServer(const std::string& value);
  const std::string& SocksPort() const { return socksPort_; }
  virtual void SetSocksPort(const std::string& value);
  std::string SocksUsercode;
  std::string SocksPassword;
  TSocksAuthentication SocksAuthentication = socksNoAuthentication;

  TSessionConnected OnSocksConnected;
  TSocksErrorEvent OnSocksError;
  TSocksAuthStateEvent OnSocksAuthState;

  void Connect() override;
  void Listen() override;

 protected:
  void ResetToDefaults() override;
  // True while a proxy negotiation is running (never, until it is built).
  virtual bool SocksNegotiating() const { return socksState_ != 0; }
  virtual void TriggerSocksConnected(uint16_t error);
  virtual void TriggerSocksError(int error, const std::string& msg);

  int socksState_ = 0;

 private:
  void ResetSocks();

  std::string socksServer_;
  std::string socksLevel_ = "5";
  std::string socksPort_;
  bool socksPortAssigned_ = false;
  bool socksServerAssigned_ = false;
};
