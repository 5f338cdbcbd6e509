// https through HTTP proxies: the CONNECT tunnel through tinyproxy and squid, the proxy's
// challenges answered on the tunnel request, and what a tunnel must never deliver.
#include <gtest/gtest.h>

#include <atomic>

#include "http/httpauth.h"
#include "http/ntlm.h"
#include "net/tlsengine.h"
#include "tests/http/client_fixture.h"
#include "tests/support/squid_server.h"
#include "tests/support/test_pki.h"

namespace testsupport {
namespace {

std::string HeaderValue(const std::string& request, const std::string& name) {
  const std::string key = "\r\n" + name + ": ";
  size_t at = request.find(key);
  if (at == std::string::npos) return std::string();
  at += key.size();
  return request.substr(at, request.find("\r\n", at) - at);
}

// The value of name="value" (or name=value) inside a Digest answer.
std::string DigestParam(const std::string& answer, const std::string& name) {
  size_t at = answer.find(name + "=");
  if (at == std::string::npos) return std::string();
  at += name.size() + 1;
  if (answer[at] == '"') return answer.substr(at + 1, answer.find('"', at + 1) - at - 1);
  return answer.substr(at, answer.find(',', at) - at);
}

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

class TunnelTest : public ClientTest {
 protected:
  static void SetUpTestSuite() { pki_ = new TestPki(); }
  static void TearDownTestSuite() {
    delete pki_;
    pki_ = nullptr;
  }
  void SetUp() override {
    ClientTest::SetUp();
    http->TlsCaFile = pki_->CaFile();
    http->SetRequestVer("1.1");
  }
  void UseProxy(uint16_t port) {
    http->Proxy = "127.0.0.1";
    http->ProxyPort = std::to_string(port);
  }
  void Again(const std::string& url) {
    doneCount = 0;
    docData.clear();
    body.SetSize(0);
    GetAndWait(url);
  }
  static std::string Allow(const NginxServer& server) {
    return "ConnectPort " + std::to_string(server.Port()) + "\n";
  }
  static TestPki* pki_;
};
TestPki* TunnelTest::pki_ = nullptr;

TEST_F(TunnelTest, TinyproxyTunnelKeepsOneSessionPerTarget) {
  TlsNginxServer a(*pki_, "valid"), b(*pki_, "valid");
  a.AddFile("a.txt", "first");
  a.AddFile("b.txt", std::string(100000, 'b'));
  b.AddFile("c.txt", "other target");
  HttpProxyServer proxy(Allow(a) + Allow(b));
  UseProxy(proxy.Port());

  GetAndWait(a.HttpsUrl("/a.txt"));
  EXPECT_EQ(doneError, 0);
  EXPECT_EQ(http->StatusCode, 200);
  EXPECT_EQ(docData, "first");
  // The session is told once, when the target is reached, not for the proxy.
  EXPECT_EQ(events, "hb;he;db;de;done;");
  Again(a.HttpsUrl("/b.txt"));
  EXPECT_EQ(http->StatusCode, 200);
  EXPECT_TRUE(docData == std::string(100000, 'b'));
  Again(b.HttpsUrl("/c.txt"));
  EXPECT_EQ(http->StatusCode, 200);
  EXPECT_EQ(docData, "other target");

  const std::vector<std::string> log = a.AccessLog();
  ASSERT_EQ(log.size(), 2u);
  // Origin-form inside the tunnel, both requests on the one tunnel.
  EXPECT_NE(log[0].find(" GET /a.txt HTTP/1.1 200"), std::string::npos) << log[0];
  EXPECT_EQ(log[0].substr(0, log[0].find(' ')), log[1].substr(0, log[1].find(' ')));
  const std::string plog = proxy.Log();
  EXPECT_EQ(Count(plog, "CONNECT 127.0.0.1:" + std::to_string(a.Port())), 1u) << plog;
  EXPECT_EQ(Count(plog, "CONNECT 127.0.0.1:" + std::to_string(b.Port())), 1u) << plog;
}

TEST_F(TunnelTest, RelocationsBetweenHttpAndHttpsStayOnTheProxy) {
  // http (scripted) -> https (nginx) -> http (scripted), all through tinyproxy.
  std::atomic<int> tlsPort{0};
  ScriptedServer plain([&tlsPort](ScriptedConnection& c) {
    for (std::string rq; !(rq = c.ReadRequest()).empty();) {
      if (rq.find("/start") != std::string::npos)
        c.Write(Response("HTTP/1.1 302 Found",
                         "Location: https://127.0.0.1:" + std::to_string(tlsPort.load()) +
                             "/back\r\n",
                         ""));
      else
        c.Write(Response("HTTP/1.1 200 OK", "", "back in clear"));
    }
  });
  TlsNginxServer tls(*pki_, "valid",
                     "    location = /back { return 302 " + plain.Url("/end") + "; }\n");
  tlsPort = tls.Port();
  HttpProxyServer proxy(Allow(tls));
  UseProxy(proxy.Port());
  GetAndWait(plain.Url("/start"));
  EXPECT_EQ(doneError, 0);
  EXPECT_EQ(http->StatusCode, 200);
  EXPECT_EQ(body.DataString(), "back in clear");
  EXPECT_EQ(http->LocationChangeCurCount(), 2);
  ASSERT_EQ(tls.AccessLog().size(), 1u);
  EXPECT_NE(tls.AccessLog()[0].find(" GET /back HTTP/1.1 302"), std::string::npos);
}

TEST_F(TunnelTest, WhatTheTunnelCannotCarryIsRefused) {
  TlsNginxServer nginx(*pki_, "valid"), other(*pki_, "othername");
  nginx.AddFile("a.txt", "first");
  {
    // The proxy lets CONNECT through to another port only: its 403 ends the request and
    // its error page is no document.
    HttpProxyServer proxy("ConnectPort 1\n");
    UseProxy(proxy.Port());
    GetAndWait(nginx.HttpsUrl("/a.txt"));
    EXPECT_EQ(http->StatusCode, 403);
    EXPECT_FALSE(http->StatusText.empty());
    EXPECT_EQ(docData, "");
    EXPECT_EQ(body.DataString(), "");
    EXPECT_EQ(events.find("db;"), std::string::npos) << events;
    EXPECT_TRUE(nginx.AccessLog().empty());
  }
  // The certificate is checked against the target, not the proxy.
  HttpProxyServer proxy(Allow(other));
  UseProxy(proxy.Port());
  Again(other.HttpsUrl("/a.txt"));
  EXPECT_EQ(doneError, TlsErrWrongHost);
  EXPECT_EQ(http->StatusCode, 404);
  EXPECT_EQ(docData, "");
  EXPECT_EQ(http->State(), httpReady);
}

TEST_F(TunnelTest, SquidAsksForBasicOnTheTunnelRequest) {
  TlsNginxServer nginx(*pki_, "valid");
  nginx.AddFile("a.txt", "through squid");
  SquidProxy squid("carol", "proxy pass");
  UseProxy(squid.Port());
  // A connection per request: the second one needs a tunnel of its own.
  http->SetRequestVer("1.0");
  http->ProxyUsername = "carol";
  http->ProxyPassword = "proxy pass";
  GetAndWait(nginx.HttpsUrl("/a.txt"));
  EXPECT_EQ(doneError, 0);
  EXPECT_EQ(http->StatusCode, 200);
  EXPECT_EQ(docData, "through squid");
  EXPECT_EQ(doneCount, 1);

  // A wrong password: the request ends with the proxy's 407, nothing delivered.
  http->ProxyPassword = "wrong";
  Again(nginx.HttpsUrl("/a.txt"));
  EXPECT_EQ(http->StatusCode, 407);
  EXPECT_EQ(docData, "");
  EXPECT_EQ(doneCount, 1);
  // squid logs a tunnel once it has ended.
  const std::string tunnel = "CONNECT 127.0.0.1:" + std::to_string(nginx.Port()) + " carol ";
  PumpUntil([&] { return squid.AccessLog().find(tunnel) != std::string::npos; });
  EXPECT_NE(squid.AccessLog().find(tunnel), std::string::npos) << squid.AccessLog();
}

// A proxy that challenges the CONNECT once, then opens the tunnel to port and relays.
ScriptedServer::Handler ChallengingProxy(const std::string& challenge, uint16_t port) {
  return [challenge, port](ScriptedConnection& c) {
    if (c.ReadRequest().empty()) return;
    c.Write(Response("HTTP/1.1 407 Proxy Authentication Required",
                     "Proxy-Authenticate: " + challenge + "\r\n", "who are you?"));
    if (c.ReadRequest().empty()) return;
    c.Write("HTTP/1.1 200 Connection established\r\n\r\n");
    c.Relay(port);
  };
}

TEST_F(TunnelTest, DigestAnswersForConnectAndItsTarget) {
  TlsNginxServer nginx(*pki_, "valid",
                       "    location = /echo { return 200 \"[$http_proxy_authorization] "
                       "$request_uri\"; }\n");
  ScriptedServer proxy(
      ChallengingProxy("Digest realm=\"tunnels\", nonce=\"n0nce\", qop=\"auth\"", nginx.Port()));
  UseProxy(proxy.Port());
  http->ProxyUsername = "dave";
  http->ProxyPassword = "pw";
  GetAndWait(nginx.HttpsUrl("/echo"));
  EXPECT_EQ(http->StatusCode, 200);
  // No proxy credentials inside the tunnel.
  EXPECT_EQ(docData, "[] /echo");

  const std::vector<std::string> requests = proxy.Requests();
  ASSERT_EQ(requests.size(), 2u);
  const std::string target = "127.0.0.1:" + std::to_string(nginx.Port());
  EXPECT_EQ(requests[0].substr(0, requests[0].find("\r\n")), "CONNECT " + target + " HTTP/1.1");
  EXPECT_EQ(HeaderValue(requests[0], "Host"), target);
  EXPECT_EQ(HeaderValue(requests[0], "Proxy-Authorization"), "");
  const std::string answer = HeaderValue(requests[1], "Proxy-Authorization");
  TAuthDigestInfo info;
  ASSERT_TRUE(AuthDigestParseChallenge("realm=\"tunnels\", nonce=\"n0nce\", qop=\"auth\"", info));
  EXPECT_EQ(answer, "Digest " + AuthDigestAnswer("dave", "pw", "CONNECT", target, info, 1,
                                                 DigestParam(answer, "cnonce")));
  EXPECT_EQ(proxy.ConnectionCount(), 1);
}

TEST_F(TunnelTest, NtlmKeepsTheConnectionAcrossItsHandshake) {
  TlsNginxServer nginx(*pki_, "valid");
  nginx.AddFile("a.txt", "behind ntlm");
  std::string m("NTLMSSP\0\x02\0\0\0", 12);
  m += std::string(8, '\0') + std::string("\x01\x02\x81\x00", 4) + "\x01\x23\x45\x67\x89\xab\xcd\xef" +
       std::string(16, '\0');
  ScriptedServer proxy(ChallengingProxy("NTLM " + Base64Encode(m), nginx.Port()));
  UseProxy(proxy.Port());
  http->ProxyAuth = httpAuthNtlm;
  http->ProxyUsername = "User";
  http->ProxyPassword = "Password";
  // The range survives the rounds on the CONNECT.
  http->ContentRangeBegin = "7";
  GetAndWait(nginx.HttpsUrl("/a.txt"));
  EXPECT_EQ(http->StatusCode, 206);
  EXPECT_EQ(docData, "ntlm");
  EXPECT_EQ(proxy.ConnectionCount(), 1);
  const std::vector<std::string> requests = proxy.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(HeaderValue(requests[0], "Proxy-Authorization"),
            "NTLM " + Base64Encode(NtlmNegotiateMessage()));
  std::string third;
  ASSERT_TRUE(Base64Decode(HeaderValue(requests[1], "Proxy-Authorization").substr(5), third));
  ASSERT_GE(third.size(), 64u);
  EXPECT_EQ(third[8], 3);
}

}  // namespace
}  // namespace testsupport
