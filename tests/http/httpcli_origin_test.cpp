// Server credentials stay with the origin they were given for: scripted servers on two
// ports, every scheme, every relocation status, to the other origin and to the same one.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <mutex>

#include "http/httpauth.h"
#include "tests/http/client_fixture.h"
#include "tests/support/peer_servers.h"

namespace testsupport {
namespace {

bool HasLine(const std::string& request, const std::string& name) {
  return request.find("\r\n" + name + ": ") != std::string::npos;
}

std::string NtlmChallengeText() {
  std::string m("NTLMSSP\0\x02\0\0\0", 12);
  m += std::string(8, '\0');
  m += std::string("\x01\x02\x81\x00", 4);
  m += "\x01\x23\x45\x67\x89\xab\xcd\xef";
  m += std::string(16, '\0');
  return "NTLM " + Base64Encode(m);
}

std::string Challenge(const std::string& value) {
  return Response("HTTP/1.1 401 Unauthorized", "WWW-Authenticate: " + value + "\r\n", "no");
}

std::string Relocation(int status, const std::string& location) {
  return "HTTP/1.1 " + std::to_string(status) + " Moved\r\nLocation: " + location +
         "\r\nContent-Length: 0\r\n\r\n";
}

// How the first origin gets its credentials, and the answers it gives before relocating.
struct Scheme {
  const char* name;
  std::function<void(THttpCli&)> setUp;
  std::vector<std::string> before;
  bool urlCredentials = false;
};

std::vector<Scheme> Schemes() {
  auto credentials = [](THttpCli& h) {
    h.Username = "user";
    h.Password = "password";
  };
  return {
      {"BasicOffered",
       [credentials](THttpCli& h) {
         credentials(h);
         h.ServerAuth = httpAuthBasic;
       },
       {}},
      {"BasicAnswered", credentials, {Challenge("Basic realm=\"a\"")}},
      {"DigestAnswered", credentials, {Challenge("Digest realm=\"a\", nonce=\"n1\", qop=\"auth\"")}},
      {"NtlmAnswered", credentials, {Challenge("NTLM"), Challenge(NtlmChallengeText())}},
      {"UrlCredentials", [](THttpCli&) {}, {Challenge("Basic realm=\"a\"")}, true},
  };
}

class OriginTest : public ClientTest,
                   public ::testing::WithParamInterface<std::tuple<int, int>> {
 protected:
  void SetUp() override {
    ClientTest::SetUp();
    http->SetRequestVer("1.1");
  }

  Scheme scheme() const { return Schemes()[std::get<0>(GetParam())]; }
  int status() const { return std::get<1>(GetParam()); }

  // Runs the scheme's exchange on A, then the relocation to `target` (built from the two
  // servers). Answers A's and B's requests.
  void Run(bool sameOrigin, bool trusted, std::vector<std::string>& a,
           std::vector<std::string>& b) {
    Scheme s = scheme();
    std::vector<std::string> answers = s.before;
    ScriptedServer other(ScriptedServer::Responses({Response("HTTP/1.1 200 OK", "", "other")}));
    answers.push_back(Relocation(status(), sameOrigin ? "" : other.Url("/other")));
    answers.push_back(Response("HTTP/1.1 200 OK", "", "same"));
    // The same origin is named absolutely, so the comparison is exercised: the empty
    // location is filled in with the server's own URL.
    ScriptedServer* originPtr = nullptr;
    std::vector<std::string> script = answers;
    std::mutex m;
    ScriptedServer origin([&script, &originPtr, &m](ScriptedConnection& c) {
      for (;;) {
        if (c.ReadRequest().empty()) return;
        std::string answer;
        {
          std::lock_guard<std::mutex> lock(m);
          if (script.empty()) return;
          answer = script.front();
          script.erase(script.begin());
          if (answer.find("Location: \r\n") != std::string::npos)
            answer.replace(answer.find("Location: ") + 10, 0, originPtr->Url("/same"));
        }
        c.Write(answer);
      }
    });
    originPtr = &origin;
    s.setUp(*http);
    http->LocationTrusted = trusted;
    std::string url = origin.Url("/start");
    if (s.urlCredentials) url.replace(7, 0, "user:password@");
    GetAndWait(url);
    a = origin.Requests();
    b = other.Requests();
    EXPECT_EQ(doneCount, 1);
    EXPECT_EQ(http->StatusCode, 200);
    EXPECT_EQ(body.DataString(), sameOrigin ? "same" : "other");
  }
};

TEST_P(OriginTest, AnotherOriginNeverSeesTheCredentials) {
  std::vector<std::string> a, b;
  Run(false, false, a, b);
  ASSERT_EQ(b.size(), 1u);
  EXPECT_FALSE(HasLine(b[0], "Authorization")) << b[0];
  // The first origin had them on the answer that relocated.
  ASSERT_FALSE(a.empty());
  EXPECT_TRUE(HasLine(a.back(), "Authorization")) << a.back();
}

TEST_P(OriginTest, TheSameOriginKeepsThem) {
  std::vector<std::string> a, b;
  Run(true, false, a, b);
  EXPECT_TRUE(b.empty());
  ASSERT_EQ(a.size(), scheme().before.size() + 2);
  EXPECT_TRUE(HasLine(a[a.size() - 2], "Authorization")) << a[a.size() - 2];
  EXPECT_TRUE(HasLine(a.back(), "Authorization")) << a.back();
}

TEST_P(OriginTest, TrustedRelocationsTakeThemAlong) {
  std::vector<std::string> a, b;
  Run(false, true, a, b);
  ASSERT_EQ(b.size(), 1u);
  EXPECT_TRUE(HasLine(b[0], "Authorization")) << b[0];
}

INSTANTIATE_TEST_SUITE_P(
    Relocations, OriginTest,
    ::testing::Combine(::testing::Range(0, static_cast<int>(Schemes().size())),
                       ::testing::Values(301, 302, 303, 307)),
    [](const ::testing::TestParamInfo<std::tuple<int, int>>& info) {
      return std::string(Schemes()[std::get<0>(info.param)].name) + "_" +
             std::to_string(std::get<1>(info.param));
    });

TEST_F(ClientTest, AChallengeFromAnotherOriginEndsWithIts401) {
  ScriptedServer other(ScriptedServer::Responses({Challenge("Basic realm=\"b\""),
                                                  Response("HTTP/1.1 200 OK", "", "never")}));
  ScriptedServer origin(ScriptedServer::Responses({Relocation(302, other.Url("/b"))}));
  http->SetRequestVer("1.1");
  http->Username = "user";
  http->Password = "password";
  GetAndWait(origin.Url("/a"));
  EXPECT_EQ(doneCount, 1);
  EXPECT_EQ(doneError, 0);
  EXPECT_EQ(http->StatusCode, 401);
  auto b = other.Requests();
  ASSERT_EQ(b.size(), 1u);
  EXPECT_FALSE(HasLine(b[0], "Authorization"));
}

TEST_F(ClientTest, BackAtTheFirstOriginTheCredentialsAnswerAgain) {
  ScriptedServer* originPtr = nullptr;
  ScriptedServer other([&originPtr](ScriptedConnection& c) {
    if (c.ReadRequest().empty()) return;
    c.Write(Relocation(302, originPtr->Url("/back")));
    c.WaitForPeerClose();
  });
  ScriptedServer origin(ScriptedServer::Responses(
      {Relocation(307, other.Url("/b")), Challenge("Basic realm=\"a\""),
       Response("HTTP/1.1 200 OK", "", "home")}));
  originPtr = &origin;
  http->SetRequestVer("1.1");
  http->Username = "user";
  http->Password = "password";
  GetAndWait(origin.Url("/a"));
  EXPECT_EQ(http->StatusCode, 200);
  EXPECT_EQ(body.DataString(), "home");
  auto b = other.Requests();
  ASSERT_EQ(b.size(), 1u);
  EXPECT_FALSE(HasLine(b[0], "Authorization"));
  auto a = origin.Requests();
  ASSERT_EQ(a.size(), 3u);
  EXPECT_TRUE(HasLine(a[2], "Authorization"));
}

TEST_F(ClientTest, CredentialsInTheLocationBelongToTheOriginItNames) {
  ScriptedServer other(ScriptedServer::Responses(
      {Challenge("Basic realm=\"b\""), Response("HTTP/1.1 200 OK", "", "b's")}));
  std::string location = other.Url("/b");
  location.replace(7, 0, "bee:sting@");
  ScriptedServer origin(ScriptedServer::Responses({Relocation(302, location)}));
  http->SetRequestVer("1.1");
  http->Username = "user";
  http->Password = "password";
  GetAndWait(origin.Url("/a"));
  EXPECT_EQ(http->StatusCode, 200);
  auto b = other.Requests();
  ASSERT_EQ(b.size(), 2u);
  EXPECT_NE(b[1].find("\r\nAuthorization: Basic " + Base64Encode("bee:sting") + "\r\n"),
            std::string::npos);
}

TEST_F(ClientTest, AHostNamedOtherwiseIsAnotherOrigin) {
  ScriptedServer* originPtr = nullptr;
  std::atomic<int> served{0};
  ScriptedServer origin([&originPtr, &served](ScriptedConnection& c) {
    for (;;) {
      if (c.ReadRequest().empty()) return;
      if (served++ == 0)
        c.Write(Relocation(302, "http://localhost:" + std::to_string(originPtr->Port()) + "/x"));
      else
        c.Write(Response("HTTP/1.1 200 OK", "", "x"));
    }
  });
  originPtr = &origin;
  http->SetRequestVer("1.1");
  http->ServerAuth = httpAuthBasic;
  http->Username = "user";
  http->Password = "password";
  GetAndWait(origin.Url("/a"));
  auto a = origin.Requests();
  ASSERT_EQ(a.size(), 2u);
  EXPECT_TRUE(HasLine(a[0], "Authorization"));
  EXPECT_FALSE(HasLine(a[1], "Authorization"));
}

TEST_F(ClientTest, WithoutAProxyA407IsNotAnswered) {
  ScriptedServer origin(ScriptedServer::Responses(
      {Response("HTTP/1.1 407 Proxy Authentication Required",
                "Proxy-Authenticate: Basic realm=\"p\"\r\n", "no"),
       Response("HTTP/1.1 200 OK", "", "never")}));
  http->ProxyUsername = "proxyuser";
  http->ProxyPassword = "proxypass";
  http->ProxyAuth = httpAuthBasic;
  GetAndWait(origin.Url("/a"));
  EXPECT_EQ(http->StatusCode, 407);
  EXPECT_EQ(doneCount, 1);
  auto a = origin.Requests();
  ASSERT_EQ(a.size(), 1u);
  EXPECT_FALSE(HasLine(a[0], "Proxy-Authorization"));
}

// Through the proxy on port, Basic offered to the proxy and to the server from the start.
void UseProxyAndOfferBoth(THttpCli& h, uint16_t port) {
  h.Proxy = "127.0.0.1:" + std::to_string(port);
  h.ProxyAuth = httpAuthBasic;
  h.ProxyUsername = "carol";
  h.ProxyPassword = "proxypass";
  h.ServerAuth = httpAuthBasic;
  h.Username = "user";
  h.Password = "password";
}

TEST_F(ClientTest, ThroughAProxyOnlyTheProxyCredentialsFollowARelocation) {
  // The scripted server plays the proxy; every request reaches it.
  ScriptedServer proxy(ScriptedServer::Responses(
      {Relocation(302, "http://other.invalid:8080/b"), Response("HTTP/1.1 200 OK", "", "b")}));
  http->SetRequestVer("1.1");
  UseProxyAndOfferBoth(*http, proxy.Port());
  GetAndWait("http://origin.invalid/a");
  EXPECT_EQ(http->StatusCode, 200);
  auto p = proxy.Requests();
  ASSERT_EQ(p.size(), 2u);
  EXPECT_TRUE(HasLine(p[0], "Authorization"));
  EXPECT_TRUE(HasLine(p[0], "Proxy-Authorization"));
  EXPECT_EQ(p[1].substr(0, 33), "GET http://other.invalid:8080/b H");
  EXPECT_FALSE(HasLine(p[1], "Authorization"));
  EXPECT_TRUE(HasLine(p[1], "Proxy-Authorization"));
}

TEST_F(ClientTest, BehindARealProxyNoOriginSeesAnyCredentialOfTheProxy) {
  HttpProxyServer proxy("BasicAuth carol proxypass\n");
  ScriptedServer other(ScriptedServer::Responses({Response("HTTP/1.1 200 OK", "", "other")}));
  ScriptedServer origin(ScriptedServer::Responses({Relocation(302, other.Url("/b"))}));
  UseProxyAndOfferBoth(*http, proxy.Port());
  GetAndWait(origin.Url("/a"));
  EXPECT_EQ(http->StatusCode, 200);
  EXPECT_EQ(body.DataString(), "other");
  auto a = origin.Requests();
  auto b = other.Requests();
  ASSERT_EQ(a.size(), 1u);
  ASSERT_EQ(b.size(), 1u);
  EXPECT_FALSE(HasLine(a[0], "Proxy-Authorization")) << a[0];
  EXPECT_TRUE(HasLine(a[0], "Authorization")) << a[0];
  EXPECT_FALSE(HasLine(b[0], "Proxy-Authorization")) << b[0];
  EXPECT_FALSE(HasLine(b[0], "Authorization")) << b[0];
}

}  // namespace
}  // namespace testsupport
