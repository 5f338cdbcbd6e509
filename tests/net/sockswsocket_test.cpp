// The proxy client against a scripted proxy on loopback: the bytes it sends, how it reads
// the replies, and what the application sees.
#include "net/wsocket.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "netsupport.h"

namespace {

std::string Bytes(std::initializer_list<int> values) {
  std::string s;
  for (int v : values) s += static_cast<char>(v);
  return s;
}

// Port 8080 in network order.
const std::string kPort8080 = Bytes({0x1f, 0x90});
const std::string kMethodNoAuth = Bytes({5, 1, 0});
const std::string kMethodUsercode = Bytes({5, 1, 2});
const std::string kReplyOk = Bytes({5, 0, 0, 1, 10, 1, 2, 3, 0x04, 0xd2});  // 10.1.2.3:1234

std::string ConnectRequest(const std::string& host) {
  return Bytes({5, 1, 0, 3, static_cast<int>(host.size())}) + host + kPort8080;
}

// A socket whose sends fail, as a broken connection's would.
class TRefusingSend : public TWSocket {
 public:
  using TWSocket::TWSocket;
  int Send(const void*, int) override { throw ESocketException("send refused"); }
};

// A socket set up for the scripted proxy, logging every event in order.
struct SocksClient {
  std::unique_ptr<TWSocket> s;
  std::vector<std::string> log;
  std::string received;
  int readSize = 4096;
  bool closed = false;

