// Sockets, shaped after WinSock 1.1/2: the same calls, argument shapes, constants and
// error numbers, so that a Windows build can pass them straight through.
//
// Every failing call returns SOCKET_ERROR (or INVALID_SOCKET, nullptr, 0 as the call
// says) and sets WSAGetLastError() to a WinSock error number (10035 would block, 10061
// refused, 11001 host not found, ...), whatever the system's own codes are.
//
// Notifications: WSAAsyncSelect registers a socket with a sink of the calling thread.
// The network events then arrive as messages (WParam = socket, LParam = event bits |
// error << 16) with the WinSock re-arming rules: FD_READ is re-armed by the next recv,
// FD_ACCEPT by accept, FD_WRITE is posted once after a connect and then only after a
// send that would block, FD_CONNECT and FD_CLOSE come once. A registration re-delivers
// what is pending (readable data, a writable connected socket, a connect result or a
// close already seen). An empty mask pauses delivery. WSAAsyncSelect makes the socket
// non-blocking. closesocket drops the notifications of the socket still queued.
//
// Host lookups by message: WSAAsyncGetHostByName/Addr return a request handle at once;
// the reply (WParam = handle, LParam = buffer length needed | error << 16) is posted to
// the sink when the lookup ends, with a HOSTENT laid out in the caller's buffer (all its
// pointers point into that buffer). A cancelled request never touches the buffer again
// and posts nothing.
#pragma once

#include <cstdint>

#include "platform/types.h"

