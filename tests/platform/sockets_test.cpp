#include "platform/sockets.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "platform/messages.h"

using namespace platform;

namespace {

struct Note {
  WPARAM socket;
  WORD event;
  WORD error;
};
std::vector<Note>* g_notes = nullptr;

LRESULT Proc(HWND, UINT msg, WPARAM w, LPARAM l) {
  if (msg == WM_USER + 1 && g_notes) g_notes->push_back({w, WSAGETSELECTEVENT(l), WSAGETSELECTERROR(l)});
  if (msg == WM_USER + 2 && g_notes) g_notes->push_back({w, 0xFFFF, WSAGETASYNCERROR(l)});
  return 0;
}

// Turns everything ready into messages and dispatches them.
void Pump() {
  MSG m;
  for (int i = 0; i < 5; ++i) {
    MsgWaitForInput(5);
    while (PeekMessage(&m, 0, 0, 0, PM_REMOVE)) DispatchMessage(&m);
  }
}

bool PumpFor(const std::function<bool()>& cond) {
  MSG m;
  for (int i = 0; i < 2000 && !cond(); ++i) {
    MsgWaitForInput(10);
    while (PeekMessage(&m, 0, 0, 0, PM_REMOVE)) DispatchMessage(&m);
  }
  return cond();
}

int Count(const std::vector<Note>& notes, WORD event) {
  int n = 0;
  for (const auto& x : notes) n += x.event == event;
  return n;
}

class SocketPair : public ::testing::Test {
 protected:
  void SetUp() override {
    g_notes = &notes;
    sink = CreateSink(&Proc);
    listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    SOCKADDR_IN a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = inet_addr("127.0.0.1");
    ASSERT_EQ(bind(listener, reinterpret_cast<SOCKADDR*>(&a), sizeof(a)), 0);
    ASSERT_EQ(listen(listener, 2), 0);
    int len = sizeof(a);
    getsockname(listener, reinterpret_cast<SOCKADDR*>(&a), &len);
    client = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    ASSERT_EQ(WSAAsyncSelect(client, sink, WM_USER + 1, FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE), 0);
    int rc = connect(client, reinterpret_cast<SOCKADDR*>(&a), sizeof(a));
    ASSERT_TRUE(rc == 0 || WSAGetLastError() == WSAEWOULDBLOCK);
    ASSERT_TRUE(PumpFor([&] { return Count(notes, FD_CONNECT) == 1; }));
    server = accept(listener, nullptr, nullptr);
    ASSERT_NE(server, INVALID_SOCKET);
  }
  void TearDown() override {
    if (client != INVALID_SOCKET) closesocket(client);
    if (server != INVALID_SOCKET) closesocket(server);
    closesocket(listener);
    DestroySink(sink);
    g_notes = nullptr;
  }
  std::vector<Note> notes;
  HWND sink = 0;
  SOCKET listener = INVALID_SOCKET, client = INVALID_SOCKET, server = INVALID_SOCKET;
};

}  // namespace