  SocksClient(const std::string& proxyPort, const std::string& level,
              const std::string& addr = "127.0.0.1",
              std::unique_ptr<TWSocket> socket = std::make_unique<TWSocket>(nullptr))
      : s(std::move(socket)) {
    s->SetAddr(addr);
    s->SetPort("8080");
    s->SetSocksServer("127.0.0.1");
    s->SetSocksPort(proxyPort);
    s->SetSocksLevel(level);
    s->OnSocksConnected = [this](TObject*, uint16_t e) { Add("socks:" + std::to_string(e)); };
    s->OnSocksError = [this](TObject*, int e, const std::string& m) {
      Add("error:" + std::to_string(e) + ":" + m);
    };
    s->OnSocksAuthState = [this](TObject*, TSocksAuthState a) {
      static const char* const names[] = {"start", "success", "failure", "notrequired"};
      Add(std::string("auth:") + names[a]);
    };
    s->OnSessionConnected = [this](TObject*, uint16_t e) { Add("connected:" + std::to_string(e)); };
    s->OnDataSent = [this](TObject*, uint16_t e) { Add("sent:" + std::to_string(e)); };
    s->OnDataAvailable = [this](TObject*, uint16_t) {
      std::string buf(static_cast<size_t>(readSize), '\0');
      int n = s->Receive(buf.data(), readSize);
      if (n > 0) received.append(buf.data(), static_cast<size_t>(n));
    };
    s->OnSessionClosed = [this](TObject*, uint16_t e) {
      Add("closed:" + std::to_string(e));
      closed = true;
    };
  }
  void Add(const std::string& entry) { log.push_back(entry); }
  bool Has(const std::string& entry) const {
    for (const auto& e : log)
      if (e == entry) return true;
    return false;
  }
  // The log without the data-sent entries.
  std::vector<std::string> Events() const {
    std::vector<std::string> out;
    for (const auto& e : log)
      if (e.rfind("sent:", 0) != 0) out.push_back(e);
    return out;
  }
};

// A version 5 proxy without authentication that answers the connect request with `reply`
// (and hangs up after it when asked, as proxies do after a failure) and reads until the
// client closes; `requests` gets what it read.
void RunVersion5Proxy(ScriptedPeer& peer, std::string& requests, const std::string& host,
                      const std::string& reply, bool hangUp = false) {
  peer.Run([&requests, host, reply, hangUp](int fd) {
    requests = ScriptedPeer::ReadN(fd, 3);
    ScriptedPeer::SendAll(fd, Bytes({5, 0}));
    requests += ScriptedPeer::ReadN(fd, 7 + host.size());
    ScriptedPeer::SendAll(fd, reply);
    if (hangUp) ScriptedPeer::ShutdownSend(fd);
    requests += ScriptedPeer::ReadAll(fd);
    return false;
  });
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Version 5

TEST(SocksVersion5, WithoutAuthenticationSendsRequestsAndConnects) {
  std::string requests;
  ScriptedPeer peer;
  peer.Run([&](int fd) {
    requests = ScriptedPeer::ReadN(fd, 3);
    ScriptedPeer::SendAll(fd, Bytes({5, 0}));
    requests += ScriptedPeer::ReadN(fd, 16);
    ScriptedPeer::SendAll(fd, kReplyOk);
    ScriptedPeer::SendAll(fd, "from target");
    requests += ScriptedPeer::ReadAll(fd);
    return false;
  });
  SocksClient c(peer.Port(), "5");
  c.s->OnSessionConnected = [&](TObject*, uint16_t e) {
    c.Add("connected:" + std::to_string(e));
    if (e == 0) c.s->SendText("to target");
  };
  c.s->Connect();
  ASSERT_TRUE(PumpUntil([&] { return c.received == "from target"; }));
  EXPECT_EQ(c.s->SocksBoundAddr(), "10.1.2.3");
  EXPECT_EQ(c.s->SocksBoundPort(), "1234");
  c.s->Close();
  peer.Join();
  // The target goes as a domain name even when it is a dotted address.
  EXPECT_EQ(requests, kMethodNoAuth + ConnectRequest("127.0.0.1") + "to target");
  ASSERT_GE(c.log.size(), 3u);
  EXPECT_EQ(c.log[0], "socks:0");
  // The handshake's own requests produce no OnDataSent for the application.
  EXPECT_EQ(c.log[1], "connected:0");
  EXPECT_FALSE(c.Has("auth:start"));
  EXPECT_EQ(c.log.back(), "closed:0");
}

TEST(SocksVersion5, UsercodeAndPasswordAccepted) {
  std::string requests;
  ScriptedPeer peer;
  peer.Run([&](int fd) {
    requests = ScriptedPeer::ReadN(fd, 3);
    ScriptedPeer::SendAll(fd, Bytes({5, 2}));
    requests += ScriptedPeer::ReadN(fd, 3 + 5 + 6);
    ScriptedPeer::SendAll(fd, Bytes({1, 0}));
    requests += ScriptedPeer::ReadN(fd, 7 + 9);
    ScriptedPeer::SendAll(fd, kReplyOk);
    ScriptedPeer::ReadAll(fd);
    return false;
  });
  SocksClient c(peer.Port(), "5");
  c.s->SocksAuthentication = socksAuthenticateUsercode;
  c.s->SocksUsercode = "alice";
  c.s->SocksPassword = "secret";
  c.s->Connect();
  ASSERT_TRUE(PumpUntil([&] { return c.Has("connected:0"); }));
  c.s->Close();
  peer.Join();
  EXPECT_EQ(requests, kMethodUsercode + Bytes({1, 5}) + "alice" + Bytes({6}) + "secret" +
                          ConnectRequest("127.0.0.1"));
  std::vector<std::string> want = {"socks:0", "auth:start", "auth:success", "connected:0",
                                   "closed:0"};
  EXPECT_EQ(c.Events(), want);
}

TEST(SocksVersion5, UsercodeRefusedFailsThreeWays) {
  std::string after;
  ScriptedPeer peer;
  peer.Run([&](int fd) {
    ScriptedPeer::ReadN(fd, 3);
    ScriptedPeer::SendAll(fd, Bytes({5, 2}));
    ScriptedPeer::ReadN(fd, 3 + 3 + 5);
    ScriptedPeer::SendAll(fd, Bytes({1, 1}));
    ScriptedPeer::ShutdownSend(fd);
    after = ScriptedPeer::ReadAll(fd);
    return false;
  });
  SocksClient c(peer.Port(), "5");
  c.s->SocksAuthentication = socksAuthenticateUsercode;
  c.s->SocksUsercode = "bob";
  c.s->SocksPassword = "wrong";
  c.s->Connect();
  ASSERT_TRUE(PumpUntil([&] { return c.closed; }));
  peer.Join();
  std::vector<std::string> want = {"socks:0",
                                   "auth:start",
                                   "auth:failure",
                                   "error:20015:socks authentication failed",
                                   "connected:20015",
                                   "closed:20015"};
  EXPECT_EQ(c.Events(), want);
  EXPECT_EQ(after, "");  // no connect request after the refusal
  EXPECT_EQ(c.s->State(), wsClosed);
}

TEST(SocksVersion5, ProxyThatNeedsNoPasswordReportsNotRequired) {
  std::string requests;
  ScriptedPeer peer;
  RunVersion5Proxy(peer, requests, "127.0.0.1", kReplyOk);
  SocksClient c(peer.Port(), "5");
  c.s->SocksAuthentication = socksAuthenticateUsercode;
  c.s->SocksUsercode = "alice";
  c.s->SocksPassword = "secret";
  c.s->Connect();
  ASSERT_TRUE(PumpUntil([&] { return c.Has("connected:0"); }));
  c.s->Close();
  peer.Join();
  EXPECT_EQ(requests, kMethodUsercode + ConnectRequest("127.0.0.1"));
  std::vector<std::string> want = {"socks:0", "auth:notrequired", "connected:0", "closed:0"};
  EXPECT_EQ(c.Events(), want);
}

TEST(SocksVersion5, EveryReplyErrorCodeFailsWithItsText) {
  const std::vector<std::pair<int, std::string>> cases = {
      {1, "20004:general SOCKS server failure"}, {2, "20005:connection not allowed by ruleset"},
      {3, "20006:network unreachable"},          {4, "20007:host unreachable"},
      {5, "20008:connection refused"},           {6, "20009:time to live expired"},
      {7, "20010:command not supported"},        {8, "20011:address type not supported"},
      {9, "20012:unassigned error #9"},          {255, "20012:unassigned error #255"}};
  for (const auto& [reply, expected] : cases) {
    SCOPED_TRACE(reply);
    std::string requests;
    ScriptedPeer peer;
    RunVersion5Proxy(peer, requests, "127.0.0.1", Bytes({5, reply, 0, 1, 0, 0, 0, 0, 0, 0}),
                     reply % 2 == 1);
    SocksClient c(peer.Port(), "5");
    c.s->Connect();
    ASSERT_TRUE(PumpUntil([&] { return c.closed; }));
    const std::string code = expected.substr(0, 5);
    std::vector<std::string> want = {"socks:0", "error:" + expected, "connected:" + code,
                                     "closed:" + code};
    EXPECT_EQ(c.Events(), want);
  }
}

TEST(SocksVersion5, MalformedRepliesFail) {
  struct Case {
    std::string methodReply, connectReply, expected;
  };
  const std::vector<Case> cases = {
      {Bytes({4, 0}), "", "error:20002:socks version error"},
      {Bytes({5, 0xff}), "", "error:20003:authentification method not acceptable"},
      {Bytes({5, 0}), Bytes({4, 0, 0, 1, 0, 0, 0, 0, 0, 0}), "error:20002:socks version error"},
      {Bytes({5, 0}), Bytes({5, 0, 0, 7, 0, 0}), "error:20011:address type not supported"},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.expected);
    ScriptedPeer peer;
    peer.Run([&k](int fd) {
      ScriptedPeer::ReadN(fd, 3);
      ScriptedPeer::SendAll(fd, k.methodReply);
      if (!k.connectReply.empty()) {
        ScriptedPeer::ReadN(fd, 16);
        ScriptedPeer::SendAll(fd, k.connectReply);
      }
      ScriptedPeer::ReadAll(fd);
      return false;
    });
    SocksClient c(peer.Port(), "5");
    c.s->Connect();
    ASSERT_TRUE(PumpUntil([&] { return c.closed; }));
    ASSERT_EQ(c.Events().size(), 4u);
    EXPECT_EQ(c.Events()[1], k.expected);
    EXPECT_EQ(c.log.back(), "closed:" + k.expected.substr(6, 5));
  }
}

TEST(SocksVersion5, AuthenticationReplyWithExtraBytesFails) {
  ScriptedPeer peer;
  peer.Run([](int fd) {
    ScriptedPeer::ReadN(fd, 3);
    ScriptedPeer::SendAll(fd, Bytes({5, 2}));
    ScriptedPeer::ReadN(fd, 3 + 1 + 1);
    ScriptedPeer::SendAll(fd, Bytes({1, 0, 0}));
    ScriptedPeer::ReadAll(fd);
    return false;
  });
  SocksClient c(peer.Port(), "5");
  c.s->SocksAuthentication = socksAuthenticateUsercode;
  c.s->SocksUsercode = "u";
  c.s->SocksPassword = "p";
  c.s->Connect();
  ASSERT_TRUE(PumpUntil([&] { return c.closed; }));
  EXPECT_TRUE(c.Has("error:20001:too much data availaible"));
  EXPECT_EQ(c.log.back(), "closed:20001");
}

TEST(SocksVersion5, RepliesSplitOverManyReadsAreGathered) {
  std::string requests;
  const std::string bound = "proxy.example";
  ScriptedPeer peer;
  auto trickle = [](int fd, const std::string& data) {
    for (char ch : data) {
      ScriptedPeer::SendAll(fd, std::string(1, ch));
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  };
  peer.Run([&](int fd) {
    requests = ScriptedPeer::ReadN(fd, 3);
    trickle(fd, Bytes({5, 2}));
    requests += ScriptedPeer::ReadN(fd, 3 + 1 + 1);
    trickle(fd, Bytes({1, 0}));
    requests += ScriptedPeer::ReadN(fd, 16);
    trickle(fd, Bytes({5, 0, 0, 3, static_cast<int>(bound.size())}) + bound + Bytes({0, 80}));
    trickle(fd, "payload");
    ScriptedPeer::ReadAll(fd);
    return false;
  });
  SocksClient c(peer.Port(), "5");
  c.s->SocksAuthentication = socksAuthenticateUsercode;
  c.s->SocksUsercode = "u";
  c.s->SocksPassword = "p";
  c.s->Connect();
  ASSERT_TRUE(PumpUntil([&] { return c.received == "payload"; }));
  EXPECT_EQ(c.s->SocksBoundAddr(), bound);
  EXPECT_EQ(c.s->SocksBoundPort(), "80");
  c.s->Close();
  peer.Join();
  EXPECT_EQ(requests, kMethodUsercode + Bytes({1, 1}) + "u" + Bytes({1}) + "p" +
                          ConnectRequest("127.0.0.1"));
  std::vector<std::string> want = {"socks:0", "auth:start", "auth:success", "connected:0",
                                   "closed:0"};
  EXPECT_EQ(c.Events(), want);
}

TEST(SocksVersion5, IPv6BoundAddressStillConnects) {
  std::string requests;
  ScriptedPeer peer;
  RunVersion5Proxy(peer, requests, "127.0.0.1",
                   Bytes({5, 0, 0, 4, 0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                          0x01, 0x0a, 0x1f, 0x90}));
  SocksClient c(peer.Port(), "5");
  c.s->Connect();
  ASSERT_TRUE(PumpUntil([&] { return c.Has("connected:0") || c.closed; }));
  EXPECT_EQ(c.s->SocksBoundAddr(), "2001:db8:0:0:0:0:0:10a");
  EXPECT_EQ(c.s->SocksBoundPort(), "8080");
  EXPECT_EQ(c.s->State(), wsConnected);
  c.s->Close();
}

// The reply and the first application bytes arrive in one read; newer bytes are already
// waiting in the system when the application starts reading. It must get them in order,
// through Receive, a few bytes at a time.
TEST(SocksVersion5, DataInTheSameReadAsTheReplyComesFirst) {
  std::string requests;
  ScriptedPeer peer;
  peer.Run([&](int fd) {
    requests = ScriptedPeer::ReadN(fd, 3);
    ScriptedPeer::SendAll(fd, Bytes({5, 0}));
    requests += ScriptedPeer::ReadN(fd, 16);
    ScriptedPeer::SendAll(fd, kReplyOk + "first-part|");
    requests += ScriptedPeer::ReadN(fd, 2);  // "go"
    ScriptedPeer::SendAll(fd, "second-part");
    ScriptedPeer::ReadAll(fd);
    return false;
  });
  SocksClient c(peer.Port(), "5");
  c.readSize = 3;
  std::vector<int> pending;
  c.s->OnSessionConnected = [&](TObject*, uint16_t e) {
    c.Add("connected:" + std::to_string(e));
    c.s->SendText("go");
    // Hold on until the newer bytes are in the system.
    pollfd p{static_cast<int>(c.s->SocketHandle()), POLLIN, 0};
    ::poll(&p, 1, 10000);
  };
  c.s->OnDataAvailable = [&](TObject*, uint16_t) {
    pending.push_back(c.s->PendingCount());
    char buf[3];
    int n = c.s->Receive(buf, 3);
    if (n > 0) c.received.append(buf, static_cast<size_t>(n));
  };
  c.s->Connect();
  ASSERT_TRUE(PumpUntil([&] { return c.received.size() >= 22; }));
  EXPECT_EQ(c.received, "first-part|second-part");
  ASSERT_FALSE(pending.empty());
  EXPECT_EQ(pending[0], 11);  // what came with the reply
  EXPECT_EQ(c.s->BytesReceived(), 22);
  c.s->Close();
  peer.Join();
  EXPECT_EQ(requests, kMethodNoAuth + ConnectRequest("127.0.0.1") + "go");
}

TEST(SocksVersion5, DataWithTheReplyReachesLineMode) {
  std::string requests;
  ScriptedPeer peer;
  peer.Run([&](int fd) {
    ScriptedPeer::ReadN(fd, 3);
    ScriptedPeer::SendAll(fd, Bytes({5, 0}));
    ScriptedPeer::ReadN(fd, 16);
    ScriptedPeer::SendAll(fd, kReplyOk + "one\r\ntw");
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ScriptedPeer::SendAll(fd, "o\r\n");
    ScriptedPeer::ReadAll(fd);
    return false;
  });
  SocksClient c(peer.Port(), "5");
  c.s->SetLineMode(true);
  std::vector<std::string> lines;
  c.s->OnDataAvailable = [&](TObject*, uint16_t) { lines.push_back(c.s->ReceiveText()); };
  c.s->Connect();
  ASSERT_TRUE(PumpUntil([&] { return lines.size() >= 2; }));
  std::vector<std::string> want = {"one\r\n", "two\r\n"};
  EXPECT_EQ(lines, want);
  c.s->Close();
}

TEST(SocksVersion5, ProxyHangingUpMidwayFailsTheConnect) {
  ScriptedPeer peer;
  peer.Run([](int fd) {
    ScriptedPeer::ReadN(fd, 3);
    ScriptedPeer::SendAll(fd, Bytes({5}));
    return false;  // closed after half a reply
  });
  SocksClient c(peer.Port(), "5");
  c.s->Connect();
  ASSERT_TRUE(PumpUntil([&] { return c.closed; }));
  std::vector<std::string> want = {"socks:0", "error:10054:connection closed by socks server",
                                   "connected:10054", "closed:10054"};
  EXPECT_EQ(c.Events(), want);
}

TEST(SocksVersion5, ProxyNotListeningReportsTheConnectError) {
  ClosedPort port;
  SocksClient c(port.Port(), "5");
  c.s->Connect();
  ASSERT_TRUE(PumpUntil([&] { return c.closed; }));
  std::vector<std::string> want = {"socks:10061", "connected:10061", "closed:0"};
  EXPECT_EQ(c.Events(), want);
}

// ---------------------------------------------------------------------------------------
// Versions 4 and 4A

TEST(SocksVersion4, SendsTheResolvedAddressAndUsercode) {
  std::string requests;
  ScriptedPeer peer;
  peer.Run([&](int fd) {
    requests = ScriptedPeer::ReadN(fd, 9 + 3);
    ScriptedPeer::SendAll(fd, Bytes({0, 90, 0, 0, 0, 0, 0, 0}) + "hello");
    ScriptedPeer::ReadAll(fd);
    return false;
  });
  SocksClient c(peer.Port(), "4", "localhost");
  c.s->SocksUsercode = "bob";
  c.s->Connect();
  ASSERT_TRUE(PumpUntil([&] { return c.received == "hello"; }));
  c.s->Close();
  peer.Join();
  EXPECT_EQ(requests, Bytes({4, 1}) + kPort8080 + Bytes({127, 0, 0, 1}) + "bob" + Bytes({0}));
  std::vector<std::string> want = {"socks:0", "connected:0", "closed:0"};
  EXPECT_EQ(c.Events(), want);
}

TEST(SocksVersion4, LevelFourASendsTheHostName) {
  std::string requests;
  ScriptedPeer peer;
  peer.Run([&](int fd) {
    requests = ScriptedPeer::ReadN(fd, 9 + 3 + 12 + 1);
    ScriptedPeer::SendAll(fd, Bytes({0, 90, 0, 0, 0, 0, 0, 0}));
    ScriptedPeer::ReadAll(fd);
    return false;
  });
  SocksClient c(peer.Port(), "4a", "example.test");
  EXPECT_EQ(c.s->SocksLevel(), "4A");
  c.s->SocksUsercode = "bob";
  c.s->Connect();
  ASSERT_TRUE(PumpUntil([&] { return c.Has("connected:0"); }));
  c.s->Close();
  peer.Join();
  EXPECT_EQ(requests, Bytes({4, 1}) + kPort8080 + Bytes({0, 0, 0, 1}) + "bob" + Bytes({0}) +
                          "example.test" + Bytes({0}));
}

TEST(SocksVersion4, ReplyCodesFailWithTheirTexts) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {Bytes({0, 91, 0, 0, 0, 0, 0, 0}), "20016:request rejected or failed"},
      {Bytes({0, 92, 0, 0, 0, 0, 0, 0}), "20008:connection refused"},
      {Bytes({0, 93, 0, 0, 0, 0, 0, 0}), "20015:authentification failed"},
      {Bytes({0, 94, 0, 0, 0, 0, 0, 0}), "20012:unassigned error #94"},
      {Bytes({4, 90, 0, 0, 0, 0, 0, 0}), "20002:socks version error"}};
  for (const auto& [reply, expected] : cases) {
    SCOPED_TRACE(expected);
    ScriptedPeer peer;
    peer.Run([reply](int fd) {
      ScriptedPeer::ReadN(fd, 9);
      // In two pieces: the client must wait for all eight bytes.
      ScriptedPeer::SendAll(fd, reply.substr(0, 3));
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      ScriptedPeer::SendAll(fd, reply.substr(3));
      ScriptedPeer::ReadAll(fd);
      return false;
    });
    SocksClient c(peer.Port(), "4");
    c.s->Connect();
    ASSERT_TRUE(PumpUntil([&] { return c.closed; }));
    const std::string code = expected.substr(0, 5);
    std::vector<std::string> want = {"socks:0", "error:" + expected, "connected:" + code,
                                     "closed:" + code};
    EXPECT_EQ(c.Events(), want);
  }
}

