// Linux implementation of the WinSock-shaped socket calls.
//
// The system headers use many of the WinSock names as macros with other values, so they
// are included first, the values we need are copied into namespace sys, and the clashing
// macros are removed before our own header is read.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace sys {
constexpr int af_inet = AF_INET;
constexpr int sock_stream = SOCK_STREAM;
constexpr int sock_dgram = SOCK_DGRAM;
constexpr int sock_raw = SOCK_RAW;
constexpr int sol_socket = SOL_SOCKET;
constexpr int so_reuseaddr = SO_REUSEADDR;
constexpr int so_keepalive = SO_KEEPALIVE;
constexpr int so_broadcast = SO_BROADCAST;
constexpr int so_linger = SO_LINGER;
constexpr int so_sndbuf = SO_SNDBUF;
constexpr int so_rcvbuf = SO_RCVBUF;
constexpr int so_error = SO_ERROR;
constexpr int so_type = SO_TYPE;
constexpr int ipproto_ip = IPPROTO_IP;
constexpr int ipproto_tcp = IPPROTO_TCP;
constexpr int tcp_nodelay = TCP_NODELAY;
constexpr int ip_multicast_if = IP_MULTICAST_IF;
constexpr int ip_multicast_ttl = IP_MULTICAST_TTL;
constexpr int ip_add_membership = IP_ADD_MEMBERSHIP;
constexpr unsigned long fionread = FIONREAD;
constexpr int msg_oob = MSG_OOB;
constexpr int msg_peek = MSG_PEEK;
constexpr int msg_nosignal = MSG_NOSIGNAL;
inline uint16_t Htons(uint16_t v) { return htons(v); }
inline uint32_t Htonl(uint32_t v) { return htonl(v); }
}  // namespace sys

#undef AF_UNSPEC
#undef AF_INET
#undef SOCK_STREAM
#undef SOCK_DGRAM
#undef SOCK_RAW
#undef IPPROTO_IP
#undef IPPROTO_TCP
#undef IPPROTO_UDP
#undef IPPROTO_RAW
#undef INADDR_ANY
#undef INADDR_NONE
#undef INADDR_BROADCAST
#undef SOL_SOCKET
#undef SO_REUSEADDR
#undef SO_KEEPALIVE
#undef SO_BROADCAST
#undef SO_LINGER
#undef SO_SNDBUF
#undef SO_RCVBUF
#undef SO_ERROR
#undef SO_TYPE
#undef TCP_NODELAY
#undef IP_MULTICAST_IF
#undef IP_MULTICAST_TTL
#undef IP_ADD_MEMBERSHIP
#undef FIONREAD
#undef FIONBIO
#undef MSG_OOB
#undef MSG_PEEK
#undef htons
#undef ntohs
#undef htonl
#undef ntohl

#include "platform/messages.h"
#include "platform/sockets.h"

