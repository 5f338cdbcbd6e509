#include "net/wsocket.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "netsupport.h"

namespace {

const char* StateName(TSocketState s) {
  switch (s) {
    case wsOpened: return "opened";
    case wsConnecting: return "connecting";
    case wsConnected: return "connected";
    case wsClosed: return "closed";
    case wsBound: return "bound";
    case wsListening: return "listening";
    default: return "other";
  }
}

// A client socket that writes every event it sees into a log.
struct Client {
  std::unique_ptr<TWSocket> s = std::make_unique<TWSocket>(nullptr);
  std::vector<std::string> log;
  std::string received;
  int closedCount = 0;
  int closedError = -1;
  int sentEvents = 0;
  bool connected = false;
  int connectError = -1;
  int readSize = 65536;

  explicit Client(const std::string& port) {
    s->SetAddr("127.0.0.1");
    s->SetPort(port);
    s->OnChangeState = [this](TObject*, TSocketState, TSocketState n) {
      log.push_back(std::string("state:") + StateName(n));
    };
    s->OnSessionConnected = [this](TObject*, uint16_t e) {
      log.push_back("connected:" + std::to_string(e));
      connected = e == 0;
      connectError = e;
    };
    s->OnDataAvailable = [this](TObject*, uint16_t) {
      std::string buf(static_cast<size_t>(readSize), '\0');
      int n = s->Receive(buf.data(), readSize);
      if (n > 0) received.append(buf.data(), static_cast<size_t>(n));
      if (log.empty() || log.back() != "data") log.push_back("data");
    };
    s->OnDataSent = [this](TObject*, uint16_t e) {
      ++sentEvents;
      log.push_back("sent:" + std::to_string(e));
    };
    s->OnSessionClosed = [this](TObject*, uint16_t e) {
      ++closedCount;
      closedError = e;
      log.push_back("closed:" + std::to_string(e));
    };
  }
  size_t IndexOf(const std::string& entry) const {
    for (size_t i = 0; i < log.size(); ++i)
      if (log[i] == entry) return i;
    return log.size();
  }
};

std::string Pattern(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>('a' + (i * 7 + i / 251) % 26);
  return s;
}

}  // namespace

TEST(WSocketLifecycle, SuccessfulExchangeRaisesEventsInOrder) {
  ScriptedPeer peer;
  std::string fromClient;
  peer.Run([&](int fd) {
    fromClient = ScriptedPeer::ReadN(fd, 5);
    ScriptedPeer::SendAll(fd, "world");
    return false;
  });
  Client c(peer.Port());
  c.s->OnSessionConnected = [&](TObject*, uint16_t e) {
    c.log.push_back("connected:" + std::to_string(e));
    c.s->SendText("hello");
  };
  c.s->Connect();
  EXPECT_EQ(c.s->State(), wsConnecting);
  ASSERT_TRUE(PumpUntil([&] { return c.closedCount > 0; }));
  peer.Join();
  EXPECT_EQ(fromClient, "hello");
  EXPECT_EQ(c.received, "world");
  ASSERT_GE(c.log.size(), 6u);
  EXPECT_EQ(c.log[0], "state:opened");
  EXPECT_EQ(c.log[1], "state:connecting");
  EXPECT_EQ(c.log[2], "state:connected");
  EXPECT_EQ(c.log[3], "connected:0");
  // The peer's close: OnSessionClosed before the change to wsClosed, both last.
  EXPECT_EQ(c.log[c.log.size() - 2], "closed:0");
  EXPECT_EQ(c.log.back(), "state:closed");
  EXPECT_LT(c.IndexOf("data"), c.IndexOf("closed:0"));
  EXPECT_EQ(c.closedCount, 1);
  EXPECT_EQ(c.s->BytesSent(), 5);
  EXPECT_EQ(c.s->BytesReceived(), 5);
}

