// httpget with credentials against real servers that ask for them.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <string>

#include "tests/support/auth_peers.h"

namespace testsupport {
namespace {

class HttpGetAuthTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { peers_ = new AuthPeers(); }
  static void TearDownTestSuite() {
    delete peers_;
    peers_ = nullptr;
  }

  // Runs httpget with the arguments; answers its exit status, output in out_ and err_.
  int Httpget(const std::string& args) {
    const std::string out = dir_.Path() + "/stdout", err = dir_.Path() + "/stderr";
    const std::string cmd = std::string(TEST_BINARY_DIR) + "/examples/httpget " + args + " >" +
                            out + " 2>" + err + " </dev/null";
    const int rc = std::system(cmd.c_str());
    out_ = ReadFileText(out);
    err_ = ReadFileText(err);
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  }

  static std::string Credentials(const char* user, const char* password) {
    return "'" + std::string(user) + ":" + password + "'";
  }

  std::string ProxyArg() const {
    return "--proxy 127.0.0.1:" + std::to_string(peers_->Proxy().Port());
  }

  static AuthPeers* peers_;
  TempDir dir_;
  std::string out_, err_;
};
AuthPeers* HttpGetAuthTest::peers_ = nullptr;

TEST_F(HttpGetAuthTest, BasicServer) {
  const std::string url = peers_->Nginx().Url("/private/secret.txt");
  const std::string user = Credentials(AuthPeers::kBasicUser, AuthPeers::kBasicPassword);
  for (const char* extra : {"", "--auth basic", "--timeout 10", "--http-version 1.1"}) {
    SCOPED_TRACE(extra);
    EXPECT_EQ(Httpget("--user " + user + " " + extra + " " + url), 0) << err_;
    EXPECT_EQ(out_, AuthPeers::kSecret);
  }
  EXPECT_EQ(Httpget("--user " + Credentials(AuthPeers::kBasicUser, "wrong") + " " + url), 4);
  EXPECT_EQ(err_, "httpget: 401 Unauthorized\n");
  EXPECT_EQ(Httpget("--timeout 10 --user " + Credentials(AuthPeers::kBasicUser, "wrong") + " " +
                    url),
            4);
  EXPECT_EQ(err_, "httpget: 401 Unauthorized\n");
}

TEST_F(HttpGetAuthTest, DigestServer) {
  const std::string url = peers_->Lighttpd().Url("/secret.txt");
  const std::string user = Credentials(AuthPeers::kDigestUser, AuthPeers::kDigestPassword);
  EXPECT_EQ(Httpget("--user " + user + " " + url), 0) << err_;
  EXPECT_EQ(out_, AuthPeers::kSecret);
  EXPECT_EQ(Httpget("--auth digest --http-version 1.1 --user " + user + " " + url), 0) << err_;
  EXPECT_EQ(out_, AuthPeers::kSecret);
  EXPECT_EQ(Httpget("--user " + Credentials(AuthPeers::kDigestUser, "wrong") + " " + url), 4);
  EXPECT_EQ(err_, "httpget: 401 Unauthorized\n");
}

TEST_F(HttpGetAuthTest, BasicProxy) {
  const std::string url = peers_->Nginx().Url("/open.txt");
  const std::string user = Credentials(AuthPeers::kProxyUser, AuthPeers::kProxyPassword);
  EXPECT_EQ(Httpget(ProxyArg() + " --proxy-user " + user + " " + url), 0) << err_;
  EXPECT_EQ(out_, AuthPeers::kSecret);
  EXPECT_EQ(Httpget(ProxyArg() + " --proxy-auth basic --proxy-user " + user + " " + url), 0)
      << err_;
  EXPECT_EQ(out_, AuthPeers::kSecret);
  EXPECT_EQ(Httpget(ProxyArg() + " " + url), 4);
  EXPECT_EQ(err_.substr(0, 14), "httpget: 407 P") << err_;
  EXPECT_EQ(Httpget(ProxyArg() + " --proxy-user " + Credentials(AuthPeers::kProxyUser, "wrong") +
                    " " + url),
            4);
  EXPECT_EQ(out_, "");
}

TEST_F(HttpGetAuthTest, ProxyAndServerTogether) {
  EXPECT_EQ(Httpget(ProxyArg() + " --proxy-user " +
                    Credentials(AuthPeers::kProxyUser, AuthPeers::kProxyPassword) + " --user " +
                    Credentials(AuthPeers::kDigestUser, AuthPeers::kDigestPassword) + " " +
                    peers_->Lighttpd().Url("/secret.txt")),
            0)
      << err_;
  EXPECT_EQ(out_, AuthPeers::kSecret);
}

TEST_F(HttpGetAuthTest, BadAuthArgumentsAreUsageErrors) {
  const std::string url = peers_->Nginx().Url("/open.txt");
  EXPECT_EQ(Httpget("--auth kerberos " + url), 2);
  EXPECT_NE(err_.find("usage: httpget"), std::string::npos);
  EXPECT_EQ(Httpget("--user nocolon " + url), 2);
  EXPECT_EQ(Httpget("--proxy-auth " + url), 2);
}

}  // namespace
}  // namespace testsupport