namespace platform {

// ---------------------------------------------------------------------------------------
// Error numbers: every system and resolver code the socket calls can meet, in one table.

namespace {

enum class ErrKind { Errno, Resolver, HostErr };

struct ErrorMapping {
  ErrKind kind;
  int native;
  int wsa;
};

const ErrorMapping kErrorTable[] = {
    {ErrKind::Errno, EINTR, WSAEINTR},
    {ErrKind::Errno, EBADF, WSAENOTSOCK},
    {ErrKind::Errno, EACCES, WSAEACCES},
    {ErrKind::Errno, EPERM, WSAEACCES},
    {ErrKind::Errno, EFAULT, WSAEFAULT},
    {ErrKind::Errno, EINVAL, WSAEINVAL},
    {ErrKind::Errno, EMFILE, WSAEMFILE},
    {ErrKind::Errno, ENFILE, WSAEMFILE},
    {ErrKind::Errno, EAGAIN, WSAEWOULDBLOCK},
    {ErrKind::Errno, EINPROGRESS, WSAEINPROGRESS},
    {ErrKind::Errno, EALREADY, WSAEALREADY},
    {ErrKind::Errno, ENOTSOCK, WSAENOTSOCK},
    {ErrKind::Errno, EDESTADDRREQ, WSAEDESTADDRREQ},
    {ErrKind::Errno, EMSGSIZE, WSAEMSGSIZE},
    {ErrKind::Errno, EPROTOTYPE, WSAEPROTOTYPE},
    {ErrKind::Errno, ENOPROTOOPT, WSAENOPROTOOPT},
    {ErrKind::Errno, EPROTONOSUPPORT, WSAEPROTONOSUPPORT},
    {ErrKind::Errno, ESOCKTNOSUPPORT, WSAESOCKTNOSUPPORT},
    {ErrKind::Errno, EOPNOTSUPP, WSAEOPNOTSUPP},
    {ErrKind::Errno, EPFNOSUPPORT, WSAEPFNOSUPPORT},
    {ErrKind::Errno, EAFNOSUPPORT, WSAEAFNOSUPPORT},
    {ErrKind::Errno, EADDRINUSE, WSAEADDRINUSE},
    {ErrKind::Errno, EADDRNOTAVAIL, WSAEADDRNOTAVAIL},
    {ErrKind::Errno, ENETDOWN, WSAENETDOWN},
    {ErrKind::Errno, ENETUNREACH, WSAENETUNREACH},
    {ErrKind::Errno, ENETRESET, WSAENETRESET},
    {ErrKind::Errno, ECONNABORTED, WSAECONNABORTED},
    {ErrKind::Errno, ECONNRESET, WSAECONNRESET},
    // A send to a connection the peer has reset; a send after our own shutdown is
    // told apart where it happens.
    {ErrKind::Errno, EPIPE, WSAECONNRESET},
    {ErrKind::Errno, ENOBUFS, WSAENOBUFS},
    {ErrKind::Errno, ENOMEM, WSAENOBUFS},
    {ErrKind::Errno, EISCONN, WSAEISCONN},
    {ErrKind::Errno, ENOTCONN, WSAENOTCONN},
    {ErrKind::Errno, ESHUTDOWN, WSAESHUTDOWN},
    {ErrKind::Errno, ETOOMANYREFS, WSAETOOMANYREFS},
    {ErrKind::Errno, ETIMEDOUT, WSAETIMEDOUT},
    {ErrKind::Errno, ECONNREFUSED, WSAECONNREFUSED},
    {ErrKind::Errno, ELOOP, WSAELOOP},
    {ErrKind::Errno, ENAMETOOLONG, WSAENAMETOOLONG},
    {ErrKind::Errno, EHOSTDOWN, WSAEHOSTDOWN},
    {ErrKind::Errno, EHOSTUNREACH, WSAEHOSTUNREACH},
    {ErrKind::Errno, ENOTEMPTY, WSAENOTEMPTY},
    {ErrKind::Errno, EUSERS, WSAEUSERS},
    {ErrKind::Errno, EDQUOT, WSAEDQUOT},
    {ErrKind::Errno, ESTALE, WSAESTALE},
    {ErrKind::Errno, EREMOTE, WSAEREMOTE},
    {ErrKind::Resolver, EAI_NONAME, WSAHOST_NOT_FOUND},
    {ErrKind::Resolver, EAI_AGAIN, WSATRY_AGAIN},
    {ErrKind::Resolver, EAI_FAIL, WSANO_RECOVERY},
    {ErrKind::Resolver, EAI_NODATA, WSANO_DATA},
    {ErrKind::Resolver, EAI_ADDRFAMILY, WSANO_DATA},
    {ErrKind::Resolver, EAI_MEMORY, WSAENOBUFS},
    {ErrKind::Resolver, EAI_FAMILY, WSAEAFNOSUPPORT},
    {ErrKind::Resolver, EAI_SOCKTYPE, WSAESOCKTNOSUPPORT},
    {ErrKind::Resolver, EAI_SERVICE, WSANO_DATA},
    {ErrKind::Resolver, EAI_BADFLAGS, WSAEINVAL},
    {ErrKind::Resolver, EAI_OVERFLOW, WSAEFAULT},
    {ErrKind::HostErr, HOST_NOT_FOUND, WSAHOST_NOT_FOUND},
    {ErrKind::HostErr, TRY_AGAIN, WSATRY_AGAIN},
    {ErrKind::HostErr, NO_RECOVERY, WSANO_RECOVERY},
    {ErrKind::HostErr, NO_DATA, WSANO_DATA},
};

int MapError(ErrKind kind, int native) {
  if (kind == ErrKind::Resolver && native == EAI_SYSTEM) return MapError(ErrKind::Errno, errno);
  for (const auto& e : kErrorTable)
    if (e.kind == kind && e.native == native) return e.wsa;
  return kind == ErrKind::Errno ? WSAEINVAL : WSANO_RECOVERY;
}

int Fail(int wsaError, int result = SOCKET_ERROR) {
  WSASetLastError(wsaError);
  return result;
}
int FailErrno(int result = SOCKET_ERROR) { return Fail(MapError(ErrKind::Errno, errno), result); }

int Fd(SOCKET s) { return static_cast<int>(s); }

// ---------------------------------------------------------------------------------------
// What the layer knows about each open socket, and its event registration.

class SelectSource;

struct SocketInfo {
  int type = 0;  // our SOCK_ value
  bool listening = false;
  bool connecting = false;
  bool connected = false;
  bool sendShut = false;
  // Registration.
  SelectSource* source = nullptr;
  HWND hwnd = 0;
  UINT msg = 0;
  long mask = 0;
  bool readArmed = false;
  bool writeArmed = false;
  bool acceptArmed = false;
  // Results already delivered once, delivered again to a new registration.
  bool connectSeen = false;
  int connectError = 0;
  bool closeSeen = false;
  int closeError = 0;
  // Reading SO_ERROR clears it: a reset we took from the system this way is kept here,
  // so recv still fails with it instead of reporting an orderly end.
  int resetError = 0;
};

struct Post {
  HWND hwnd;
  UINT msg;
  WPARAM socket;
  LPARAM lParam;
};

struct Registry {
  std::mutex mutex;
  std::unordered_map<int, SocketInfo> sockets;
};

// Never destroyed: lookup threads and late closes may still reach it at exit.
Registry& Reg() {
  static Registry* r = new Registry;
  return *r;
}

SocketInfo* Find(int fd) {
  auto it = Reg().sockets.find(fd);
  return it == Reg().sockets.end() ? nullptr : &it->second;
}

int PendingBytes(int fd) {
  int n = 0;
  if (::ioctl(fd, sys::fionread, &n) != 0) return 0;
  return n;
}

int SocketErrorOf(int fd) {
  int err = 0;
  socklen_t len = sizeof(err);
  if (::getsockopt(fd, sys::sol_socket, sys::so_error, &err, &len) != 0) return 0;
  return err == 0 ? 0 : MapError(ErrKind::Errno, err);
}

void PostAll(const std::vector<Post>& posts) {
  for (const auto& p : posts) PostMessage(p.hwnd, p.msg, p.socket, p.lParam);
}

void Queue(std::vector<Post>& posts, int fd, const SocketInfo& info, long event, int error) {
  posts.push_back({info.hwnd, info.msg, static_cast<WPARAM>(fd),
                   WSAMAKESELECTREPLY(static_cast<WORD>(event), static_cast<WORD>(error))});
}

thread_local SelectSource* t_source = nullptr;

// The calling thread's share of the notification machinery: it adds the registered
// sockets to the thread's poll() and turns what poll() saw into messages.
class SelectSource : public EventSource {
 public:
  std::vector<int> fds;  // registered sockets of this thread, guarded by the registry lock

  void Prepare(std::vector<WaitItem>& out, int&) override {
    std::lock_guard<std::mutex> lock(Reg().mutex);
    for (int fd : fds) {
      SocketInfo* info = Find(fd);
      if (!info || info->mask == 0) continue;
      short events = WantedEvents(*info);
      if (events) out.push_back({fd, events, 0});
    }
  }

  void Dispatch(const WaitItem* polled, size_t count) override {
    std::vector<Post> posts;
    {
      std::lock_guard<std::mutex> lock(Reg().mutex);
      for (size_t i = 0; i < count; ++i) {
        if (polled[i].ready == 0) continue;
        const int fd = static_cast<int>(polled[i].object);
        SocketInfo* info = Find(fd);
        if (!info || info->source != this || info->mask == 0) continue;
        Handle(fd, *info, polled[i].ready, posts);
      }
    }
    PostAll(posts);
  }