TEST(WSocketLifecycle, RefusedConnectReportsErrorThenCloses) {
  ClosedPort port;
  Client c(port.Port());
  c.s->Connect();
  ASSERT_TRUE(PumpUntil([&] { return c.closedCount > 0; }));
  std::vector<std::string> want = {"state:opened",     "state:connecting", "state:connected",
                                   "connected:10061", "state:closed",     "closed:0"};
  EXPECT_EQ(c.log, want);
  EXPECT_EQ(c.s->State(), wsClosed);
  EXPECT_EQ(c.s->SocketHandle(), platform::INVALID_SOCKET);
}

TEST(WSocketLifecycle, LocalCloseChangesStateBeforeSessionClosed) {
  ScriptedPeer peer;
  peer.Run([](int fd) {
    ScriptedPeer::ReadAll(fd);
    return false;
  });
  Client c(peer.Port());
  c.s->Connect();
  ASSERT_TRUE(PumpUntil([&] { return c.connected; }));
  c.log.clear();
  c.s->Close();
  std::vector<std::string> want = {"state:closed", "closed:0"};
  EXPECT_EQ(c.log, want);
  PumpPending();
  EXPECT_EQ(c.closedCount, 1);
}

TEST(WSocketReceive, PeerCloseDeliversDataStillReadableFirst) {
  const std::string payload = Pattern(300000);
  ScriptedPeer peer;
  peer.Run([&](int fd) {
    ScriptedPeer::SendAll(fd, payload);
    return false;
  });
  Client c(peer.Port());
  c.readSize = 1000;  // far less than arrives per event
  c.s->ComponentOptions.Include(wsoNoReceiveLoop);
  c.s->Connect();
  ASSERT_TRUE(PumpUntil([&] { return c.closedCount > 0; }));
  EXPECT_EQ(c.received.size(), payload.size());
  EXPECT_TRUE(c.received == payload);
  EXPECT_EQ(c.closedError, 0);
}

TEST(WSocketReceive, PeerResetReportsConnectionReset) {
  ScriptedPeer peer;
  peer.Run([](int fd) {
    ScriptedPeer::SendAll(fd, "x");
    ScriptedPeer::ReadN(fd, 1);
    ScriptedPeer::Reset(fd);
    return true;
  });
  Client c(peer.Port());
  c.s->OnDataAvailable = [&](TObject*, uint16_t) {
    char b[16];
    if (c.s->Receive(b, sizeof(b)) > 0) c.s->SendText("y");
  };
  c.s->Connect();
  ASSERT_TRUE(PumpUntil([&] { return c.closedCount > 0; }));
  EXPECT_EQ(c.closedError, 10054);
  EXPECT_EQ(c.s->State(), wsClosed);
  PumpPending();
  EXPECT_EQ(c.closedCount, 1);
}

TEST(WSocketSend, ZeroBytesReturnsZeroAndDataSentFollowsFromTheLoop) {
  ScriptedPeer peer;
  peer.Run([](int fd) {
    ScriptedPeer::ReadAll(fd);
    return false;
  });
  Client c(peer.Port());
  c.s->Connect();
  ASSERT_TRUE(PumpUntil([&] { return c.connected; }));
  PumpPending();  // the write event that follows every connect
  c.sentEvents = 0;
  EXPECT_EQ(c.s->Send(nullptr, 0), 0);
  EXPECT_EQ(c.sentEvents, 0);
  ASSERT_TRUE(PumpUntil([&] { return c.sentEvents == 1; }));
  EXPECT_EQ(c.log.back(), "sent:0");
}

TEST(WSocketSend, BeforeConnectedReportsNotConnected) {
  TWSocket s(nullptr);
  try {
    s.SendText("x");
    FAIL() << "no exception";
  } catch (const ESocketException& e) {
    EXPECT_EQ(e.Message(), "Socket is not connected (#10057 in Send)");
  }
  EXPECT_EQ(s.LastError, 10057);

  // While connecting, with OnError assigned: no exception, -1, OnError.
  ScriptedPeer peer;
  peer.Run([](int) { return false; });
  TWSocket t(nullptr);
  int errors = 0;
  t.OnError = [&](TObject*) { ++errors; };
  t.SetAddr("127.0.0.1");
  t.SetPort(peer.Port());
  t.Connect();
  ASSERT_EQ(t.State(), wsConnecting);
  EXPECT_EQ(t.SendText("x"), -1);
  EXPECT_EQ(errors, 1);
  EXPECT_EQ(t.LastError, 10057);
}