TEST_F(SocketPair, ConnectIsFollowedByOneWriteAndReadIsReArmedByRecv) {
  Pump();
  EXPECT_EQ(notes[0].event, FD_CONNECT);
  EXPECT_EQ(notes[0].error, 0);
  EXPECT_EQ(Count(notes, FD_WRITE), 1);
  notes.clear();
  send(server, "abc", 3, 0);
  ASSERT_TRUE(PumpFor([&] { return Count(notes, FD_READ) == 1; }));
  send(server, "def", 3, 0);
  Pump();
  EXPECT_EQ(Count(notes, FD_READ), 1);  // not re-armed yet
  char buf[2];
  EXPECT_EQ(recv(client, buf, 2, 0), 2);
  ASSERT_TRUE(PumpFor([&] { return Count(notes, FD_READ) == 2; }));
  char rest[16];
  EXPECT_EQ(recv(client, rest, sizeof(rest), 0), 4);
  Pump();
  EXPECT_EQ(Count(notes, FD_READ), 2);  // nothing left, nothing posted
  EXPECT_EQ(recv(client, rest, sizeof(rest), 0), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
}

TEST_F(SocketPair, PeerCloseIsSeenWhileDataIsStillUnread) {
  send(server, "xyz", 3, 0);
  closesocket(server);
  server = INVALID_SOCKET;
  ASSERT_TRUE(PumpFor([&] { return Count(notes, FD_CLOSE) == 1; }));
  Pump();
  EXPECT_EQ(Count(notes, FD_CLOSE), 1);
  platform::u_long pending = 0;
  EXPECT_EQ(ioctlsocket(client, FIONREAD, &pending), 0);
  EXPECT_EQ(pending, 3u);
  char buf[8];
  EXPECT_EQ(recv(client, buf, sizeof(buf), 0), 3);
  EXPECT_EQ(recv(client, buf, sizeof(buf), 0), 0);
  Pump();
  EXPECT_EQ(Count(notes, FD_CLOSE), 1);
}

TEST_F(SocketPair, EmptyMaskPausesAndANewRegistrationDeliversWhatIsPending) {
  Pump();
  ASSERT_EQ(WSAAsyncSelect(client, sink, WM_USER + 1, 0), 0);
  notes.clear();
  send(server, "q", 1, 0);
  Pump();
  EXPECT_TRUE(notes.empty());
  ASSERT_EQ(WSAAsyncSelect(client, sink, WM_USER + 1, FD_READ | FD_WRITE | FD_CLOSE), 0);
  ASSERT_TRUE(PumpFor([&] { return Count(notes, FD_READ) == 1 && Count(notes, FD_WRITE) == 1; }));
}

TEST_F(SocketPair, ClosingASocketDropsItsQueuedNotifications) {
  Pump();
  notes.clear();
  send(server, "abc", 3, 0);
  // Let the notification be posted but not dispatched.
  ASSERT_EQ(MsgWaitForInput(5000), WAIT_OBJECT_0);
  closesocket(client);
  client = INVALID_SOCKET;
  Pump();
  EXPECT_TRUE(notes.empty());
}

TEST_F(SocketPair, ErrorsAreWinSockNumbers) {
  char buf[4];
  // Reset by the peer.
  LINGER li{1, 0};
  setsockopt(server, SOL_SOCKET, SO_LINGER, reinterpret_cast<char*>(&li), sizeof(li));
  closesocket(server);
  server = INVALID_SOCKET;
  ASSERT_TRUE(PumpFor([&] { return Count(notes, FD_CLOSE) == 1; }));
  for (const auto& n : notes) {
    if (n.event == FD_CLOSE) {
      EXPECT_EQ(n.error, WSAECONNRESET);
    }
  }
  EXPECT_EQ(recv(client, buf, sizeof(buf), 0), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAECONNRESET);
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  EXPECT_EQ(recv(s, buf, sizeof(buf), 0), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAENOTCONN);
  closesocket(s);
  EXPECT_EQ(closesocket(s), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);
}

TEST(PlatformSockets, RefusedConnectArrivesAsConnectError) {
  std::vector<Note> notes;
  g_notes = &notes;
  HWND sink = CreateSink(&Proc);
  SOCKET probe = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  SOCKADDR_IN a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = inet_addr("127.0.0.1");
  bind(probe, reinterpret_cast<SOCKADDR*>(&a), sizeof(a));  // bound, never listening
  int len = sizeof(a);
  getsockname(probe, reinterpret_cast<SOCKADDR*>(&a), &len);
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  WSAAsyncSelect(s, sink, WM_USER + 1, FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE);
  connect(s, reinterpret_cast<SOCKADDR*>(&a), sizeof(a));
  ASSERT_TRUE(PumpFor([&] { return !notes.empty(); }));
  Pump();
  ASSERT_EQ(notes.size(), 1u);  // no close and no write for a connection that never was
  EXPECT_EQ(notes[0].event, FD_CONNECT);
  EXPECT_EQ(notes[0].error, WSAECONNREFUSED);
  closesocket(s);
  closesocket(probe);
  DestroySink(sink);
  g_notes = nullptr;
}

TEST(PlatformSockets, LookupRepliesAndCancel) {
  std::vector<Note> notes;
  g_notes = &notes;
  HWND sink = CreateSink(&Proc);
  alignas(8) char buf[MAXGETHOSTSTRUCT];
  ASYNC_HANDLE h = WSAAsyncGetHostByName(sink, WM_USER + 2, "localhost", buf, sizeof(buf));
  ASSERT_NE(h, 0u);
  ASSERT_TRUE(PumpFor([&] { return !notes.empty(); }));
  EXPECT_EQ(notes[0].socket, h);
  EXPECT_EQ(notes[0].error, 0);
  auto* he = reinterpret_cast<HOSTENT*>(buf);
  ASSERT_NE(he->h_addr_list[0], nullptr);
  IN_ADDR first;
  std::memcpy(&first, he->h_addr_list[0], 4);
  EXPECT_EQ(std::string(inet_ntoa(first)), "127.0.0.1");

  notes.clear();
  ASYNC_HANDLE c = WSAAsyncGetHostByName(sink, WM_USER + 2, "localhost", buf, sizeof(buf));
  EXPECT_EQ(WSACancelAsyncRequest(c), 0);
  ASYNC_HANDLE d = WSAAsyncGetHostByName(sink, WM_USER + 2, "no-such-host.invalid", buf, sizeof(buf));
  ASSERT_TRUE(PumpFor([&] { return !notes.empty(); }));
  Pump();
  ASSERT_EQ(notes.size(), 1u);
  EXPECT_EQ(notes[0].socket, d);
  EXPECT_GE(notes[0].error, WSAHOST_NOT_FOUND);
  EXPECT_LE(notes[0].error, WSANO_DATA);
  EXPECT_EQ(WSACancelAsyncRequest(9999999), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAEINVAL);
  DestroySink(sink);
  g_notes = nullptr;
}

TEST(PlatformSockets, StartupRefusesVersionZero) {
  WSADATA d;
  EXPECT_EQ(WSAStartup(0x0000, &d), WSAVERNOTSUPPORTED);
  EXPECT_EQ(WSAStartup(0x0101, &d), 0);
  EXPECT_EQ(d.wVersion, 0x0101);
  EXPECT_EQ(WSACleanup(), 0);
}
