#include "net/socketlib.h"

#include <algorithm>
#include <cstring>
#include <mutex>

#include "platform/sockets.h"

namespace {

struct Library {
  std::recursive_mutex lock;
  int count = 0;
  bool loaded = false;
  uint8_t reqVerLow = 1;
  uint8_t reqVerHigh = 1;
  uint16_t startupVersion = 0;
};

// Never destroyed: sockets may still be released during static destruction.
Library& Lib() {
  static Library* lib = new Library;
  return *lib;
}

void UnloadLocked() {
  Library& lib = Lib();
  if (!lib.loaded || lib.count > 0) return;
  platform::WSACleanup();
  lib.loaded = false;
}

}  // namespace

void WSocketLoad() {
  Library& lib = Lib();
  std::lock_guard<std::recursive_mutex> guard(lib.lock);
  if (lib.loaded) return;
  uint16_t version = static_cast<uint16_t>(lib.reqVerHigh * 256 + lib.reqVerLow);
  platform::WSADATA data;
  int rc = platform::WSAStartup(version, &data);
  // Like a library that loaded but refused to start: it counts as loaded, and start-up
  // is not tried again until it is cleaned up.
  lib.loaded = true;
  lib.startupVersion = version;
  if (rc != 0)
    throw ESocketException("Winsock startup error wsock32.dll - " + SystemErrorTextWithCode(rc));
}

bool WSocketLoaded() {
  std::lock_guard<std::recursive_mutex> guard(Lib().lock);
  return Lib().loaded;
}

uint16_t WSocketStartupVersion() {
  std::lock_guard<std::recursive_mutex> guard(Lib().lock);
  return Lib().startupVersion;
}

void WSocketAddRef() {
  std::lock_guard<std::recursive_mutex> guard(Lib().lock);
  ++Lib().count;
}

void WSocketRelease() {
  std::lock_guard<std::recursive_mutex> guard(Lib().lock);
  if (--Lib().count < 1) UnloadLocked();
}

int WSocketCount() {
  std::lock_guard<std::recursive_mutex> guard(Lib().lock);
  return Lib().count;
}

uint8_t WSocketReqVerLow() {
  std::lock_guard<std::recursive_mutex> guard(Lib().lock);
  return Lib().reqVerLow;
}

uint8_t WSocketReqVerHigh() {
  std::lock_guard<std::recursive_mutex> guard(Lib().lock);
  return Lib().reqVerHigh;
}

bool WSocketSetReqVerLow(uint8_t value) {
  std::lock_guard<std::recursive_mutex> guard(Lib().lock);
  if (value == Lib().reqVerLow) return true;
  if (Lib().loaded) return false;
  Lib().reqVerLow = value;
  return true;
}

bool WSocketSetReqVerHigh(uint8_t value) {
  std::lock_guard<std::recursive_mutex> guard(Lib().lock);
  if (value == Lib().reqVerHigh) return true;
  if (Lib().loaded) return false;
  Lib().reqVerHigh = value;
  return true;
}

bool IsDottedAddress(const std::string& text) {
  size_t i = 0, n = text.size();
  while (i < n && text[i] == ' ') ++i;
  if (i < n && text[i] == '.') return false;
  int dots = 0;
  long group = 0;
  for (; i < n; ++i) {
    char c = text[i];
    if (c >= '0' && c <= '9') {
      group = std::min(group * 10 + (c - '0'), 100000L);
    } else if (c == '.') {
      ++dots;
      if (dots > 3 || group > 255 || i + 1 >= n || text[i + 1] < '0' || text[i + 1] > '9')
        return false;
      group = 0;
    } else {
      while (i < n && text[i] == ' ') ++i;
      if (i < n) return false;
      break;
    }
  }
  return dots == 3 && group <= 255;
}

uint32_t ResolveHost(const std::string& text) {
  if (text.empty()) throw ESocketException("Winsock Resolve Host: '" + text + "' Invalid Hostname.");
  WSocketLoad();
  if (IsDottedAddress(text)) {
    uint32_t a = platform::inet_addr(Trim(text).c_str());
    if (a == platform::INADDR_NONE && Trim(text) != "255.255.255.255")
      throw ESocketException("Winsock Resolve Host: '" + text + "' Invalid IP address.");
    return a;
  }
  platform::HOSTENT* he = platform::gethostbyname(text.c_str());
  if (!he || !he->h_addr_list || !he->h_addr_list[0])
    throw ESocketException("Winsock Resolve Host: Cannot convert host address '" + text + "' - " +
                           WinsockErrorTextWithCode(platform::WSAGetLastError()));
  uint32_t a;
  std::memcpy(&a, he->h_addr_list[0], 4);
  return a;
}