TEST(SocksVersion4, UnresolvableTargetFailsWithItsLookupError) {
  std::string requests;
  ScriptedPeer peer;
  peer.Run([&](int fd) {
    requests = ScriptedPeer::ReadAll(fd);
    return false;
  });
  SocksClient c(peer.Port(), "4", "no-such-host.invalid");
  std::string message;
  c.s->OnSocksError = [&](TObject*, int e, const std::string& m) {
    c.Add("error:" + std::to_string(e));
    message = m;
  };
  c.s->Connect();
  ASSERT_TRUE(PumpUntil([&] { return c.closed; }));
  peer.Join();
  std::vector<std::string> want = {"socks:0", "error:20017", "connected:20017", "closed:20017"};
  EXPECT_EQ(c.Events(), want);
  EXPECT_NE(message.find("no-such-host.invalid"), std::string::npos) << message;
  EXPECT_EQ(message.substr(message.size() - 17), " ESocketException");
  EXPECT_EQ(requests, "");
}

// ---------------------------------------------------------------------------------------
// Settings

TEST(SocksSettings, LevelsAndChangesWhileConnected) {
  TWSocket s(nullptr);
  s.SetSocksLevel("4a");
  EXPECT_EQ(s.SocksLevel(), "4A");
  s.SetSocksLevel("4");
  EXPECT_EQ(s.SocksLevel(), "4");
  for (const char* bad : {"6", "4b", "", "5 "}) {
    try {
      s.SetSocksLevel(bad);
      ADD_FAILURE() << "accepted " << bad;
    } catch (const ESocketException& e) {
      EXPECT_EQ(e.Message(), "Invalid socks level. Must be 4, 4A or 5.");
    }
  }
  EXPECT_EQ(s.SocksLevel(), "4");
  s.SetSocksServer(" 127.0.0.1 ");
  s.SetSocksPort(" 1080\t");
  EXPECT_EQ(s.SocksServer(), "127.0.0.1");
  EXPECT_EQ(s.SocksPort(), "1080");
}