TEST(WSocketSend, LargeSendArrivesIntactAndDataSentFiresWhenDrained) {
  const std::string payload = Pattern(4 * 1024 * 1024 + 123);
  std::string got;
  std::atomic<bool> peerDone{false};
  ScriptedPeer peer;
  peer.Run([&](int fd) {
    got = ScriptedPeer::ReadN(fd, payload.size());
    peerDone = true;
    ScriptedPeer::ReadAll(fd);
    return false;
  });
  Client c(peer.Port());
  int sendData = 0;
  c.s->OnSendData = [&](TObject*, int n) { sendData += n; };
  c.s->Connect();
  ASSERT_TRUE(PumpUntil([&] { return c.connected; }));
  PumpPending();
  c.sentEvents = 0;
  EXPECT_EQ(c.s->SendText(payload), static_cast<int>(payload.size()));
  ASSERT_TRUE(PumpUntil([&] { return c.sentEvents > 0; }));
  EXPECT_EQ(c.s->QueuedByteCount(), 0);
  EXPECT_TRUE(c.s->SendQueueEmpty());
  EXPECT_EQ(sendData, static_cast<int>(payload.size()));
  // Close resets the connection by default (linger on, 0 s), dropping what the system
  // still holds: wait for the peer first.
  ASSERT_TRUE(PumpUntil([&] { return peerDone.load(); }));
  c.s->Close();
  peer.Join();
  EXPECT_EQ(got.size(), payload.size());
  EXPECT_TRUE(got == payload);
}

TEST(WSocketSend, SendFromOnSendDataKeepsTheStreamInOrder) {
  std::string got;
  std::atomic<bool> peerDone{false};
  ScriptedPeer peer;
  peer.Run([&](int fd) {
    got = ScriptedPeer::ReadN(fd, 3001);
    peerDone = true;
    ScriptedPeer::ReadAll(fd);
    return false;
  });
  Client c(peer.Port());
  bool again = true;
  c.s->OnSendData = [&](TObject*, int) {
    if (again) {
      again = false;
      c.s->SendText("X");
    }
  };
  c.s->Connect();
  ASSERT_TRUE(PumpUntil([&] { return c.connected; }));
  c.s->SendText(std::string(3000, 'A'));
  ASSERT_TRUE(PumpUntil([&] { return peerDone.load(); }));
  EXPECT_EQ(c.s->QueuedByteCount(), 0);
  c.s->Close();
  peer.Join();
  EXPECT_EQ(got, std::string(3000, 'A') + "X");
}

TEST(WSocketSend, AbortDropsQueuedDataAndReportsCloseOnce) {
  std::string got = "unset";
  ScriptedPeer peer;
  peer.Run([&](int fd) {
    got = ScriptedPeer::ReadAll(fd);
    return false;
  });
  Client c(peer.Port());
  c.s->Connect();
  ASSERT_TRUE(PumpUntil([&] { return c.connected; }));
  c.s->QueueText(std::string(100000, 'q'));
  EXPECT_EQ(c.s->QueuedByteCount(), 100000);
  c.s->Abort();
  EXPECT_EQ(c.s->QueuedByteCount(), 0);
  EXPECT_EQ(c.closedCount, 1);
  EXPECT_EQ(c.closedError, 0);
  PumpPending();
  EXPECT_EQ(c.closedCount, 1);
  peer.Join();
  EXPECT_EQ(got, "");
}

TEST(WSocketSend, PeerClosingWhileWeSendEndsInOneClose) {
  ScriptedPeer peer;
  peer.Run([](int fd) {
    ScriptedPeer::Reset(fd);
    return true;
  });
  Client c(peer.Port());
  c.s->OnSessionConnected = [&](TObject*, uint16_t e) {
    c.connected = e == 0;
    c.s->SendText(Pattern(8 * 1024 * 1024));
  };
  c.s->Connect();
  ASSERT_TRUE(PumpUntil([&] { return c.closedCount > 0; }));
  EXPECT_EQ(c.s->State(), wsClosed);
  PumpPending();
  EXPECT_EQ(c.closedCount, 1);
  EXPECT_NE(c.closedError, 0);
}

