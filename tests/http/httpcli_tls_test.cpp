// THttpCli over https: keep-alive on one verified session, and peers that break the
// handshake, each of which ends the request with its reason and delivers nothing.
#include <gtest/gtest.h>

#include "net/tlsengine.h"
#include "tests/http/client_fixture.h"
#include "tests/support/test_pki.h"
#include "tests/support/tls_scripted_server.h"

namespace testsupport {
namespace {

class TlsClientTest : public ClientTest {
 protected:
  static void SetUpTestSuite() { pki_ = new TestPki(); }
  static void TearDownTestSuite() {
    delete pki_;
    pki_ = nullptr;
  }
  static TestPki* pki_;
};
TestPki* TlsClientTest::pki_ = nullptr;

TEST_F(TlsClientTest, KeepAliveRequestsShareOneSession) {
  TlsNginxServer nginx(*pki_, "valid");
  nginx.AddFile("a.txt", "first");
  nginx.AddFile("b.txt", std::string(100000, 'b'));
  http->TlsCaFile = pki_->CaFile();
  http->SetRequestVer("1.1");
  GetAndWait(nginx.HttpsUrl("/a.txt"));
  EXPECT_EQ(doneError, 0);
  EXPECT_EQ(http->StatusCode, 200);
  EXPECT_EQ(docData, "first");
  doneCount = 0;
  docData.clear();
  GetAndWait(nginx.HttpsUrl("/b.txt"));
  EXPECT_EQ(doneError, 0);
  EXPECT_TRUE(docData == std::string(100000, 'b'));
  const std::vector<std::string> log = nginx.AccessLog();
  ASSERT_EQ(log.size(), 2u);
  // "<connection> GET ..." : the same connection number both times.
  EXPECT_EQ(log[0].substr(0, log[0].find(' ')), log[1].substr(0, log[1].find(' ')));
}

TEST_F(TlsClientTest, DefaultPortAndHostLineForHttps) {
  // Nothing listens on 443 here: the connect to that port fails, which shows it was used.
  http->TlsCaFile = pki_->CaFile();
  GetAndWait("https://127.0.0.1/x");
  EXPECT_EQ(doneError, 10061);
  EXPECT_EQ(docData, "");
}

struct BadPeer {
  const char* name;
  std::string bytes;  // sent instead of a handshake, then the connection ends
  uint16_t code;
  const char* text;
};

TEST_F(TlsClientTest, BrokenHandshakesEndWithTheirReason) {
  const BadPeer peers[] = {
      {"garbage", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello", TlsErrHandshake,
       "TLS handshake failed"},
      // A record header promising a ServerHello, then nothing more.
      {"stops midway", std::string("\x16\x03\x03\x00\x50\x02\x00", 7), TlsErrHandshake,
       "TLS handshake failed: the server closed the connection"},
      {"alert", std::string("\x15\x03\x03\x00\x02\x02\x28", 7), TlsErrHandshake,
       "the server sent the alert"},
  };
  for (const BadPeer& p : peers) {
    SCOPED_TRACE(p.name);
    ScriptedServer server([&p](ScriptedConnection& c) {
      c.Write(p.bytes);
      c.Close();
      c.WaitForPeerClose();
    });
    doneCount = 0;
    docData.clear();
    body.SetSize(0);
    http->TlsCaFile = pki_->CaFile();
    GetAndWait("https://127.0.0.1:" + std::to_string(server.Port()) + "/doc");
    EXPECT_EQ(doneError, p.code);
    EXPECT_NE(http->StatusText.find(p.text), std::string::npos) << http->StatusText;
    EXPECT_EQ(docData, "");
    EXPECT_EQ(body.DataString(), "");
    EXPECT_EQ(http->State(), httpReady);
  }
}

TEST_F(TlsClientTest, ABodyEndedByTheConnectionNeedsCloseNotify) {
  const std::string reply = "HTTP/1.0 200 OK\r\n\r\nthe whole body";
  http->TlsCaFile = pki_->CaFile();
  {
    TlsScriptedServer server(pki_->CertFile("valid"), pki_->KeyFile("valid"), reply, true);
    GetAndWait(server.Url("/doc"));
    EXPECT_EQ(doneError, 0);
    EXPECT_EQ(http->StatusCode, 200);
    EXPECT_EQ(docData, "the whole body");
  }
  // The same bytes, but the connection just ends: an attacker may have cut it.
  doneCount = 0;
  docData.clear();
  TlsScriptedServer server(pki_->CertFile("valid"), pki_->KeyFile("valid"), reply, false);
  GetAndWait(server.Url("/doc"));
  EXPECT_EQ(doneError, TlsErrTruncated);
  EXPECT_EQ(http->StatusCode, 404);
  EXPECT_NE(http->StatusText.find("close-notify"), std::string::npos) << http->StatusText;
}

TEST_F(TlsClientTest, ALengthBodyCutWithoutCloseNotifyIsIncomplete) {
  TlsScriptedServer server(pki_->CertFile("valid"), pki_->KeyFile("valid"),
                           "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nonly part", false);
  http->TlsCaFile = pki_->CaFile();
  GetAndWait(server.Url("/doc"));
  EXPECT_NE(doneError, 0);
  EXPECT_EQ(http->StatusCode, 404);
  EXPECT_EQ(http->State(), httpReady);
}

TEST_F(TlsClientTest, ASilentHandshakeEndsOnTheTimeout) {
  // Accepts, takes the client's hello and never answers.
  ScriptedServer server([](ScriptedConnection& c) { c.WaitForPeerClose(); });
  http->TlsCaFile = pki_->CaFile();
  http->Timeout = 1;
  http->URL = "https://127.0.0.1:" + std::to_string(server.Port()) + "/doc";
  EXPECT_THROW(http->Get(), EHttpException);
  EXPECT_EQ(http->DoneError, httperrTimeout);
  EXPECT_EQ(http->State(), httpReady);
  EXPECT_EQ(docData, "");
}

TEST_F(TlsClientTest, ANewConnectionResumesAVerifiedSession) {
  TlsNginxServer nginx(*pki_, "valid",
                       "    location = /reused { return 200 \"$ssl_session_reused\"; }\n");
  auto get = [this, &nginx] {
    doneCount = 0;
    docData.clear();
    GetAndWait(nginx.HttpsUrl("/reused"));  // HTTP/1.0: a connection per request
    EXPECT_EQ(http->StatusCode, 200);
    return docData;
  };
  http->TlsCaFile = pki_->CaFile();
  EXPECT_EQ(get(), ".");  // a full handshake, whatever was kept for this name before
  EXPECT_EQ(get(), "r");
  // A session is not offered to a connection that does not verify.
  http->TlsVerify = false;
  EXPECT_EQ(get(), ".");
}

}  // namespace
}  // namespace testsupport
