// Authentication against servers we did not write: nginx (Basic), lighttpd (Digest) and
// an HTTP proxy (Basic), all on loopback.
#include <gtest/gtest.h>

#include "tests/http/client_fixture.h"
#include "tests/support/auth_peers.h"

namespace testsupport {
namespace {

class AuthPeersTest : public ClientTest {
 protected:
  static void SetUpTestSuite() { peers_ = new AuthPeers(); }
  static void TearDownTestSuite() {
    delete peers_;
    peers_ = nullptr;
  }

  // One asynchronous GET from a fresh start; answers the status.
  int Fetch(const std::string& url) {
    body.SetSize(0);
    doneCount = 0;
    GetAndWait(url);
    EXPECT_EQ(doneCount, 1) << url;
    EXPECT_EQ(doneError, 0) << url;
    return http->StatusCode;
  }

  static AuthPeers* peers_;
};
AuthPeers* AuthPeersTest::peers_ = nullptr;

TEST_F(AuthPeersTest, NginxBasic) {
  const std::string url = peers_->Nginx().Url("/private/secret.txt");
  for (const char* version : {"1.0", "1.1"}) {
    SCOPED_TRACE(std::string("HTTP/") + version);
    http->SetRequestVer(version);
    http->Username = AuthPeers::kBasicUser;
    http->Password = AuthPeers::kBasicPassword;
    http->ServerAuth = httpAuthNone;
    EXPECT_EQ(Fetch(url), 200);
    EXPECT_EQ(body.DataString(), AuthPeers::kSecret);

    http->ServerAuth = httpAuthBasic;
    EXPECT_EQ(Fetch(url), 200);
    EXPECT_EQ(body.DataString(), AuthPeers::kSecret);

    http->Password = "wrong";
    EXPECT_EQ(Fetch(url), 401);
    http->ServerAuth = httpAuthNone;
    EXPECT_EQ(Fetch(url), 401);
  }
}

TEST_F(AuthPeersTest, LighttpdDigest) {
  const std::string url = peers_->Lighttpd().Url("/secret.txt");
  for (const char* version : {"1.0", "1.1"}) {
    SCOPED_TRACE(std::string("HTTP/") + version);
    http->SetRequestVer(version);
    http->Username = AuthPeers::kDigestUser;
    http->Password = AuthPeers::kDigestPassword;
    EXPECT_EQ(Fetch(url), 200);
    EXPECT_EQ(body.DataString(), AuthPeers::kSecret);
    http->Password = "wrong";
    EXPECT_EQ(Fetch(url), 401);
  }
  // Basic offered beforehand stays the scheme of this request: the server's Digest
  // challenge is not taken up and the request ends with the 401.
  http->ServerAuth = httpAuthBasic;
  http->Password = AuthPeers::kDigestPassword;
  EXPECT_EQ(Fetch(url), 401);
}

TEST_F(AuthPeersTest, ProxyBasic) {
  http->Proxy = "127.0.0.1:" + std::to_string(peers_->Proxy().Port());
  const std::string url = peers_->Nginx().Url("/open.txt");
  EXPECT_EQ(Fetch(url), 407);

  http->ProxyUsername = AuthPeers::kProxyUser;
  http->ProxyPassword = AuthPeers::kProxyPassword;
  EXPECT_EQ(Fetch(url), 200);
  EXPECT_EQ(body.DataString(), AuthPeers::kSecret);

  http->ProxyAuth = httpAuthBasic;
  EXPECT_EQ(Fetch(url), 200);

  http->ProxyPassword = "wrong";
  EXPECT_NE(Fetch(url), 200);
}

TEST_F(AuthPeersTest, ProxyBasicThenServerDigest) {
  http->Proxy = "127.0.0.1:" + std::to_string(peers_->Proxy().Port());
  http->ProxyUsername = AuthPeers::kProxyUser;
  http->ProxyPassword = AuthPeers::kProxyPassword;
  http->Username = AuthPeers::kDigestUser;
  http->Password = AuthPeers::kDigestPassword;
  EXPECT_EQ(Fetch(peers_->Lighttpd().Url("/secret.txt")), 200);
  EXPECT_EQ(body.DataString(), AuthPeers::kSecret);
}

}  // namespace
}  // namespace testsupport