 private:
  // An fd is polled only for what would produce a message: poll() reports hang-ups
  // and errors unasked, and a socket polled with nothing to deliver would spin.
  static short WantedEvents(const SocketInfo& info) {
    short ev = 0;
    if (info.listening) {
      if ((info.mask & FD_ACCEPT) && info.acceptArmed) ev |= POLLIN;
      return ev;
    }
    if (info.type != SOCK_STREAM) {
      if ((info.mask & FD_READ) && info.readArmed) ev |= POLLIN;
      if ((info.mask & FD_WRITE) && info.writeArmed) ev |= POLLOUT;
      return ev;
    }
    if (info.connecting) return POLLOUT;
    if (!info.connected) return 0;
    if ((info.mask & FD_READ) && info.readArmed) ev |= POLLIN;
    if ((info.mask & FD_WRITE) && info.writeArmed) ev |= POLLOUT;
    if ((info.mask & FD_CLOSE) && !info.closeSeen) ev |= POLLRDHUP;
    return ev;
  }

  static void Handle(int fd, SocketInfo& info, short rev, std::vector<Post>& posts) {
    if (info.listening) {
      if ((rev & POLLIN) && info.acceptArmed && (info.mask & FD_ACCEPT)) {
        info.acceptArmed = false;
        Queue(posts, fd, info, FD_ACCEPT, 0);
      }
      return;
    }
    if (info.type != SOCK_STREAM) {
      if ((rev & (POLLIN | POLLERR)) && info.readArmed && (info.mask & FD_READ)) {
        info.readArmed = false;
        Queue(posts, fd, info, FD_READ, 0);
      }
      if ((rev & POLLOUT) && info.writeArmed && (info.mask & FD_WRITE)) {
        info.writeArmed = false;
        Queue(posts, fd, info, FD_WRITE, 0);
      }
      return;
    }
    if (info.connecting) {
      if (!(rev & (POLLOUT | POLLERR | POLLHUP))) return;
      info.connecting = false;
      int err = SocketErrorOf(fd);
      if (err == 0 && (rev & POLLHUP) && !(rev & POLLOUT)) err = WSAECONNREFUSED;
      info.connectSeen = true;
      info.connectError = err;
      if (err == 0) {
        info.connected = true;
        info.readArmed = true;
      } else {
        // A failed connect is reported once, by FD_CONNECT; there is no connection to
        // close.
        info.closeSeen = true;
        info.closeError = err;
      }
      if (info.mask & FD_CONNECT) Queue(posts, fd, info, FD_CONNECT, err);
      if (err == 0 && (info.mask & FD_WRITE)) Queue(posts, fd, info, FD_WRITE, 0);
      return;
    }
    if (!info.connected) return;
    if ((rev & POLLIN) && info.readArmed && (info.mask & FD_READ)) {
      // Re-armed by the next recv, whether or not this was data or only the end.
      info.readArmed = false;
      // Readable without a hang-up or error is data; otherwise it may only be the end.
      bool data = !(rev & (POLLRDHUP | POLLHUP | POLLERR)) || PendingBytes(fd) > 0;
      if (data) Queue(posts, fd, info, FD_READ, 0);
    }
    if ((rev & POLLOUT) && info.writeArmed && (info.mask & FD_WRITE)) {
      info.writeArmed = false;
      Queue(posts, fd, info, FD_WRITE, 0);
    }
    if (!info.closeSeen && (rev & (POLLRDHUP | POLLHUP | POLLERR))) {
      info.closeSeen = true;
      info.closeError = (rev & POLLERR) ? SocketErrorOf(fd) : 0;
      info.resetError = info.closeError;
      if (info.mask & FD_CLOSE) Queue(posts, fd, info, FD_CLOSE, info.closeError);
    }
    if (rev & (POLLHUP | POLLERR)) {
      // The connection is gone: nothing more to wait for until the next recv or send.
      info.readArmed = false;
      info.writeArmed = false;
    }
  }
};

// Takes the socket out of its thread's poll set. Registry lock held.
void Unregister(int fd, SocketInfo& info) {
  SelectSource* src = info.source;
  info.source = nullptr;
  info.mask = 0;
  if (!src) return;
  src->fds.erase(std::remove(src->fds.begin(), src->fds.end(), fd), src->fds.end());
}

// Sources are removed from the loop by their own thread once they serve no socket.
// Registry lock not held.
void DropIdleSource() {
  SelectSource* src = t_source;
  if (!src) return;
  {
    std::lock_guard<std::mutex> lock(Reg().mutex);
    if (!src->fds.empty()) return;
  }
  RemoveEventSource(src);
  t_source = nullptr;
  delete src;
}

void SetNonBlocking(int fd, bool on) {
  int flags = ::fcntl(fd, F_GETFL, 0);
  if (flags < 0) return;
  ::fcntl(fd, F_SETFL, on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK));
}

bool ToSystemAddr(const SOCKADDR* name, int namelen, sockaddr_in& out) {
  if (!name || namelen < static_cast<int>(sizeof(SOCKADDR_IN))) return false;
  const auto* in = reinterpret_cast<const SOCKADDR_IN*>(name);
  std::memset(&out, 0, sizeof(out));
  out.sin_family = static_cast<sa_family_t>(in->sin_family == AF_INET ? sys::af_inet : in->sin_family);
  out.sin_port = in->sin_port;
  out.sin_addr.s_addr = in->sin_addr.s_addr;
  return true;
}

void FromSystemAddr(const sockaddr_in& in, SOCKADDR* name, int* namelen) {
  SOCKADDR_IN out{};
  out.sin_family = static_cast<short>(in.sin_family == sys::af_inet ? AF_INET : in.sin_family);
  out.sin_port = in.sin_port;
  out.sin_addr.s_addr = in.sin_addr.s_addr;
  std::memcpy(name, &out, sizeof(out));
  *namelen = sizeof(out);
}

int SystemType(int type) {
  switch (type) {
    case SOCK_STREAM: return sys::sock_stream;
    case SOCK_DGRAM: return sys::sock_dgram;
    case SOCK_RAW: return sys::sock_raw;
    default: return -1;
  }
}

int SystemFlags(int flags) {
  int out = 0;
  if (flags & MSG_OOB) out |= sys::msg_oob;
  if (flags & MSG_PEEK) out |= sys::msg_peek;
  return out;
}

thread_local int t_lastError = 0;

}  // namespace