namespace {
// Value of the leading decimal digits; like the original, no range test.
uint32_t LeadingNumber(const std::string& s) {
  uint32_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') break;
    v = v * 10 + static_cast<uint32_t>(c - '0');
  }
  return v;
}
}  // namespace

int ResolvePort(const std::string& port, const std::string& proto) {
  if (port.empty()) throw ESocketException("Winsock Resolve Port: Invalid Port.");
  if (proto.empty()) throw ESocketException("Winsock Resolve Port: Invalid Proto.");
  if (port[0] >= '0' && port[0] <= '9') return static_cast<int>(LeadingNumber(port));
  WSocketLoad();
  platform::SERVENT* se = platform::getservbyname(port.c_str(), proto.c_str());
  if (!se)
    throw ESocketException("Winsock Resolve Port: Cannot convert port '" + port + "' - " +
                           WinsockErrorTextWithCode(platform::WSAGetLastError()));
  return platform::ntohs(static_cast<uint16_t>(se->s_port));
}

int ResolveProto(const std::string& text) {
  if (text.empty()) throw ESocketException("Winsock Resolve Proto: Invalid Protocol.");
  if (text[0] >= '0' && text[0] <= '9') return static_cast<int>(LeadingNumber(text));
  std::string name = LowerCase(Trim(text));
  if (name == "tcp") return 6;
  if (name == "udp") return 17;
  if (name == "raw") return 255;
  WSocketLoad();
  platform::PROTOENT* pe = platform::getprotobyname(name.c_str());
  if (!pe)
    throw ESocketException("Winsock Resolve Proto: Cannot convert protocol '" + text + "' - " +
                           WinsockErrorTextWithCode(platform::WSAGetLastError()));
  return pe->p_proto;
}

std::string LocalHostName() {
  TWSocketLibRef ref;
  WSocketLoad();
  char buf[256] = {0};
  if (platform::gethostname(buf, sizeof(buf)) != 0)
    throw ESocketException("Winsock Get Host Name failed");
  buf[sizeof(buf) - 1] = 0;
  return buf;
}

std::string WinsockErrorText(int code) {
  switch (code) {
    case 0: return "No Error";
    case 10004: return "Interrupted system call";
    case 10009: return "Bad file number";
    case 10013: return "Permission denied";
    case 10014: return "Bad address";
    case 10022: return "Invalid argument";
    case 10024: return "Too many open files";
    case 10035: return "Operation would block";
    case 10036: return "Operation now in progress";
    case 10037: return "Operation already in progress";
    case 10038: return "Socket operation on non-socket";
    case 10039: return "Destination address required";
    case 10040: return "Message too long";
    case 10041: return "Protocol wrong type for socket";
    case 10042: return "Protocol not available";
    case 10043: return "Protocol not supported";
    case 10044: return "Socket type not supported";
    case 10045: return "Operation not supported on socket";
    case 10046: return "Protocol family not supported";
    case 10047: return "Address family not supported by protocol family";
    case 10048: return "Address already in use";
    case 10049: return "Address not available";
    case 10050: return "Network is down";
    case 10051: return "Network is unreachable";
    case 10052: return "Network dropped connection on reset";
    case 10053: return "Connection aborted";
    case 10054: return "Connection reset by peer";
    case 10055: return "No buffer space available";
    case 10056: return "Socket is already connected";
    case 10057: return "Socket is not connected";
    case 10058: return "Can't send after socket shutdown";
    case 10059: return "Too many references: can't splice";
    case 10060: return "Connection timed out";
    case 10061: return "Connection refused";
    case 10062: return "Too many levels of symbolic links";
    case 10063: return "File name too long";
    case 10064: return "Host is down";
    case 10065: return "No route to host";
    case 10066: return "Directory not empty";
    case 10067: return "Too many processes";
    case 10068: return "Too many users";
    case 10069: return "Disc quota exceeded";
    case 10070: return "Stale NFS file handle";
    case 10071: return "Too many levels of remote in path";
    case 10091: return "Network sub-system is unusable";
    case 10092: return "WinSock DLL cannot support this application";
    case 10093: return "WinSock not initialized";
    case 11001: return "Host not found";
    case 11002: return "Non-authoritative host not found";
    case 11003: return "Non-recoverable error";
    case 11004: return "No Data";
    default: return "Not a WinSock error";
  }
}

std::string WinsockErrorTextWithCode(int code) {
  return WinsockErrorText(code) + " (#" + IntToStr(code) + ")";
}

std::string SystemErrorTextWithCode(int code) {
  return SysErrorMessage(static_cast<uint32_t>(code)) + " (#" + IntToStr(code) + ")";
}