TEST(SocksSettings, RefusedWhileConnectedAndClearedByEveryClose) {
  ScriptedPeer peer;
  peer.Run([](int fd) {
    ScriptedPeer::ReadN(fd, 3);
    ScriptedPeer::SendAll(fd, Bytes({5, 0}));
    ScriptedPeer::ReadN(fd, 16);
    ScriptedPeer::SendAll(fd, kReplyOk);
    ScriptedPeer::ReadAll(fd);
    return false;
  });
  SocksClient c(peer.Port(), "5");
  c.s->SocksUsercode = "kept";
  c.s->SocksPassword = "too";
  c.s->Connect();
  ASSERT_TRUE(PumpUntil([&] { return c.Has("connected:0"); }));
  std::vector<std::string> errors;
  auto expectRefused = [&](const std::function<void()>& change, const std::string& text) {
    try {
      change();
      ADD_FAILURE() << "accepted: " << text;
    } catch (const ESocketException& e) {
      EXPECT_EQ(e.Message(), text);
    }
  };
  expectRefused([&] { c.s->SetSocksLevel("4"); }, "Can't change socks level if not closed");
  expectRefused([&] { c.s->SetSocksServer("other"); }, "Can't change socks server if not closed");
  expectRefused([&] { c.s->SetSocksPort("1"); }, "Can't change socks port if not closed");
  expectRefused([&] { c.s->Listen(); }, "Listening is not supported thru socks server");
  EXPECT_EQ(c.s->SocksServer(), "127.0.0.1");
  c.s->Close();
  EXPECT_EQ(c.s->SocksServer(), "");
  EXPECT_EQ(c.s->SocksPort(), "");
  EXPECT_EQ(c.s->SocksLevel(), "5");
  EXPECT_EQ(c.s->SocksUsercode, "kept");
  EXPECT_EQ(c.s->SocksPassword, "too");
  peer.Join();

  // Without the settings given again the next connect goes straight to the target.
  std::string seen;
  ScriptedPeer target;
  target.Run([&](int fd) {
    ScriptedPeer::SendAll(fd, "direct");
    seen = ScriptedPeer::ReadAll(fd);
    return false;
  });
  // Addr and Port count as unassigned after a close until they are given again.
  c.s->SetAddr("127.0.0.1");
  c.s->SetPort(target.Port());
  c.received.clear();
  c.s->Connect();
  ASSERT_TRUE(PumpUntil([&] { return c.received == "direct"; }));
  c.s->Close();
  target.Join();
  EXPECT_EQ(seen, "");  // no method request reached it
}

