// The httpget example as a process: output, headers, ranges, proxy, exit status.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <string>

#include "tests/support/peer_servers.h"
#include "tests/support/scripted_server.h"

namespace testsupport {
namespace {

struct ProcessResult {
  int status;
  std::string out, err;
};

class HttpGetTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    nginx_ = new NginxServer("    location = /moved { return 302 /data.txt; }\n");
    nginx_->AddFile("data.txt", "0123456789abcdef");
  }
  static void TearDownTestSuite() {
    delete nginx_;
    nginx_ = nullptr;
  }

  ProcessResult Httpget(const std::string& args) {
    std::string out = dir_.Path() + "/stdout", err = dir_.Path() + "/stderr";
    std::string cmd = std::string(TEST_BINARY_DIR) + "/examples/httpget " + args + " >" + out +
                      " 2>" + err + " </dev/null";
    int rc = std::system(cmd.c_str());
    return {WIFEXITED(rc) ? WEXITSTATUS(rc) : -1, ReadFileText(out), ReadFileText(err)};
  }

  static NginxServer* nginx_;
  TempDir dir_;
};
NginxServer* HttpGetTest::nginx_ = nullptr;

TEST_F(HttpGetTest, BodyToStandardOutputOrFile) {
  ProcessResult r = Httpget(nginx_->Url("/data.txt"));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "0123456789abcdef");
  EXPECT_EQ(r.err, "");

  std::string file = dir_.Path() + "/saved.txt";
  r = Httpget("-o " + file + " --http-version 1.1 " + nginx_->Url("/moved"));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(ReadFileText(file), "0123456789abcdef");
}

TEST_F(HttpGetTest, VerboseShowsBothHeaders) {
  ProcessResult r = Httpget("-v --http-version 1.1 " + nginx_->Url("/data.txt"));
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.err.find("> GET /data.txt HTTP/1.1\n"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("< HTTP/1.1 200 OK\n"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("< Content-Length: 16\n"), std::string::npos) << r.err;
}

TEST_F(HttpGetTest, RangeTimeoutAndProxy) {
  ProcessResult r = Httpget("--range 10-12 --timeout 5 " + nginx_->Url("/data.txt"));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "abc");

  HttpProxyServer proxy;
  r = Httpget("--proxy 127.0.0.1:" + std::to_string(proxy.Port()) + " " + nginx_->Url("/data.txt"));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "0123456789abcdef");
  EXPECT_NE(proxy.Log().find("GET " + nginx_->Url("/data.txt")), std::string::npos);
}

TEST_F(HttpGetTest, FailuresExitNonZeroWithStatus) {
  ProcessResult r = Httpget(nginx_->Url("/absent"));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "httpget: 404 Not Found\n");

  r = Httpget("--timeout 5 " + nginx_->Url("/absent"));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "httpget: 404 Not Found\n");

  ScriptedServer silent([](ScriptedConnection& c) { c.WaitForPeerClose(); });
  r = Httpget("--timeout 1 " + silent.Url("/"));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "httpget: 404 Request aborted on timeout\n");

  r = Httpget("http://127.0.0.1:" + std::to_string(UnusedPort()) + "/");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("httpget: 404 "), std::string::npos);

  r = Httpget("--http-version 2 " + nginx_->Url("/data.txt"));
  EXPECT_EQ(r.status, 2);
  r = Httpget("");
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("usage: httpget"), std::string::npos);
}

}  // namespace
}  // namespace testsupport
