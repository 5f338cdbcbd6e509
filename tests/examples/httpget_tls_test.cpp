// httpget and mpget over https against nginx with certificates made for the run: what is
// verified, what each refusal says, relocations between http and https, and peers that
// break the session. With TEST_WINDOWS_BUILD set, the same cases hold the Windows build's
// programs under Wine to the same results.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "tests/support/peer_servers.h"
#include "tests/support/program_under_test.h"
#include "tests/support/scripted_server.h"
#include "tests/support/socks_server.h"
#include "tests/support/test_pki.h"
#include "tests/support/tls_scripted_server.h"

namespace testsupport {
namespace {

struct Result {
  int status;
  std::string out, err;
};

class HttpsToolsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { pki_ = new TestPki(); }
  static void TearDownTestSuite() {
    delete pki_;
    pki_ = nullptr;
  }
  Result Tool(const std::string& tool, const std::string& args) {
    std::string out = dir_.Path() + "/stdout", err = dir_.Path() + "/stderr";
    std::string cmd = BuiltProgramCommand("examples/" + tool) + " " + args + " >" + out + " 2>" + err +
                      " </dev/null";
    int rc = std::system(cmd.c_str());
    return {WIFEXITED(rc) ? WEXITSTATUS(rc) : -1, ReadFileText(out), ReadFileText(err)};
  }
  // A path as the program under test names it, quoted for the shell.
  static std::string Arg(const std::string& path) { return "'" + ProgramPath(path) + "'"; }
  std::string CaOption() const { return "--cacert " + Arg(pki_->CaFile()) + " "; }

  static TestPki* pki_;
  TempDir dir_;
};
TestPki* HttpsToolsTest::pki_ = nullptr;

TEST_F(HttpsToolsTest, VerifiedDocumentByAddressAndByName) {
  TlsNginxServer nginx(*pki_, "valid");
  nginx.AddFile("data.txt", "over tls");
  Result r = Tool("httpget", CaOption() + nginx.HttpsUrl("/data.txt"));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "over tls");
  EXPECT_EQ(r.err, "");
  // The name form goes as SNI and matches the certificate's DNS name.
  r = Tool("httpget", CaOption() + "https://localhost:" + std::to_string(nginx.Port()) + "/data.txt");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "over tls");
}

TEST_F(HttpsToolsTest, EachRefusalNamesItsReasonAndDeliversNothing) {
  struct Case {
    const char* kind;
    bool withCa;
    const char* text;
    const char* code;
  } cases[] = {
      {"valid", false, "certificate not trusted", "#20102"},  // our CA is not the system's
      {"selfsigned", true, "certificate not trusted", "#20102"},
      {"expired", true, "certificate expired", "#20103"},
      {"othername", true, "certificate is for another host than 127.0.0.1", "#20104"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.kind);
    TlsNginxServer nginx(*pki_, c.kind);
    nginx.AddFile("data.txt", "secret");
    Result r = Tool("httpget", (c.withCa ? CaOption() : "") + nginx.HttpsUrl("/data.txt"));
    EXPECT_NE(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find(c.text), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(c.code), std::string::npos) << r.err;
    // The request never reached the server.
    EXPECT_TRUE(nginx.AccessLog().empty());
  }
}

TEST_F(HttpsToolsTest, InsecureSkipsTheChecksAndSaysSo) {
  TlsNginxServer nginx(*pki_, "selfsigned");
  nginx.AddFile("data.txt", "unverified");
  Result r = Tool("httpget", "--insecure " + nginx.HttpsUrl("/data.txt"));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "unverified");
  EXPECT_NE(r.err.find("NOT verified"), std::string::npos) << r.err;
}

TEST_F(HttpsToolsTest, MissingCaFileIsACleanFailure) {
  TlsNginxServer nginx(*pki_, "valid");
  nginx.AddFile("data.txt", "x");
  Result r = Tool("httpget", "--cacert " + Arg(dir_.Path() + "/none.pem") + " " + nginx.HttpsUrl("/data.txt"));
  EXPECT_NE(r.status, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("TLS setup failed"), std::string::npos) << r.err;
}