TEST(SocksSettings, OnlyTcpGoesThroughTheProxy) {
  TWSocket s(nullptr);
  s.SetAddr("127.0.0.1");
  s.SetPort("53");
  s.SetProto("udp");
  s.SetSocksServer("127.0.0.1");
  s.SetSocksPort("1080");
  try {
    s.Connect();
    FAIL() << "no exception";
  } catch (const ESocketException& e) {
    EXPECT_EQ(e.Message(), "TCP is the only protocol supported thru socks server");
  }
  EXPECT_EQ(s.SocketHandle(), platform::INVALID_SOCKET);
}

// ---------------------------------------------------------------------------------------
// Request sizes

namespace {
struct OversizeCase {
  std::string level, addr, user, password;
  bool authenticate;
  std::string text;
};
}  // namespace

TEST(SocksRequestSize, OverlongValuesAreRefusedBeforeTheProxyIsContacted) {
  const std::string host122(122, 'h');
  const std::vector<OversizeCase> cases = {
      {"5", host122, "", "", false,
       "Connect: host name too long (at most 121 bytes thru socks 5 server)"},
      {"5", "127.0.0.1", std::string(100, 'u'), std::string(26, 'p'), true,
       "Connect: socks user code and password too long (at most 125 bytes together)"},
      {"4", "127.0.0.1", std::string(120, 'u'), "", false,
       "Connect: socks user code too long (at most 119 bytes for socks 4)"},
      {"4A", std::string(60, 'h'), std::string(59, 'u'), "", false,
       "Connect: socks user code and host name too long (at most 118 bytes together for "
       "socks 4A)"},
  };
  ClosedPort proxy;  // nothing may be sent: a connect attempt would show as 10061
  for (const auto& k : cases) {
    SCOPED_TRACE(k.text);
    SocksClient c(proxy.Port(), k.level, k.addr);
    c.s->SocksUsercode = k.user;
    c.s->SocksPassword = k.password;
    if (k.authenticate) c.s->SocksAuthentication = socksAuthenticateUsercode;
    try {
      c.s->Connect();
      ADD_FAILURE() << "no exception";
    } catch (const ESocketException& e) {
      EXPECT_EQ(e.Message(), k.text);
    }
    EXPECT_EQ(c.s->SocketHandle(), platform::INVALID_SOCKET);
    EXPECT_EQ(c.s->State(), wsClosed);

    // With OnError assigned the refusal is an event, and still nothing is opened.
    int errors = 0;
    c.s->OnError = [&](TObject*) { ++errors; };
    c.s->Connect();
    EXPECT_EQ(errors, 1);
    EXPECT_EQ(c.s->SocketHandle(), platform::INVALID_SOCKET);
    PumpPending();
    EXPECT_TRUE(c.log.empty());
  }
}