TEST(WSocketProperties, ClosedSocketForgetsPortAndAddress) {
  ScriptedPeer peer;
  peer.Run([](int) { return false; });
  Client c(peer.Port());
  c.s->OnError = [](TObject*) {};
  c.s->Connect();
  ASSERT_TRUE(PumpUntil([&] { return c.connected; }));
  // While connected: the same text is no change, another is refused.
  c.s->OnError = nullptr;
  EXPECT_NO_THROW(c.s->SetAddr("127.0.0.1"));
  try {
    c.s->SetAddr("127.0.0.2");
    FAIL() << "no exception";
  } catch (const ESocketException& e) {
    EXPECT_EQ(e.Message(), "Cannot change Addr if not closed");
  }
  c.s->Close();
  EXPECT_EQ(c.s->Port(), peer.Port());
  try {
    c.s->Connect();
    FAIL() << "no exception";
  } catch (const ESocketException& e) {
    EXPECT_EQ(e.Message(), "Connect: No Port Specified");
  }
  EXPECT_EQ(c.s->Proto(), "tcp");
  EXPECT_EQ(c.s->LocalAddr(), "0.0.0.0");
  EXPECT_EQ(c.s->PeerAddr(), "error");
  EXPECT_EQ(c.s->BoundPort(), "error");
}

TEST(WSocketProperties, ResolutionFailureDuringConnectIsReported) {
  TWSocket s(nullptr);
  s.SetAddr("127.0.0.1");
  s.SetPort("no-such-service-name");
  try {
    s.Connect();
    FAIL() << "no exception";
  } catch (const ESocketException& e) {
    EXPECT_EQ(e.Message().rfind("connect: Winsock Resolve Port: Cannot convert port "
                                "'no-such-service-name' - ", 0),
              0u)
        << e.Message();
  }
  EXPECT_EQ(s.State(), wsClosed);
}

TEST(WSocketLookup, LocalhostIsAsynchronous) {
  TWSocket s(nullptr);
  int done = 0, err = -1;
  s.OnDnsLookupDone = [&](TObject*, uint16_t e) {
    ++done;
    err = e;
  };
  s.DnsLookup("localhost");
  EXPECT_EQ(done, 0);
  ASSERT_TRUE(PumpUntil([&] { return done > 0; }));
  EXPECT_EQ(err, 0);
  EXPECT_EQ(s.LookupAddress(), "127.0.0.1");
  EXPECT_GE(s.LookupAddressList().Count(), 1);
  EXPECT_EQ(s.LookupAddressList()[0], "127.0.0.1");
}

TEST(WSocketLookup, DottedAddressAnswersInsideTheCall) {
  TWSocket s(nullptr);
  int done = 0, err = -1;
  s.OnDnsLookupDone = [&](TObject*, uint16_t e) {
    ++done;
    err = e;
  };
  s.DnsLookup(" 10.0.0.1 ");
  EXPECT_EQ(done, 1);
  EXPECT_EQ(err, 0);
  EXPECT_EQ(s.LookupAddress(), "10.0.0.1");
  EXPECT_EQ(s.LookupAddressList().Count(), 1);
}

TEST(WSocketLookup, UnknownNameReportsHostNotFoundClass) {
  TWSocket s(nullptr);
  int done = 0, err = -1;
  s.OnDnsLookupDone = [&](TObject*, uint16_t e) {
    ++done;
    err = e;
  };
  s.DnsLookup("no-such-host.invalid");
  ASSERT_TRUE(PumpUntil([&] { return done > 0; }));
  EXPECT_GE(err, 11001);
  EXPECT_LE(err, 11004);
  EXPECT_EQ(s.LookupAddress(), "");
}