TEST_F(HttpsToolsTest, RelocationsBetweenHttpAndHttpsKeepCredentialsOffTheClearHop) {
  // https (credentials given) -> http -> https -> http, the last hop recording what came.
  ScriptedServer last([](ScriptedConnection& c) {
    if (c.ReadRequest().empty()) return;
    c.Write("HTTP/1.1 200 OK\r\nContent-Length: 4\r\nConnection: close\r\n\r\ndone");
    c.Close();
  });
  std::string again;  // set once the https server runs
  ScriptedServer hop([&again](ScriptedConnection& c) {
    if (c.ReadRequest().empty()) return;
    c.Write("HTTP/1.1 302 Found\r\nLocation: " + again + "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
    c.Close();
  });
  TlsNginxServer tls(*pki_, "valid",
                     "    location = /start { return 302 " + hop.Url("/hop") + "; }\n"
                     "    location = /again { return 302 " + last.Url("/end") + "; }\n");
  again = tls.HttpsUrl("/again");
  const std::string file = dir_.Path() + "/end.txt";
  Result r = Tool("httpget", CaOption() + "-o " + Arg(file) + " --location-trusted --user u:p --auth basic " +
                                 tls.HttpsUrl("/start"));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(ReadFileText(file), "done");
  ASSERT_EQ(last.Requests().size(), 1u);
  EXPECT_EQ(last.Requests()[0].find("Authorization:"), std::string::npos) << last.Requests()[0];
}

TEST_F(HttpsToolsTest, ThroughASocksProxyTheSessionIsWithTheTarget) {
  SocksProxyServer proxy(false);
  TlsNginxServer nginx(*pki_, "valid");
  nginx.AddFile("data.txt", "via socks");
  const std::string socks = "--socks 127.0.0.1:" + std::to_string(proxy.Port()) + " ";
  Result r = Tool("httpget", socks + CaOption() + nginx.HttpsUrl("/data.txt"));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "via socks");
  // It really went through the proxy, to nginx's port.
  EXPECT_NE(proxy.Log().find(" 127.0.0.1." + std::to_string(nginx.Port())), std::string::npos)
      << proxy.Log();
  // The proxy passes the bytes; the certificate is still checked against the target.
  TlsNginxServer other(*pki_, "othername");
  other.AddFile("data.txt", "x");
  r = Tool("httpget", socks + CaOption() + other.HttpsUrl("/data.txt"));
  EXPECT_NE(r.status, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("#20104"), std::string::npos) << r.err;
}

TEST_F(HttpsToolsTest, SegmentedDownloadOverTls) {
  TlsNginxServer nginx(*pki_, "valid");
  std::string doc(300000, '\0');
  for (size_t i = 0; i < doc.size(); ++i) doc[i] = static_cast<char>(i * 131 % 257);
  nginx.AddFile("pkg.7z", doc);
  const std::string file = dir_.Path() + "/pkg.7z";
  Result r = Tool("mpget", CaOption() + "--parts 3 " + nginx.HttpsUrl("/pkg.7z") + " " + Arg(file));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(ReadFileText(file) == doc);
  int ranges = 0;
  for (const std::string& l : nginx.AccessLog()) ranges += l.find(" 206") != std::string::npos;
  EXPECT_EQ(ranges, 3);
  // Every part resumes the session of the first request: nginx refuses a range on a
  // connection with a full handshake. Wine's Schannel resumes none.
  if (!UnderWine()) {
    TlsNginxServer resuming(*pki_, "valid",
                            "    location = /pkg.7z {\n"
                            "      set $fresh \"\";\n"
                            "      if ($ssl_session_reused = \".\") { set $fresh \"f\"; }\n"
                            "      if ($http_range) { set $fresh \"${fresh}r\"; }\n"
                            "      if ($fresh = \"fr\") { return 403; }\n"
                            "    }\n");
    resuming.AddFile("pkg.7z", doc);
    const std::string resumed = dir_.Path() + "/resumed.7z";
    r = Tool("mpget", CaOption() + "--parts 3 " + resuming.HttpsUrl("/pkg.7z") + " " + Arg(resumed));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(ReadFileText(resumed) == doc);
  }
  // Without the CA nothing is written.
  const std::string refused = dir_.Path() + "/refused.7z";
  r = Tool("mpget", nginx.HttpsUrl("/pkg.7z") + " " + Arg(refused));
  EXPECT_NE(r.status, 0);
  EXPECT_FALSE(std::ifstream(refused).good());
}

