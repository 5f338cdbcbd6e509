// httpget through a real SOCKS server (dante) to nginx: levels 4 and 5, with and without
// user name and password, and the errors a refusing proxy gives. (The packaged server
// does not resolve 4A host names; the scripted proxy of the socket tests covers 4A.)
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <string>

#include "tests/support/peer_servers.h"
#include "tests/support/socks_server.h"

namespace testsupport {
namespace {

const char kContent[] = "through the proxy\n";

struct ProcessResult {
  int status;
  std::string out, err;
};

class HttpGetSocksTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    nginx_ = new NginxServer();
    nginx_->AddFile("file.txt", kContent);
  }
  static void TearDownTestSuite() {
    delete nginx_;
    nginx_ = nullptr;
  }

  ProcessResult Httpget(const std::string& args) {
    std::string out = dir_.Path() + "/stdout", err = dir_.Path() + "/stderr";
    std::string cmd = std::string(TEST_BINARY_DIR) + "/examples/httpget " + args + " " +
                      nginx_->Url("/file.txt") + " >" + out + " 2>" + err + " </dev/null";
    int rc = std::system(cmd.c_str());
    return {WIFEXITED(rc) ? WEXITSTATUS(rc) : -1, ReadFileText(out), ReadFileText(err)};
  }
  static std::string Socks(const SocksProxyServer& proxy) {
    return "--socks 127.0.0.1:" + std::to_string(proxy.Port());
  }
  // How many connections to nginx the proxy logged: requests really went through it.
  static int Passed(const SocksProxyServer& proxy) {
    const std::string log = proxy.Log(), target = " 127.0.0.1." + std::to_string(nginx_->Port());
    int n = 0;
    for (size_t at = log.find("pass(1): tcp/connect"); at != std::string::npos;
         at = log.find("pass(1): tcp/connect", at + 1)) {
      size_t end = log.find('\n', at);
      if (log.substr(at, end - at).find(target) != std::string::npos) ++n;
    }
    return n;
  }

  static NginxServer* nginx_;
  TempDir dir_;
};
NginxServer* HttpGetSocksTest::nginx_ = nullptr;

TEST_F(HttpGetSocksTest, FetchesWithoutAuthenticationAtEveryLevel) {
  SocksProxyServer proxy(false);
  for (const char* level : {"5", "4"}) {
    SCOPED_TRACE(level);
    ProcessResult r = Httpget(Socks(proxy) + " --socks-level " + level);
    EXPECT_EQ(r.status, 0) << r.err << proxy.Log();
    EXPECT_EQ(r.out, kContent);
    EXPECT_EQ(r.err, "");
  }
  EXPECT_EQ(Passed(proxy), 2) << proxy.Log();
}

TEST_F(HttpGetSocksTest, FetchesWithUsercodeAndPassword) {
  ThrowAwayUser user;
  if (!user.Created()) GTEST_SKIP() << "no throw-away system account: " << user.Reason();
  SocksProxyServer proxy(true);
  ProcessResult r = Httpget(Socks(proxy) + " --socks-user " + user.Name() + ":" + user.Password());
  EXPECT_EQ(r.status, 0) << r.err << proxy.Log();
  EXPECT_EQ(r.out, kContent);
  EXPECT_EQ(Passed(proxy), 1) << proxy.Log();
}

TEST_F(HttpGetSocksTest, WrongPasswordFailsWithTheSocksError) {
  ThrowAwayUser user;
  if (!user.Created()) GTEST_SKIP() << "no throw-away system account: " << user.Reason();
  SocksProxyServer proxy(true);
  ProcessResult r = Httpget(Socks(proxy) + " --socks-user " + user.Name() + ":wrong" +
                            user.Password());
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("httpget: socks error 20015: socks authentication failed\n"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(Passed(proxy), 0) << proxy.Log();

  // Offering no credentials to a proxy that wants them fails too.
  r = Httpget(Socks(proxy));
  EXPECT_EQ(r.status, 3);
  EXPECT_NE(r.err.find("httpget: socks error 20003: authentification method not acceptable\n"),
            std::string::npos)
      << r.err;
}

}  // namespace
}  // namespace testsupport