int WSAGetLastError() { return t_lastError; }
void WSASetLastError(int error) {
  t_lastError = error;
  SetLastError(static_cast<DWORD>(error));
}

namespace {
std::atomic<int> g_startups{0};
}

int WSAStartup(WORD versionRequested, WSADATA* data) {
  int major = versionRequested & 0xFF;
  int minor = versionRequested >> 8;
  if (major < 1) return WSAVERNOTSUPPORTED;
  if (!data) return WSAEFAULT;
  std::memset(data, 0, sizeof(*data));
  data->wHighVersion = 0x0202;
  data->wVersion = (major > 2 || (major == 2 && minor > 2)) ? 0x0202 : versionRequested;
  std::strcpy(data->szDescription, "Linux sockets");
  std::strcpy(data->szSystemStatus, "Running");
  ++g_startups;
  return 0;
}

int WSACleanup() {
  int n = g_startups.load();
  while (n > 0 && !g_startups.compare_exchange_weak(n, n - 1)) {
  }
  return n > 0 ? 0 : Fail(WSANOTINITIALISED);
}

SOCKET socket(int af, int type, int protocol) {
  if (af != AF_INET) return Fail(WSAEAFNOSUPPORT, static_cast<int>(INVALID_SOCKET));
  int systype = SystemType(type);
  if (systype < 0) return Fail(WSAESOCKTNOSUPPORT, static_cast<int>(INVALID_SOCKET));
  int fd = ::socket(sys::af_inet, systype | SOCK_CLOEXEC, protocol);
  if (fd < 0) return FailErrno(static_cast<int>(INVALID_SOCKET));
  std::lock_guard<std::mutex> lock(Reg().mutex);
  SocketInfo info;
  info.type = type;
  Reg().sockets[fd] = info;
  return fd;
}

int closesocket(SOCKET s) {
  int fd = Fd(s);
  HWND hwnd = 0;
  UINT msg = 0;
  bool known;
  {
    std::lock_guard<std::mutex> lock(Reg().mutex);
    SocketInfo* info = Find(fd);
    known = info != nullptr;
    if (info) {
      hwnd = info->hwnd;
      msg = info->msg;
      Unregister(fd, *info);
      Reg().sockets.erase(fd);
    }
  }
  if (!known) return Fail(WSAENOTSOCK);
  // Descriptor numbers come back at once on Linux: a notification of this socket still
  // queued would otherwise be taken for one of the next socket with the same number.
  if (hwnd && GetSinkThreadId(hwnd) == GetCurrentThreadId()) {
    MSG m;
    std::vector<MSG> others;
    while (PeekMessage(&m, hwnd, msg, msg, PM_REMOVE))
      if (m.wParam != static_cast<WPARAM>(fd)) others.push_back(m);
    for (const auto& o : others) PostMessage(o.hwnd, o.message, o.wParam, o.lParam);
  }
  DropIdleSource();
  if (::close(fd) != 0 && errno != EINTR) return FailErrno();
  return 0;
}