namespace platform {

using SOCKET = intptr_t;
constexpr SOCKET INVALID_SOCKET = -1;
constexpr int SOCKET_ERROR = -1;
using u_long = uint32_t;
using u_short = uint16_t;
using WORD = uint16_t;

// Address families, socket types, protocols.
constexpr int AF_UNSPEC = 0;
constexpr int AF_INET = 2;
constexpr int SOCK_STREAM = 1;
constexpr int SOCK_DGRAM = 2;
constexpr int SOCK_RAW = 3;
constexpr int IPPROTO_IP = 0;
constexpr int IPPROTO_TCP = 6;
constexpr int IPPROTO_UDP = 17;
constexpr int IPPROTO_RAW = 255;

constexpr u_long INADDR_ANY = 0x00000000;
constexpr u_long INADDR_NONE = 0xFFFFFFFF;
constexpr u_long INADDR_BROADCAST = 0xFFFFFFFF;

// Option levels and names (WinSock values).
constexpr int SOL_SOCKET = 0xFFFF;
constexpr int SO_REUSEADDR = 0x0004;
constexpr int SO_KEEPALIVE = 0x0008;
constexpr int SO_BROADCAST = 0x0020;
constexpr int SO_LINGER = 0x0080;
constexpr int SO_SNDBUF = 0x1001;
constexpr int SO_RCVBUF = 0x1002;
constexpr int SO_ERROR = 0x1007;
constexpr int SO_TYPE = 0x1008;
constexpr int TCP_NODELAY = 0x0001;
constexpr int IP_MULTICAST_IF = 9;
constexpr int IP_MULTICAST_TTL = 10;
constexpr int IP_ADD_MEMBERSHIP = 12;

constexpr long FIONREAD = 0x4004667F;
constexpr long FIONBIO = static_cast<long>(0x8004667EU);
constexpr DWORD SIO_RCVALL = 0x98000001;
constexpr DWORD SIO_KEEPALIVE_VALS = 0x98000004;

constexpr int MSG_OOB = 0x1;
constexpr int MSG_PEEK = 0x2;

constexpr int SD_RECEIVE = 0;
constexpr int SD_SEND = 1;
constexpr int SD_BOTH = 2;

// Network events of WSAAsyncSelect.
constexpr long FD_READ = 0x01;
constexpr long FD_WRITE = 0x02;
constexpr long FD_OOB = 0x04;
constexpr long FD_ACCEPT = 0x08;
constexpr long FD_CONNECT = 0x10;
constexpr long FD_CLOSE = 0x20;

inline LPARAM WSAMAKESELECTREPLY(WORD event, WORD error) {
  return static_cast<LPARAM>(static_cast<uint32_t>(event) | (static_cast<uint32_t>(error) << 16));
}
inline WORD WSAGETSELECTEVENT(LPARAM l) { return static_cast<WORD>(l & 0xFFFF); }
inline WORD WSAGETSELECTERROR(LPARAM l) { return static_cast<WORD>((l >> 16) & 0xFFFF); }
inline WORD WSAGETASYNCBUFLEN(LPARAM l) { return static_cast<WORD>(l & 0xFFFF); }
inline WORD WSAGETASYNCERROR(LPARAM l) { return static_cast<WORD>((l >> 16) & 0xFFFF); }

// WinSock error numbers.
constexpr int WSABASEERR = 10000;
constexpr int WSAEINTR = 10004;
constexpr int WSAEBADF = 10009;
constexpr int WSAEACCES = 10013;
constexpr int WSAEFAULT = 10014;
constexpr int WSAEINVAL = 10022;
constexpr int WSAEMFILE = 10024;
constexpr int WSAEWOULDBLOCK = 10035;
constexpr int WSAEINPROGRESS = 10036;
constexpr int WSAEALREADY = 10037;
constexpr int WSAENOTSOCK = 10038;
constexpr int WSAEDESTADDRREQ = 10039;
constexpr int WSAEMSGSIZE = 10040;
constexpr int WSAEPROTOTYPE = 10041;
constexpr int WSAENOPROTOOPT = 10042;
constexpr int WSAEPROTONOSUPPORT = 10043;
constexpr int WSAESOCKTNOSUPPORT = 10044;
constexpr int WSAEOPNOTSUPP = 10045;
constexpr int WSAEPFNOSUPPORT = 10046;
constexpr int WSAEAFNOSUPPORT = 10047;
constexpr int WSAEADDRINUSE = 10048;
constexpr int WSAEADDRNOTAVAIL = 10049;
constexpr int WSAENETDOWN = 10050;
constexpr int WSAENETUNREACH = 10051;
constexpr int WSAENETRESET = 10052;
constexpr int WSAECONNABORTED = 10053;
constexpr int WSAECONNRESET = 10054;
constexpr int WSAENOBUFS = 10055;
constexpr int WSAEISCONN = 10056;
constexpr int WSAENOTCONN = 10057;
constexpr int WSAESHUTDOWN = 10058;
constexpr int WSAETOOMANYREFS = 10059;
constexpr int WSAETIMEDOUT = 10060;
constexpr int WSAECONNREFUSED = 10061;
constexpr int WSAELOOP = 10062;
constexpr int WSAENAMETOOLONG = 10063;
constexpr int WSAEHOSTDOWN = 10064;
constexpr int WSAEHOSTUNREACH = 10065;
constexpr int WSAENOTEMPTY = 10066;
constexpr int WSAEPROCLIM = 10067;
constexpr int WSAEUSERS = 10068;
constexpr int WSAEDQUOT = 10069;
constexpr int WSAESTALE = 10070;
constexpr int WSAEREMOTE = 10071;
constexpr int WSASYSNOTREADY = 10091;
constexpr int WSAVERNOTSUPPORTED = 10092;
constexpr int WSANOTINITIALISED = 10093;
constexpr int WSAHOST_NOT_FOUND = 11001;
constexpr int WSATRY_AGAIN = 11002;
constexpr int WSANO_RECOVERY = 11003;
constexpr int WSANO_DATA = 11004;

// Buffer size that always holds a lookup reply.
constexpr int MAXGETHOSTSTRUCT = 1024;

// Structures in the WinSock layout.
struct IN_ADDR {
  u_long s_addr;  // network order
};
struct SOCKADDR {
  u_short sa_family;
  char sa_data[14];
};
struct SOCKADDR_IN {
  short sin_family;
  u_short sin_port;  // network order
  IN_ADDR sin_addr;
  char sin_zero[8];
};
static_assert(sizeof(SOCKADDR_IN) == 16);
struct LINGER {
  u_short l_onoff;
  u_short l_linger;  // seconds
};
struct IP_MREQ {
  IN_ADDR imr_multiaddr;
  IN_ADDR imr_interface;
};
struct TCP_KEEPALIVE {
  u_long onoff;
  u_long keepalivetime;      // milliseconds
  u_long keepaliveinterval;  // milliseconds
};
struct HOSTENT {
  char* h_name;
  char** h_aliases;
  short h_addrtype;
  short h_length;
  char** h_addr_list;  // ends with nullptr; each entry points to h_length bytes
};
struct SERVENT {
  char* s_name;
  char** s_aliases;
  short s_port;  // network order
  char* s_proto;
};
struct PROTOENT {
  char* p_name;
  char** p_aliases;
  short p_proto;
};
struct WSADATA {
  WORD wVersion;
  WORD wHighVersion;
  char szDescription[257];
  char szSystemStatus[129];
};

// Library start and end. The version word is major in the low byte, minor in the high
// byte; versions 1.0 to 2.2 are served (WSAVERNOTSUPPORTED below). Returns 0 or an error.
int WSAStartup(WORD versionRequested, WSADATA* data);
int WSACleanup();

int WSAGetLastError();
void WSASetLastError(int error);

SOCKET socket(int af, int type, int protocol);
int closesocket(SOCKET s);
int bind(SOCKET s, const SOCKADDR* name, int namelen);
int listen(SOCKET s, int backlog);
SOCKET accept(SOCKET s, SOCKADDR* addr, int* addrlen);
// On a non-blocking socket a connect in progress fails with WSAEWOULDBLOCK.
int connect(SOCKET s, const SOCKADDR* name, int namelen);
int send(SOCKET s, const char* buf, int len, int flags);
int sendto(SOCKET s, const char* buf, int len, int flags, const SOCKADDR* to, int tolen);
int recv(SOCKET s, char* buf, int len, int flags);
int recvfrom(SOCKET s, char* buf, int len, int flags, SOCKADDR* from, int* fromlen);
int shutdown(SOCKET s, int how);
int setsockopt(SOCKET s, int level, int optname, const char* optval, int optlen);
int getsockopt(SOCKET s, int level, int optname, char* optval, int* optlen);
int ioctlsocket(SOCKET s, long cmd, u_long* argp);
int WSAIoctl(SOCKET s, DWORD ioControlCode, const void* inBuffer, DWORD inSize, void* outBuffer,
             DWORD outSize, DWORD* bytesReturned);
int getsockname(SOCKET s, SOCKADDR* name, int* namelen);
int getpeername(SOCKET s, SOCKADDR* name, int* namelen);

u_long inet_addr(const char* cp);
// Text in a buffer of the calling thread, valid until its next call.
char* inet_ntoa(IN_ADDR in);
u_short htons(u_short v);
u_short ntohs(u_short v);
u_long htonl(u_long v);
u_long ntohl(u_long v);

// Blocking lookups; the entries live in storage of the calling thread until its next
// call of the same function. nullptr on failure (WSAGetLastError tells why).
HOSTENT* gethostbyname(const char* name);
HOSTENT* gethostbyaddr(const char* addr, int len, int type);
SERVENT* getservbyname(const char* name, const char* proto);
PROTOENT* getprotobyname(const char* name);
int gethostname(char* name, int namelen);

int WSAAsyncSelect(SOCKET s, HWND hwnd, UINT msg, long events);

using ASYNC_HANDLE = uintptr_t;
// 0 on failure.
ASYNC_HANDLE WSAAsyncGetHostByName(HWND hwnd, UINT msg, const char* name, char* buf,
                                   int buflen);
ASYNC_HANDLE WSAAsyncGetHostByAddr(HWND hwnd, UINT msg, const char* addr, int len, int type,
                                   char* buf, int buflen);
// Succeeds for a request that is still running (its reply is dropped) and for one that
// has ended (its reply may be queued already: the owner tells a stale reply by its
// handle); WSAEINVAL for a handle never handed out.
int WSACancelAsyncRequest(ASYNC_HANDLE handle);

}  // namespace platform
