#include "net/sockswsocket.h"

TCustomSocksWSocket::TCustomSocksWSocket(TComponent* owner) : TCustomWSocket(owner) {
  ResetSocks();
  SocksUsercode.clear();
  SocksPassword.clear();
}

void TCustomSocksWSocket::ResetSocks() {
  socksState_ = 0;
  socksServer_.clear();
  socksPort_.clear();
  socksServerAssigned_ = false;
  socksPortAssigned_ = false;
  socksLevel_ = std::string(1, '5');  // not = "5": GCC 12 misreports that with -Wrestrict
}

void TCustomSocksWSocket::ResetToDefaults() {
  TCustomWSocket::ResetToDefaults();
  ResetSocks();
}

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
}

void TCustomSocksWSocket::SetSocksPort(const std::string& value) {
  if (state_ != wsClosed) {
    ReportError("Can't change socks port if not closed");
    return;
  }
  socksPort_ = Trim(value);
  socksPortAssigned_ = !socksPort_.empty();
}

void TCustomSocksWSocket::Connect() {
  if (socksServerAssigned_) {
    // Going around the proxy the caller asked for would be worse than failing.
    ReportError("Connect: SOCKS proxy connections are not supported");
    return;
  }
  TCustomWSocket::Connect();
}

void TCustomSocksWSocket::Listen() {
  if (socksServerAssigned_) {
    ReportError("Listening is not supported thru socks server");
    return;
  }
  TCustomWSocket::Listen();
}

void TCustomSocksWSocket::TriggerSocksConnected(uint16_t error) {
  if (OnSocksConnected && !Destroying()) OnSocksConnected(this, error);
}

void TCustomSocksWSocket::TriggerSocksError(int error, const std::string& msg) {
  if (OnSocksError && !Destroying()) OnSocksError(this, error, msg);
}