int bind(SOCKET s, const SOCKADDR* name, int namelen) {
  sockaddr_in sa;
  if (!ToSystemAddr(name, namelen, sa)) return Fail(WSAEFAULT);
  if (::bind(Fd(s), reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0) return FailErrno();
  return 0;
}

int listen(SOCKET s, int backlog) {
  if (::listen(Fd(s), backlog) != 0) return FailErrno();
  std::lock_guard<std::mutex> lock(Reg().mutex);
  if (SocketInfo* info = Find(Fd(s))) {
    info->listening = true;
    info->acceptArmed = true;
  }
  return 0;
}

SOCKET accept(SOCKET s, SOCKADDR* addr, int* addrlen) {
  sockaddr_in sa{};
  socklen_t len = sizeof(sa);
  int fd = ::accept4(Fd(s), reinterpret_cast<sockaddr*>(&sa), &len, SOCK_CLOEXEC);
  int err = errno;
  std::lock_guard<std::mutex> lock(Reg().mutex);
  if (SocketInfo* info = Find(Fd(s))) info->acceptArmed = true;
  if (fd < 0) {
    errno = err;
    return FailErrno(static_cast<int>(INVALID_SOCKET));
  }
  SocketInfo info;
  info.type = SOCK_STREAM;
  info.connected = true;
  Reg().sockets[fd] = info;
  if (addr && addrlen) {
    if (*addrlen < static_cast<int>(sizeof(SOCKADDR_IN))) {
      // The connection is taken all the same; only the address does not fit.
      *addrlen = sizeof(SOCKADDR_IN);
    } else {
      FromSystemAddr(sa, addr, addrlen);
    }
  }
  return fd;
}

int connect(SOCKET s, const SOCKADDR* name, int namelen) {
  sockaddr_in sa;
  if (!ToSystemAddr(name, namelen, sa)) return Fail(WSAEFAULT);
  int rc = ::connect(Fd(s), reinterpret_cast<sockaddr*>(&sa), sizeof(sa));
  int err = errno;
  std::lock_guard<std::mutex> lock(Reg().mutex);
  SocketInfo* info = Find(Fd(s));
  bool registered = info && info->mask != 0;
  if (rc == 0) {
    if (info && info->type == SOCK_STREAM) {
      // A registered socket still hears of its connect by message.
      if (registered) info->connecting = true;
      else info->connected = true;
    }
    return 0;
  }
  if (err == EINPROGRESS) {
    if (info) info->connecting = true;
    return Fail(WSAEWOULDBLOCK);
  }
  errno = err;
  return FailErrno();
}

int send(SOCKET s, const char* buf, int len, int flags) {
  ssize_t n = ::send(Fd(s), buf, static_cast<size_t>(std::max(len, 0)),
                     SystemFlags(flags) | sys::msg_nosignal);
  if (n >= 0) {
    if (n < len) {
      // Only part went: the system's buffer is full, so the next send would block.
      std::lock_guard<std::mutex> lock(Reg().mutex);
      if (SocketInfo* info = Find(Fd(s))) info->writeArmed = true;
    }
    return static_cast<int>(n);
  }
  int err = errno;
  std::lock_guard<std::mutex> lock(Reg().mutex);
  SocketInfo* info = Find(Fd(s));
  if (err == EAGAIN && info) info->writeArmed = true;
  if (err == EPIPE && info && info->sendShut) return Fail(WSAESHUTDOWN);
  errno = err;
  return FailErrno();
}

int sendto(SOCKET s, const char* buf, int len, int flags, const SOCKADDR* to, int tolen) {
  sockaddr_in sa;
  if (!ToSystemAddr(to, tolen, sa)) return Fail(WSAEFAULT);
  ssize_t n = ::sendto(Fd(s), buf, static_cast<size_t>(std::max(len, 0)),
                       SystemFlags(flags) | sys::msg_nosignal, reinterpret_cast<sockaddr*>(&sa),
                       sizeof(sa));
  if (n >= 0) return static_cast<int>(n);
  int err = errno;
  std::lock_guard<std::mutex> lock(Reg().mutex);
  if (err == EAGAIN)
    if (SocketInfo* info = Find(Fd(s))) info->writeArmed = true;
  errno = err;
  return FailErrno();
}

namespace {
// Returns the reset error kept for the socket, 0 when there is none.
int RearmRead(int fd) {
  std::lock_guard<std::mutex> lock(Reg().mutex);
  SocketInfo* info = Find(fd);
  if (!info) return 0;
  info->readArmed = true;
  return info->resetError;
}
}  // namespace

int recv(SOCKET s, char* buf, int len, int flags) {
  ssize_t n = ::recv(Fd(s), buf, static_cast<size_t>(std::max(len, 0)), SystemFlags(flags));
  int err = errno;
  int reset = RearmRead(Fd(s));
  if (n == 0 && len > 0 && reset) return Fail(reset);
  if (n >= 0) return static_cast<int>(n);
  errno = err;
  return FailErrno();
}

int recvfrom(SOCKET s, char* buf, int len, int flags, SOCKADDR* from, int* fromlen) {
  sockaddr_in sa{};
  socklen_t salen = sizeof(sa);
  ssize_t n = ::recvfrom(Fd(s), buf, static_cast<size_t>(std::max(len, 0)), SystemFlags(flags),
                         reinterpret_cast<sockaddr*>(&sa), &salen);
  int err = errno;
  RearmRead(Fd(s));
  if (n < 0) {
    errno = err;
    return FailErrno();
  }
  if (from && fromlen) {
    if (*fromlen < static_cast<int>(sizeof(SOCKADDR_IN))) return Fail(WSAEFAULT);
    FromSystemAddr(sa, from, fromlen);
  }
  return static_cast<int>(n);
}

int shutdown(SOCKET s, int how) {
  int syshow = how == SD_RECEIVE ? SHUT_RD : how == SD_SEND ? SHUT_WR : how == SD_BOTH ? SHUT_RDWR : -1;
  if (syshow < 0) return Fail(WSAEINVAL);
  if (::shutdown(Fd(s), syshow) != 0) return FailErrno();
  std::lock_guard<std::mutex> lock(Reg().mutex);
  if (SocketInfo* info = Find(Fd(s)); info && how != SD_RECEIVE) info->sendShut = true;
  return 0;
}

namespace {
// Option names as the system knows them; false for one we do not serve.
bool SystemOption(int level, int optname, int& syslevel, int& sysname) {
  if (level == SOL_SOCKET) {
    syslevel = sys::sol_socket;
    switch (optname) {
      case SO_REUSEADDR: sysname = sys::so_reuseaddr; return true;
      case SO_KEEPALIVE: sysname = sys::so_keepalive; return true;
      case SO_BROADCAST: sysname = sys::so_broadcast; return true;
      case SO_LINGER: sysname = sys::so_linger; return true;
      case SO_SNDBUF: sysname = sys::so_sndbuf; return true;
      case SO_RCVBUF: sysname = sys::so_rcvbuf; return true;
      case SO_ERROR: sysname = sys::so_error; return true;
      case SO_TYPE: sysname = sys::so_type; return true;
    }
    return false;
  }
  if (level == IPPROTO_TCP && optname == TCP_NODELAY) {
    syslevel = sys::ipproto_tcp;
    sysname = sys::tcp_nodelay;
    return true;
  }
  if (level == IPPROTO_IP) {
    syslevel = sys::ipproto_ip;
    switch (optname) {
      case IP_MULTICAST_IF: sysname = sys::ip_multicast_if; return true;
      case IP_MULTICAST_TTL: sysname = sys::ip_multicast_ttl; return true;
      case IP_ADD_MEMBERSHIP: sysname = sys::ip_add_membership; return true;
    }
  }
  return false;
}

// WinSock takes BOOL and int options as 1 or 4 bytes.
bool ReadIntOption(const char* optval, int optlen, int& value) {
  if (!optval) return false;
  if (optlen >= static_cast<int>(sizeof(int))) {
    std::memcpy(&value, optval, sizeof(int));
    return true;
  }
  if (optlen >= 1) {
    value = static_cast<unsigned char>(optval[0]);
    return true;
  }
  return false;
}
}  // namespace

int setsockopt(SOCKET s, int level, int optname, const char* optval, int optlen) {
  int syslevel, sysname;
  if (!SystemOption(level, optname, syslevel, sysname)) return Fail(WSAENOPROTOOPT);
  int rc;
  if (level == SOL_SOCKET && optname == SO_LINGER) {
    if (!optval || optlen < static_cast<int>(sizeof(LINGER))) return Fail(WSAEFAULT);
    LINGER wl;
    std::memcpy(&wl, optval, sizeof(wl));
    linger l{wl.l_onoff != 0, wl.l_linger};
    rc = ::setsockopt(Fd(s), syslevel, sysname, &l, sizeof(l));
  } else if (level == IPPROTO_IP && optname == IP_MULTICAST_IF) {
    if (!optval || optlen < static_cast<int>(sizeof(IN_ADDR))) return Fail(WSAEFAULT);
    in_addr a;
    std::memcpy(&a.s_addr, optval, sizeof(a.s_addr));
    rc = ::setsockopt(Fd(s), syslevel, sysname, &a, sizeof(a));
  } else if (level == IPPROTO_IP && optname == IP_ADD_MEMBERSHIP) {
    if (!optval || optlen < static_cast<int>(sizeof(IP_MREQ))) return Fail(WSAEFAULT);
    ip_mreq m;
    std::memcpy(&m, optval, sizeof(m));
    rc = ::setsockopt(Fd(s), syslevel, sysname, &m, sizeof(m));
  } else {
    int v;
    if (!ReadIntOption(optval, optlen, v)) return Fail(WSAEFAULT);
    bool boolean = sysname == sys::so_reuseaddr || sysname == sys::so_keepalive ||
                   sysname == sys::so_broadcast || sysname == sys::tcp_nodelay;
    if (boolean) v = v != 0;
    rc = ::setsockopt(Fd(s), syslevel, sysname, &v, sizeof(v));
  }
  return rc == 0 ? 0 : FailErrno();
}

int getsockopt(SOCKET s, int level, int optname, char* optval, int* optlen) {
  int syslevel, sysname;
  if (!SystemOption(level, optname, syslevel, sysname)) return Fail(WSAENOPROTOOPT);
  if (!optval || !optlen) return Fail(WSAEFAULT);
  if (level == SOL_SOCKET && optname == SO_LINGER) {
    if (*optlen < static_cast<int>(sizeof(LINGER))) return Fail(WSAEFAULT);
    linger l{};
    socklen_t len = sizeof(l);
    if (::getsockopt(Fd(s), syslevel, sysname, &l, &len) != 0) return FailErrno();
    LINGER wl{static_cast<u_short>(l.l_onoff ? 1 : 0), static_cast<u_short>(l.l_linger)};
    std::memcpy(optval, &wl, sizeof(wl));
    *optlen = sizeof(wl);
    return 0;
  }
  if (*optlen < static_cast<int>(sizeof(int))) return Fail(WSAEFAULT);
  int v = 0;
  socklen_t len = sizeof(v);
  if (::getsockopt(Fd(s), syslevel, sysname, &v, &len) != 0) return FailErrno();
  if (sysname == sys::so_error && level == SOL_SOCKET) v = v ? MapError(ErrKind::Errno, v) : 0;
  if (sysname == sys::so_type && level == SOL_SOCKET)
    v = v == sys::sock_stream ? SOCK_STREAM : v == sys::sock_dgram ? SOCK_DGRAM : SOCK_RAW;
  std::memcpy(optval, &v, sizeof(v));
  *optlen = sizeof(v);
  return 0;
}

int ioctlsocket(SOCKET s, long cmd, u_long* argp) {
  if (!argp) return Fail(WSAEFAULT);
  if (cmd == FIONREAD) {
    int n = 0;
    if (::ioctl(Fd(s), sys::fionread, &n) != 0) return FailErrno();
    *argp = static_cast<u_long>(n);
    return 0;
  }
  if (cmd == FIONBIO) {
    std::lock_guard<std::mutex> lock(Reg().mutex);
    SocketInfo* info = Find(Fd(s));
    if (!info) return Fail(WSAENOTSOCK);
    // As with WinSock, a socket with notifications stays non-blocking.
    if (*argp == 0 && info->mask != 0) return Fail(WSAEINVAL);
    SetNonBlocking(Fd(s), *argp != 0);
    return 0;
  }
  return Fail(WSAEINVAL);
}

int WSAIoctl(SOCKET s, DWORD code, const void* inBuffer, DWORD inSize, void*, DWORD,
             DWORD* bytesReturned) {
  if (bytesReturned) *bytesReturned = 0;
  if (code == SIO_KEEPALIVE_VALS) {
    if (!inBuffer || inSize < sizeof(TCP_KEEPALIVE)) return Fail(WSAEFAULT);
    TCP_KEEPALIVE ka;
    std::memcpy(&ka, inBuffer, sizeof(ka));
    int on = ka.onoff != 0;
    if (::setsockopt(Fd(s), sys::sol_socket, sys::so_keepalive, &on, sizeof(on)) != 0)
      return FailErrno();
    if (on) {
      int idle = std::max<int>(1, static_cast<int>(ka.keepalivetime / 1000));
      int intvl = std::max<int>(1, static_cast<int>(ka.keepaliveinterval / 1000));
      if (::setsockopt(Fd(s), sys::ipproto_tcp, TCP_KEEPIDLE, &idle, sizeof(idle)) != 0 ||
          ::setsockopt(Fd(s), sys::ipproto_tcp, TCP_KEEPINTVL, &intvl, sizeof(intvl)) != 0)
        return FailErrno();
    }
    return 0;
  }
  if (code == SIO_RCVALL) return Fail(WSAEOPNOTSUPP);
  return Fail(WSAEINVAL);
}

int getsockname(SOCKET s, SOCKADDR* name, int* namelen) {
  if (!name || !namelen || *namelen < static_cast<int>(sizeof(SOCKADDR_IN))) return Fail(WSAEFAULT);
  sockaddr_in sa{};
  socklen_t len = sizeof(sa);
  if (::getsockname(Fd(s), reinterpret_cast<sockaddr*>(&sa), &len) != 0) return FailErrno();
  FromSystemAddr(sa, name, namelen);
  return 0;
}

int getpeername(SOCKET s, SOCKADDR* name, int* namelen) {
  if (!name || !namelen || *namelen < static_cast<int>(sizeof(SOCKADDR_IN))) return Fail(WSAEFAULT);
  sockaddr_in sa{};
  socklen_t len = sizeof(sa);
  if (::getpeername(Fd(s), reinterpret_cast<sockaddr*>(&sa), &len) != 0) return FailErrno();
  FromSystemAddr(sa, name, namelen);
  return 0;
}

u_long inet_addr(const char* cp) { return cp ? ::inet_addr(cp) : INADDR_NONE; }

char* inet_ntoa(IN_ADDR in) {
  thread_local char buf[16];
  const auto* b = reinterpret_cast<const unsigned char*>(&in.s_addr);
  std::snprintf(buf, sizeof(buf), "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
  return buf;
}

u_short htons(u_short v) { return sys::Htons(v); }
u_short ntohs(u_short v) { return sys::Htons(v); }
u_long htonl(u_long v) { return sys::Htonl(v); }
u_long ntohl(u_long v) { return sys::Htonl(v); }

// ---------------------------------------------------------------------------------------
// Host entries.

namespace {

struct HostResult {
  int error = 0;
  std::string name;
  std::vector<std::string> aliases;
  std::vector<uint32_t> addrs;  // network order
};

HostResult LookupName(const char* name) {
  HostResult r;
  addrinfo hints{};
  hints.ai_family = sys::af_inet;
  hints.ai_socktype = sys::sock_stream;
  hints.ai_flags = AI_CANONNAME;
  addrinfo* res = nullptr;
  int rc = ::getaddrinfo(name, nullptr, &hints, &res);
  if (rc != 0) {
    r.error = MapError(ErrKind::Resolver, rc);
    return r;
  }
  r.name = res->ai_canonname ? res->ai_canonname : name;
  for (addrinfo* p = res; p; p = p->ai_next) {
    if (p->ai_family != sys::af_inet) continue;
    uint32_t a = reinterpret_cast<sockaddr_in*>(p->ai_addr)->sin_addr.s_addr;
    if (std::find(r.addrs.begin(), r.addrs.end(), a) == r.addrs.end()) r.addrs.push_back(a);
  }
  ::freeaddrinfo(res);
  if (r.addrs.empty()) r.error = WSANO_DATA;
  return r;
}

HostResult LookupAddr(const std::string& addr, int type) {
  HostResult r;
  if (type != AF_INET || addr.size() != 4) {
    r.error = WSAEAFNOSUPPORT;
    return r;
  }
  hostent he{}, *result = nullptr;
  std::vector<char> work(8192);
  int herr = 0;
  int rc;
  while ((rc = ::gethostbyaddr_r(addr.data(), 4, sys::af_inet, &he, work.data(), work.size(),
                                 &result, &herr)) == ERANGE)
    work.resize(work.size() * 2);
  if (rc != 0 || !result) {
    r.error = rc != 0 ? MapError(ErrKind::Errno, rc) : MapError(ErrKind::HostErr, herr);
    return r;
  }
  r.name = he.h_name ? he.h_name : "";
  for (char** a = he.h_aliases; a && *a; ++a) r.aliases.emplace_back(*a);
  for (char** a = he.h_addr_list; a && *a; ++a) {
    uint32_t v;
    std::memcpy(&v, *a, 4);
    r.addrs.push_back(v);
  }
  if (r.addrs.empty()) {
    uint32_t v;
    std::memcpy(&v, addr.data(), 4);
    r.addrs.push_back(v);
  }
  return r;
}

// Lays a HOSTENT out in buf, every pointer into buf. Addresses that do not fit are left
// out; returns the size a buffer needs for all of it, which is above len when something
// was left out, and WSAENOBUFS in error when not even the name and one address fit.
int FillHostEnt(const HostResult& r, char* buf, int len, int& error) {
  auto align = [](size_t v) { return (v + alignof(void*) - 1) & ~(alignof(void*) - 1); };
  uintptr_t base = reinterpret_cast<uintptr_t>(buf);
  size_t start = align(base) - base;
  size_t fixed = start + sizeof(HOSTENT) + (r.aliases.size() + 1) * sizeof(char*) + sizeof(char*);
  size_t strings = r.name.size() + 1;
  for (const auto& a : r.aliases) strings += a.size() + 1;
  size_t perAddr = sizeof(char*) + 4;
  size_t needed = fixed + strings + r.addrs.size() * perAddr;
  size_t avail = len > 0 ? static_cast<size_t>(len) : 0;
  if (avail < fixed + strings + perAddr || !buf) {
    error = WSAENOBUFS;
    return static_cast<int>(needed);
  }
  size_t count = std::min(r.addrs.size(), (avail - fixed - strings) / perAddr);
  char* p = buf + start;
  auto* he = reinterpret_cast<HOSTENT*>(p);
  p += sizeof(HOSTENT);
  auto** aliases = reinterpret_cast<char**>(p);
  p += (r.aliases.size() + 1) * sizeof(char*);
  auto** addrList = reinterpret_cast<char**>(p);
  p += (count + 1) * sizeof(char*);
  for (size_t i = 0; i < count; ++i) {
    std::memcpy(p, &r.addrs[i], 4);
    addrList[i] = p;
    p += 4;
  }
  addrList[count] = nullptr;
  auto putString = [&p](const std::string& s) {
    char* at = p;
    std::memcpy(p, s.c_str(), s.size() + 1);
    p += s.size() + 1;
    return at;
  };
  he->h_name = putString(r.name);
  for (size_t i = 0; i < r.aliases.size(); ++i) aliases[i] = putString(r.aliases[i]);
  aliases[r.aliases.size()] = nullptr;
  he->h_aliases = aliases;
  he->h_addrtype = AF_INET;
  he->h_length = 4;
  he->h_addr_list = addrList;
  error = 0;
  return static_cast<int>(needed);
}

HOSTENT* BlockingResult(const HostResult& r) {
  thread_local std::vector<char> storage;
  if (r.error) return Fail(r.error, 0), nullptr;
  int err = 0;
  storage.resize(MAXGETHOSTSTRUCT);
  int needed = FillHostEnt(r, storage.data(), static_cast<int>(storage.size()), err);
  if (needed > static_cast<int>(storage.size())) {
    storage.resize(static_cast<size_t>(needed));
    FillHostEnt(r, storage.data(), needed, err);
  }
  if (err) return Fail(err, 0), nullptr;
  uintptr_t base = reinterpret_cast<uintptr_t>(storage.data());
  size_t start = ((base + alignof(void*) - 1) & ~(alignof(void*) - 1)) - base;
  return reinterpret_cast<HOSTENT*>(storage.data() + start);
}

}  // namespace

HOSTENT* gethostbyname(const char* name) {
  if (!name || !*name) return Fail(WSAHOST_NOT_FOUND, 0), nullptr;
  return BlockingResult(LookupName(name));
}

HOSTENT* gethostbyaddr(const char* addr, int len, int type) {
  if (!addr || len != 4) return Fail(WSAEFAULT, 0), nullptr;
  return BlockingResult(LookupAddr(std::string(addr, 4), type));
}

SERVENT* getservbyname(const char* name, const char* proto) {
  thread_local SERVENT out;
  thread_local servent se;
  thread_local std::vector<char> work(4096);
  servent* result = nullptr;
  if (!name) return Fail(WSAEFAULT, 0), nullptr;
  int rc;
  while ((rc = ::getservbyname_r(name, proto, &se, work.data(), work.size(), &result)) == ERANGE)
    work.resize(work.size() * 2);
  if (rc != 0 || !result) return Fail(WSANO_DATA, 0), nullptr;
  out.s_name = se.s_name;
  out.s_aliases = se.s_aliases;
  out.s_port = static_cast<short>(se.s_port);
  out.s_proto = se.s_proto;
  return &out;
}

PROTOENT* getprotobyname(const char* name) {
  thread_local PROTOENT out;
  thread_local protoent pe;
  thread_local std::vector<char> work(4096);
  protoent* result = nullptr;
  if (!name) return Fail(WSAEFAULT, 0), nullptr;
  int rc;
  while ((rc = ::getprotobyname_r(name, &pe, work.data(), work.size(), &result)) == ERANGE)
    work.resize(work.size() * 2);
  if (rc != 0 || !result) return Fail(WSANO_DATA, 0), nullptr;
  out.p_name = pe.p_name;
  out.p_aliases = pe.p_aliases;
  out.p_proto = static_cast<short>(pe.p_proto);
  return &out;
}

int gethostname(char* name, int namelen) {
  if (!name || namelen <= 0) return Fail(WSAEFAULT);
  char buf[256];
  if (::gethostname(buf, sizeof(buf)) != 0) return FailErrno();
  buf[sizeof(buf) - 1] = 0;
  if (static_cast<int>(std::strlen(buf)) + 1 > namelen) return Fail(WSAEFAULT);
  std::strcpy(name, buf);
  return 0;
}

// ---------------------------------------------------------------------------------------
// Notifications.

int WSAAsyncSelect(SOCKET s, HWND hwnd, UINT msg, long events) {
  int fd = Fd(s);
  if (events != 0 && (!IsSink(hwnd) || GetSinkThreadId(hwnd) != GetCurrentThreadId()))
    return Fail(WSAEINVAL);
  std::vector<Post> posts;
  {
    std::lock_guard<std::mutex> lock(Reg().mutex);
    SocketInfo* info = Find(fd);
    if (!info) return Fail(WSAENOTSOCK);
    SetNonBlocking(fd, true);
    Unregister(fd, *info);
    if (events != 0) {
      if (!t_source) {
        t_source = new SelectSource;
        AddEventSource(t_source);
      }
      t_source->fds.push_back(fd);
      info->source = t_source;
      info->hwnd = hwnd;
      info->msg = msg;
      info->mask = events;
      info->readArmed = true;
      info->acceptArmed = true;
      info->writeArmed = info->type != SOCK_STREAM || info->connected;
      if (info->connectSeen && (events & FD_CONNECT))
        Queue(posts, fd, *info, FD_CONNECT, info->connectError);
      if (info->connected && info->closeSeen && (events & FD_CLOSE))
        Queue(posts, fd, *info, FD_CLOSE, info->closeError);
    }
  }
  PostAll(posts);
  if (events == 0) DropIdleSource();
  return 0;
}

// ---------------------------------------------------------------------------------------
// Host lookups on short-lived helper threads.

namespace {

struct LookupRequest {
  HWND hwnd;
  UINT msg;
  char* buf;
  int buflen;
};

struct Lookups {
  std::mutex mutex;
  ASYNC_HANDLE next = 1;
  std::unordered_map<ASYNC_HANDLE, LookupRequest> pending;
};

Lookups& Lk() {
  static Lookups* l = new Lookups;  // never destroyed: helper threads may outlive main
  return *l;
}

void Complete(ASYNC_HANDLE handle, const HostResult& r) {
  std::lock_guard<std::mutex> lock(Lk().mutex);
  auto it = Lk().pending.find(handle);
  if (it == Lk().pending.end()) return;  // cancelled
  LookupRequest req = it->second;
  Lk().pending.erase(it);
  int error = r.error;
  int needed = 0;
  if (!error) needed = FillHostEnt(r, req.buf, req.buflen, error);
  PostMessage(req.hwnd, req.msg, handle,
              static_cast<LPARAM>((static_cast<uint32_t>(std::min(needed, 0xFFFF))) |
                                  (static_cast<uint32_t>(error) << 16)));
}

template <typename Work>
ASYNC_HANDLE StartLookup(HWND hwnd, UINT msg, char* buf, int buflen, Work work) {
  if (!IsSink(hwnd) || !buf) return Fail(WSAEINVAL, 0), 0;
  ASYNC_HANDLE handle;
  {
    std::lock_guard<std::mutex> lock(Lk().mutex);
    handle = Lk().next++;
    Lk().pending[handle] = LookupRequest{hwnd, msg, buf, buflen};
  }
  try {
    std::thread([handle, work] { Complete(handle, work()); }).detach();
  } catch (const std::system_error&) {
    std::lock_guard<std::mutex> lock(Lk().mutex);
    Lk().pending.erase(handle);
    return Fail(WSAENOBUFS, 0), 0;
  }
  return handle;
}

}  // namespace

ASYNC_HANDLE WSAAsyncGetHostByName(HWND hwnd, UINT msg, const char* name, char* buf, int buflen) {
  if (!name) return Fail(WSAEFAULT, 0), 0;
  std::string host = name;
  return StartLookup(hwnd, msg, buf, buflen, [host] { return LookupName(host.c_str()); });
}

ASYNC_HANDLE WSAAsyncGetHostByAddr(HWND hwnd, UINT msg, const char* addr, int len, int type,
                                   char* buf, int buflen) {
  if (!addr || len != 4) return Fail(WSAEFAULT, 0), 0;
  std::string a(addr, 4);
  return StartLookup(hwnd, msg, buf, buflen, [a, type] { return LookupAddr(a, type); });
}

int WSACancelAsyncRequest(ASYNC_HANDLE handle) {
  std::lock_guard<std::mutex> lock(Lk().mutex);
  if (handle == 0 || handle >= Lk().next) return Fail(WSAEINVAL);
  // A finished request has posted its reply already; its owner tells it from a current
  // one by the handle, so cancelling it is no failure.
  Lk().pending.erase(handle);
  return 0;
}

}  // namespace platform