TEST(WSocketLookup, CancelFiresInterruptedAndDropsTheReply) {
  TWSocket s(nullptr);
  std::vector<int> errors;
  s.OnDnsLookupDone = [&](TObject*, uint16_t e) { errors.push_back(e); };
  s.DnsLookup("localhost");
  s.CancelLookup();
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0], 10004);
  // A second lookup replaces a pending one without an event.
  s.DnsLookup("localhost");
  s.DnsLookup("localhost");
  ASSERT_TRUE(PumpUntil([&] { return errors.size() >= 2; }));
  PumpPending();
  ASSERT_EQ(errors.size(), 2u);
  EXPECT_EQ(errors[1], 0);
}

TEST(WSocketLookup, EmptyHostIsInvalid) {
  TWSocket s(nullptr);
  int errorEvents = 0, done = -1;
  s.OnError = [&](TObject*) { ++errorEvents; };
  s.OnDnsLookupDone = [&](TObject*, uint16_t e) { done = e; };
  s.DnsLookup("");
  EXPECT_EQ(errorEvents, 1);
  EXPECT_EQ(done, 10022);
}

TEST(WSocketDestruction, FiresNoEvents) {
  ScriptedPeer peer;
  std::string got = "unset";
  peer.Run([&](int fd) {
    got = ScriptedPeer::ReadAll(fd);
    return false;
  });
  auto c = std::make_unique<Client>(peer.Port());
  c->s->Connect();
  ASSERT_TRUE(PumpUntil([&] { return c->connected; }));
  int lookups = 0;
  c->s->OnDnsLookupDone = [&](TObject*, uint16_t) { ++lookups; };
  c->s->DnsLookup("localhost");
  size_t logged = c->log.size();
  std::vector<std::string>* log = &c->log;
  c->s.reset();
  EXPECT_EQ(log->size(), logged);
  EXPECT_EQ(lookups, 0);
  peer.Join();  // the peer saw the connection end
  EXPECT_EQ(got, "");
  PumpPending();
  EXPECT_EQ(lookups, 0);
}

TEST(WSocketEvents, PauseHoldsDataUntilResume) {
  std::atomic<bool> go{false};
  ScriptedPeer peer;
  peer.Run([&](int fd) {
    while (!go) std::this_thread::yield();
    ScriptedPeer::SendAll(fd, "late");
    ScriptedPeer::ReadAll(fd);
    return false;
  });
  Client c(peer.Port());
  c.s->Connect();
  ASSERT_TRUE(PumpUntil([&] { return c.connected; }));
  c.s->Pause();
  go = true;
  for (int i = 0; i < 5; ++i) PumpPending();
  EXPECT_EQ(c.received, "");
  c.s->Resume();
  ASSERT_TRUE(PumpUntil([&] { return c.received == "late"; }));
  c.s->Close();
}

TEST(WSocketEvents, BackgroundExceptionGoesToOnBgExceptionAndAborts) {
  struct Probe : TWSocket {
    using TWSocket::TWSocket;
    void PostTestException() { platform::PostMessage(Handle(), msgTestException_, 0, 0); }
  };
  ScriptedPeer peer;
  peer.Run([](int fd) {
    ScriptedPeer::ReadAll(fd);
    return false;
  });
  Probe s(nullptr);
  std::string seen;
  int closed = 0;
  s.OnBgException = [&](TObject*, const Exception& e, bool&) { seen = e.Message(); };
  s.OnSessionClosed = [&](TObject*, uint16_t) { ++closed; };
  bool connected = false;
  s.OnSessionConnected = [&](TObject*, uint16_t) { connected = true; };
  s.SetAddr("127.0.0.1");
  s.SetPort(peer.Port());
  s.Connect();
  ASSERT_TRUE(PumpUntil([&] { return connected; }));
  s.PostTestException();
  ASSERT_TRUE(PumpUntil([&] { return !seen.empty(); }));
  EXPECT_EQ(seen, "Test exception in WSocket");
  EXPECT_EQ(s.State(), wsClosed);
  EXPECT_EQ(closed, 1);
}

