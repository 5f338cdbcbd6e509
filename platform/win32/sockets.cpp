// WinSock 2 itself: our shapes and numbers are the WinSock ones, so most calls only
// change the handle and structure types. Where Win64's layout differs (WSADATA, SERVENT)
// the fields are copied.
#include "platform/sockets.h"

#include <cstddef>
#include <cstring>

#include "platform/win32/winapi.h"

namespace platform {

namespace {

::SOCKET Native(SOCKET s) { return static_cast<::SOCKET>(s); }
const sockaddr* Native(const SOCKADDR* a) { return reinterpret_cast<const sockaddr*>(a); }
sockaddr* Native(SOCKADDR* a) { return reinterpret_cast<sockaddr*>(a); }

static_assert(sizeof(::hostent) == sizeof(HOSTENT) && offsetof(::hostent, h_addr_list) == offsetof(HOSTENT, h_addr_list));
static_assert(sizeof(::protoent) == sizeof(PROTOENT));
static_assert(sizeof(::sockaddr_in) == sizeof(SOCKADDR_IN) && sizeof(::linger) == sizeof(LINGER));

}  // namespace

int WSAStartup(WORD versionRequested, WSADATA* data) {
  ::WSADATA native;
  const int rc = ::WSAStartup(versionRequested, &native);
  if (data) {
    *data = WSADATA{};
    data->wVersion = native.wVersion;
    data->wHighVersion = native.wHighVersion;
    std::memcpy(data->szDescription, native.szDescription, sizeof data->szDescription - 1);
    std::memcpy(data->szSystemStatus, native.szSystemStatus, sizeof data->szSystemStatus - 1);
  }
  return rc;
}

int WSACleanup() { return ::WSACleanup(); }
int WSAGetLastError() { return ::WSAGetLastError(); }
void WSASetLastError(int error) { ::WSASetLastError(error); }

SOCKET socket(int af, int type, int protocol) {
  // The system's ~0 is our -1.
  return static_cast<SOCKET>(::socket(af, type, protocol));
}

int closesocket(SOCKET s) { return ::closesocket(Native(s)); }
int bind(SOCKET s, const SOCKADDR* name, int namelen) { return ::bind(Native(s), Native(name), namelen); }
int listen(SOCKET s, int backlog) { return ::listen(Native(s), backlog); }

SOCKET accept(SOCKET s, SOCKADDR* addr, int* addrlen) {
  return static_cast<SOCKET>(::accept(Native(s), Native(addr), addrlen));
}

int connect(SOCKET s, const SOCKADDR* name, int namelen) { return ::connect(Native(s), Native(name), namelen); }
int send(SOCKET s, const char* buf, int len, int flags) { return ::send(Native(s), buf, len, flags); }
int sendto(SOCKET s, const char* buf, int len, int flags, const SOCKADDR* to, int tolen) {
  return ::sendto(Native(s), buf, len, flags, Native(to), tolen);
}
int recv(SOCKET s, char* buf, int len, int flags) { return ::recv(Native(s), buf, len, flags); }
int recvfrom(SOCKET s, char* buf, int len, int flags, SOCKADDR* from, int* fromlen) {
  return ::recvfrom(Native(s), buf, len, flags, Native(from), fromlen);
}
int shutdown(SOCKET s, int how) { return ::shutdown(Native(s), how); }
int setsockopt(SOCKET s, int level, int optname, const char* optval, int optlen) {
  return ::setsockopt(Native(s), level, optname, optval, optlen);
}
int getsockopt(SOCKET s, int level, int optname, char* optval, int* optlen) {
  return ::getsockopt(Native(s), level, optname, optval, optlen);
}
int ioctlsocket(SOCKET s, long cmd, u_long* argp) {
  static_assert(sizeof(::u_long) == sizeof(u_long));
  return ::ioctlsocket(Native(s), cmd, reinterpret_cast<::u_long*>(argp));
}
int WSAIoctl(SOCKET s, DWORD ioControlCode, const void* inBuffer, DWORD inSize, void* outBuffer, DWORD outSize,
             DWORD* bytesReturned) {
  ::DWORD returned = 0;
  const int rc = ::WSAIoctl(Native(s), ioControlCode, const_cast<void*>(inBuffer), inSize, outBuffer, outSize,
                            &returned, nullptr, nullptr);
  if (bytesReturned) *bytesReturned = returned;
  return rc;
}
int getsockname(SOCKET s, SOCKADDR* name, int* namelen) { return ::getsockname(Native(s), Native(name), namelen); }
int getpeername(SOCKET s, SOCKADDR* name, int* namelen) { return ::getpeername(Native(s), Native(name), namelen); }

u_long inet_addr(const char* cp) { return ::inet_addr(cp); }

char* inet_ntoa(IN_ADDR in) {
  // s_addr is a macro of the system's headers: copy the bytes.
  ::in_addr a;
  std::memcpy(&a, &in, sizeof a);
  return ::inet_ntoa(a);
}

u_short htons(u_short v) { return ::htons(v); }
u_short ntohs(u_short v) { return ::ntohs(v); }
u_long htonl(u_long v) { return ::htonl(v); }
u_long ntohl(u_long v) { return ::ntohl(v); }

HOSTENT* gethostbyname(const char* name) { return reinterpret_cast<HOSTENT*>(::gethostbyname(name)); }

HOSTENT* gethostbyaddr(const char* addr, int len, int type) {
  return reinterpret_cast<HOSTENT*>(::gethostbyaddr(addr, len, type));
}

SERVENT* getservbyname(const char* name, const char* proto) {
  const ::servent* s = ::getservbyname(name, proto);
  if (!s) return nullptr;
  // Win64 keeps s_proto before s_port.
  thread_local SERVENT entry;
  entry.s_name = s->s_name;
  entry.s_aliases = s->s_aliases;
  entry.s_port = s->s_port;
  entry.s_proto = s->s_proto;
  return &entry;
}

PROTOENT* getprotobyname(const char* name) { return reinterpret_cast<PROTOENT*>(::getprotobyname(name)); }

int gethostname(char* name, int namelen) { return ::gethostname(name, namelen); }

int WSAAsyncSelect(SOCKET s, HWND hwnd, UINT msg, long events) {
  return ::WSAAsyncSelect(Native(s), reinterpret_cast<::HWND>(hwnd), msg, events);
}

ASYNC_HANDLE WSAAsyncGetHostByName(HWND hwnd, UINT msg, const char* name, char* buf, int buflen) {
  return reinterpret_cast<ASYNC_HANDLE>(
      ::WSAAsyncGetHostByName(reinterpret_cast<::HWND>(hwnd), msg, name, buf, buflen));
}

ASYNC_HANDLE WSAAsyncGetHostByAddr(HWND hwnd, UINT msg, const char* addr, int len, int type, char* buf,
                                   int buflen) {
  return reinterpret_cast<ASYNC_HANDLE>(
      ::WSAAsyncGetHostByAddr(reinterpret_cast<::HWND>(hwnd), msg, addr, len, type, buf, buflen));
}

int WSACancelAsyncRequest(ASYNC_HANDLE handle) {
  return ::WSACancelAsyncRequest(reinterpret_cast<::HANDLE>(handle));
}

}  // namespace platform