TEST_F(HttpsToolsTest, BrokenSessionsEndWithTheirReasonAndDeliverNothing) {
  const struct {
    const char* name;
    std::string bytes;  // sent instead of a handshake, then the connection ends
    const char* text;
  } peers[] = {
      {"garbage", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello", "TLS handshake failed"},
      // A record header promising a ServerHello, then nothing more.
      {"stops midway", std::string("\x16\x03\x03\x00\x50\x02\x00", 7),
       "TLS handshake failed: the server closed the connection"},
      {"alert", std::string("\x15\x03\x03\x00\x02\x02\x28", 7), "the server sent the alert"},
  };
  for (const auto& p : peers) {
    SCOPED_TRACE(p.name);
    ScriptedServer server([&p](ScriptedConnection& c) {
      c.Write(p.bytes);
      c.Close();
      c.WaitForPeerClose();
    });
    Result r = Tool("httpget", CaOption() + "https://127.0.0.1:" + std::to_string(server.Port()) + "/doc");
    EXPECT_NE(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find(p.text), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("#20101"), std::string::npos) << r.err;
  }
  // A body that ends with the connection counts only when close-notify ended it.
  const std::string reply = "HTTP/1.0 200 OK\r\n\r\nthe whole body";
  {
    TlsScriptedServer server(pki_->CertFile("valid"), pki_->KeyFile("valid"), reply, true);
    Result r = Tool("httpget", CaOption() + server.Url("/doc"));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "the whole body");
  }
  TlsScriptedServer server(pki_->CertFile("valid"), pki_->KeyFile("valid"), reply, false);
  Result r = Tool("httpget", CaOption() + server.Url("/doc"));
  EXPECT_NE(r.status, 0);
  EXPECT_NE(r.err.find("close-notify missing"), std::string::npos) << r.err;
}

TEST_F(HttpsToolsTest, ThroughAnHttpProxysTunnel) {
  TlsNginxServer nginx(*pki_, "valid");
  std::string doc(300000, '\0');
  for (size_t i = 0; i < doc.size(); ++i) doc[i] = static_cast<char>(i * 131 % 257);
  nginx.AddFile("pkg.7z", doc);
  nginx.AddFile("data.txt", "via the tunnel");
  HttpProxyServer proxy("ConnectPort " + std::to_string(nginx.Port()) + "\n");
  const std::string via = "--proxy 127.0.0.1:" + std::to_string(proxy.Port()) + " ";
  Result r = Tool("httpget", via + CaOption() + nginx.HttpsUrl("/data.txt"));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "via the tunnel");
  const std::string file = dir_.Path() + "/pkg.7z";
  r = Tool("mpget", via + CaOption() + "--parts 2 " + nginx.HttpsUrl("/pkg.7z") + " " + Arg(file));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(ReadFileText(file) == doc);
  int ranges = 0;
  for (const std::string& l : nginx.AccessLog()) ranges += l.find(" 206") != std::string::npos;
  EXPECT_EQ(ranges, 2);
  // httpget and each of mpget's requests each had a tunnel of their own.
  const std::string log = proxy.Log();
  size_t tunnels = 0;
  for (size_t at = log.find("CONNECT 127.0.0.1:"); at != std::string::npos;
       at = log.find("CONNECT 127.0.0.1:", at + 1))
    ++tunnels;
  EXPECT_GE(tunnels, 3u) << log;
}

}  // namespace
}  // namespace testsupport
