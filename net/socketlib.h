// The socket library as the socket components see it: the process-wide binding (socket
// count, version settings, start-up on first use and clean-up after the last socket),
// name resolution and the texts of socket error codes.
#pragma once

#include <cstdint>
#include <string>

#include "base/sysutils.h"

DECLARE_EXCEPTION_CLASS(ESocketException, Exception);

// Starts the library if it is not started (with the version ReqVerHigh.ReqVerLow).
// Raises ESocketException "Winsock startup error wsock32.dll - ..." when the library
// refuses the version.
void WSocketLoad();
bool WSocketLoaded();
// The version word of the last start-up (high * 256 + low), 0 before the first.
uint16_t WSocketStartupVersion();

// The process-wide socket count: every socket component holds one reference, a few
// standalone calls hold one while they run. Dropping the last one cleans the library up.
void WSocketAddRef();
void WSocketRelease();
int WSocketCount();

// Holds a reference for a scope.
class TWSocketLibRef {
 public:
  TWSocketLibRef() { WSocketAddRef(); }
  ~TWSocketLibRef() { WSocketRelease(); }
  TWSocketLibRef(const TWSocketLibRef&) = delete;
  TWSocketLibRef& operator=(const TWSocketLibRef&) = delete;
};

// The requested version. Setting a different value fails (returns false) while the
// library is started; otherwise it applies to the next start-up.
uint8_t WSocketReqVerLow();
uint8_t WSocketReqVerHigh();
bool WSocketSetReqVerLow(uint8_t value);
bool WSocketSetReqVerHigh(uint8_t value);

// Four decimal groups of at most 255 separated by dots, blanks allowed around it.
bool IsDottedAddress(const std::string& text);
// IPv4 address in network order; blocks on a name that is not a dotted address.
uint32_t ResolveHost(const std::string& text);
// Port number in host order: the leading digits of a number, else the service database.
int ResolvePort(const std::string& port, const std::string& proto);
// Protocol number: leading digits, "tcp", "udp", "raw" or the protocol database.
int ResolveProto(const std::string& text);
std::string LocalHostName();

std::string WinsockErrorText(int code);
// Text + " (#" + code + ")".
std::string WinsockErrorTextWithCode(int code);
std::string SystemErrorTextWithCode(int code);