TEST(WSocketEvents, HandlerExceptionInDataAvailableGoesToTheBackgroundErrorHandling) {
  for (bool keep : {false, true}) {
    SCOPED_TRACE(keep ? "OnBgException keeps the connection" : "default");
    ScriptedPeer peer;
    peer.Run([](int fd) {
      ScriptedPeer::SendAll(fd, "boom");
      ScriptedPeer::ReadAll(fd);
      return false;
    });
    Client c(peer.Port());
    int calls = 0;
    std::string seen;
    c.s->OnBgException = [&](TObject*, const Exception& e, bool& canClose) {
      seen = e.Message();
      canClose = !keep;
    };
    c.s->OnDataAvailable = [&](TObject*, uint16_t) {
      ++calls;
      char b[8];
      c.s->Receive(b, sizeof(b));
      throw std::out_of_range("handler failed");
    };
    c.s->Connect();
    EXPECT_NO_THROW(PumpUntil([&] { return calls > 0; }));
    PumpPending();
    EXPECT_EQ(seen, "handler failed");
    // The default answer to a background error is to abort the connection.
    EXPECT_EQ(c.s->State(), keep ? wsConnected : wsClosed);
    c.s->Close();
  }
}

TEST(WSocketListen, ListeningSocketAcceptsAndExchanges) {
  TWSocket server(nullptr);
  server.SetAddr("127.0.0.1");
  server.SetPort("0");
  server.Listen();
  ASSERT_EQ(server.State(), wsListening);
  std::string port = server.BoundPort();
  ASSERT_NE(port, "0");
  std::unique_ptr<TWSocket> accepted;
  std::string serverGot;
  server.OnSessionAvailable = [&](TObject*, uint16_t) {
    accepted = std::make_unique<TWSocket>(nullptr);
    accepted->OnDataAvailable = [&](TObject*, uint16_t) {
      std::string t = accepted->ReceiveText();
      serverGot += t;
      if (serverGot == "ping") accepted->SendText("pong");
    };
    accepted->Dup(server.Accept());
  };
  Client c(port);
  c.s->OnSessionConnected = [&](TObject*, uint16_t) { c.s->SendText("ping"); };
  c.s->Connect();
  ASSERT_TRUE(PumpUntil([&] { return c.received == "pong"; }));
  EXPECT_EQ(serverGot, "ping");
  ASSERT_TRUE(accepted);
  EXPECT_EQ(accepted->State(), wsConnected);
  EXPECT_EQ(accepted->PeerAddr(), "127.0.0.1");
  EXPECT_EQ(c.s->PeerPort(), port);
  c.s->Close();
  ASSERT_TRUE(PumpUntil([&] { return accepted->State() == wsClosed; }));
}

TEST(WSocketCounter, TracksActivity) {
  ScriptedPeer peer;
  peer.Run([](int fd) {
    ScriptedPeer::SendAll(fd, "data");
    ScriptedPeer::ReadAll(fd);
    return false;
  });
  Client c(peer.Port());
  c.s->CreateActivityCounter();
  ASSERT_NE(c.s->ActivityCounter(), nullptr);
  c.s->Connect();
  ASSERT_TRUE(PumpUntil([&] { return c.received == "data"; }));
  TWSocketCounter* k = c.s->ActivityCounter();
  EXPECT_NE(k->ConnectTick, 0u);
  EXPECT_NE(k->LastReceiveTick, 0u);
  EXPECT_EQ(k->LastActivityTick(), std::max(k->ConnectTick, k->LastReceiveTick));
  c.s->Close();
}

TEST(WSocketLifecycle, HandlerClosingAtTheEndOfDataReportsTheCloseOnce) {
  ScriptedPeer peer;
  peer.Run([](int fd) {
    ScriptedPeer::SendAll(fd, "last words");
    return false;  // closed right after the data
  });
  Client c(peer.Port());
  c.s->OnDataAvailable = [&](TObject*, uint16_t) {
    char buf[64];
    int n = c.s->Receive(buf, sizeof(buf));
    if (n > 0) c.received.append(buf, static_cast<size_t>(n));
    if (n == 0) c.s->Close();  // the peer is done
  };
  c.s->Connect();
  ASSERT_TRUE(PumpUntil([&] { return c.closedCount > 0; }));
  PumpPending();
  EXPECT_EQ(c.received, "last words");
  EXPECT_EQ(c.closedCount, 1);
}