TEST(SocksRequestSize, ValuesThatJustFitAreSentWhole) {
  const std::string host(121, 'h');
  const std::string user(60, 'u'), password(65, 'p');
  std::string auth, connect;
  ScriptedPeer peer;
  peer.Run([&](int fd) {
    ScriptedPeer::ReadN(fd, 3);
    ScriptedPeer::SendAll(fd, Bytes({5, 2}));
    auth = ScriptedPeer::ReadN(fd, 128);
    ScriptedPeer::SendAll(fd, Bytes({1, 0}));
    connect = ScriptedPeer::ReadN(fd, 128);
    ScriptedPeer::SendAll(fd, kReplyOk);
    ScriptedPeer::ReadAll(fd);
    return false;
  });
  SocksClient c(peer.Port(), "5", host);
  c.s->SocksAuthentication = socksAuthenticateUsercode;
  c.s->SocksUsercode = user;
  c.s->SocksPassword = password;
  c.s->Connect();
  ASSERT_TRUE(PumpUntil([&] { return c.Has("connected:0") || c.closed; }));
  c.s->Close();
  peer.Join();
  EXPECT_EQ(auth, Bytes({1, 60}) + user + Bytes({65}) + password);
  EXPECT_EQ(connect, ConnectRequest(host));
}

TEST(SocksRequestSize, UnofferedPasswordRequestThatDoesNotFitIsNotSent) {
  std::string after;
  ScriptedPeer peer;
  peer.Run([&](int fd) {
    ScriptedPeer::ReadN(fd, 3);
    ScriptedPeer::SendAll(fd, Bytes({5, 2}));  // asks for what was not offered
    after = ScriptedPeer::ReadAll(fd);
    return false;
  });
  SocksClient c(peer.Port(), "5");
  c.s->SocksUsercode = std::string(100, 'u');
  c.s->SocksPassword = std::string(100, 'p');
  c.s->Connect();
  ASSERT_TRUE(PumpUntil([&] { return c.closed; }));
  peer.Join();
  EXPECT_EQ(after, "");
  std::vector<std::string> want = {
      "socks:0", "auth:start", "auth:failure",
      "error:20013:socks user code and password too long (at most 125 bytes together)",
      "connected:20013", "closed:20013"};
  EXPECT_EQ(c.Events(), want);
}


TEST(SocksVersion5, ARequestThatCannotBeSentFailsTheConnect) {
  ScriptedPeer peer;
  peer.Run([](int fd) {
    ScriptedPeer::ReadAll(fd);
    return false;
  });
  SocksClient c(peer.Port(), "5", "127.0.0.1", std::make_unique<TRefusingSend>(nullptr));
  c.s->Connect();
  ASSERT_TRUE(PumpUntil([&] { return c.closed; }));
  EXPECT_EQ(c.Events(), (std::vector<std::string>{
                            "socks:0", "error:20013:socks request not sent: send refused",
                            "connected:20013", "closed:20013"}));
}
