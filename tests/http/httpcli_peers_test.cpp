// THttpCli against software we did not write: nginx on loopback and an HTTP proxy.
#include <gtest/gtest.h>

#include "tests/http/client_fixture.h"
#include "tests/support/peer_servers.h"

namespace testsupport {
namespace {

const char kNginxLocations[] =
    "    location = /moved { return 301 /files/target.txt; }\n"
    "    location = /found { return 302 http://127.0.0.1:$server_port/files/target.txt; }\n";

class PeersTest : public ClientTest {
 protected:
  static void SetUpTestSuite() {
    nginx_ = new NginxServer(kNginxLocations);
    nginx_->AddFile("files/target.txt", "the target\n");
    std::string big;
    for (int i = 0; i < 1000; ++i) big += static_cast<char>('A' + i % 26);
    nginx_->AddFile("files/big.bin", big);
  }
  static void TearDownTestSuite() {
    delete nginx_;
    nginx_ = nullptr;
  }
  static NginxServer* nginx_;
};
NginxServer* PeersTest::nginx_ = nullptr;

TEST_F(PeersTest, KeepAliveServesTwoRequestsOnOneConnection) {
  http->SetRequestVer("1.1");
  GetAndWait(nginx_->Url("/files/target.txt"));
  ASSERT_EQ(http->StatusCode, 200);
  doneCount = 0;
  GetAndWait(nginx_->Url("/files/big.bin"));
  ASSERT_EQ(http->StatusCode, 200);
  EXPECT_EQ(body.DataString().size(), std::string("the target\n").size() + 1000);

  // nginx logs the connection number of every request: both are on the same one.
  std::vector<std::string> log = nginx_->AccessLog();
  ASSERT_GE(log.size(), 2u);
  std::string first = log[log.size() - 2], second = log.back();
  EXPECT_NE(first.find("GET /files/target.txt HTTP/1.1 200"), std::string::npos) << first;
  EXPECT_NE(second.find("GET /files/big.bin HTTP/1.1 200"), std::string::npos) << second;
  EXPECT_EQ(first.substr(0, first.find(' ')), second.substr(0, second.find(' ')));
}

TEST_F(PeersTest, RelocationsAreFollowed) {
  for (const char* path : {"/moved", "/found"}) {
    for (const char* version : {"1.0", "1.1"}) {
      SCOPED_TRACE(std::string(path) + " HTTP/" + version);
      http->SetRequestVer(version);
      body.SetSize(0);
      doneCount = 0;
      GetAndWait(nginx_->Url(path));
      EXPECT_EQ(doneCount, 1);
      EXPECT_EQ(http->StatusCode, 200);
      EXPECT_EQ(http->LocationChangeCurCount(), 1);
      // nginx's own page for the relocating answer is not kept.
      EXPECT_EQ(body.DataString(), "the target\n");
      EXPECT_EQ(http->DocName, "target.txt");
    }
  }
}

TEST_F(PeersTest, RangeAnswerCarriesItsContentRange) {
  http->SetRequestVer("1.1");
  http->ContentRangeBegin = "100";
  http->ContentRangeEnd = "199";
  GetAndWait(nginx_->Url("/files/big.bin"));
  EXPECT_EQ(http->StatusCode, 206);
  EXPECT_EQ(http->ContentRangeBegin, "100");
  EXPECT_EQ(http->ContentRangeEnd, "199");
  EXPECT_EQ(http->ContentLength, 100);
  EXPECT_EQ(http->AcceptRanges(), "");  // nginx names it only in full answers
  ASSERT_EQ(body.DataString().size(), 100u);
  EXPECT_EQ(body.DataString()[0], static_cast<char>('A' + 100 % 26));

  // A begin without an end asks for the rest. (The properties hold the answer's range
  // now, so both are set.)
  body.SetSize(0);
  doneCount = 0;
  http->ContentRangeBegin = "990";
  http->ContentRangeEnd = "";
  GetAndWait(nginx_->Url("/files/big.bin"));
  EXPECT_EQ(http->StatusCode, 206);
  EXPECT_EQ(http->ContentRangeEnd, "999");
  EXPECT_EQ(body.DataString().size(), 10u);
}

TEST_F(PeersTest, MissingFileRaisesWithNginxPhrase) {
  http->URL = nginx_->Url("/files/absent.txt");
  try {
    http->Get();
    FAIL() << "no exception";
  } catch (const EHttpException& e) {
    EXPECT_EQ(e.Message(), "Not Found");
    EXPECT_EQ(e.ErrorCode, 404);
  }
}

TEST_F(PeersTest, ProxyReceivesTheAbsoluteUri) {
  HttpProxyServer proxy;
  http->Proxy = "127.0.0.1";
  http->ProxyPort = std::to_string(proxy.Port());
  GetAndWait(nginx_->Url("/files/target.txt"));
  EXPECT_EQ(http->StatusCode, 200);
  EXPECT_EQ(body.DataString(), "the target\n");
  EXPECT_NE(proxy.Log().find("GET " + nginx_->Url("/files/target.txt") + " HTTP/1.0"),
            std::string::npos)
      << proxy.Log();

  // A relocation through the proxy stays on the proxy, also when the proxy text
  // names its port.
  http->Proxy = "127.0.0.1:" + std::to_string(proxy.Port());
  http->ProxyPort = "1";
  body.SetSize(0);
  doneCount = 0;
  GetAndWait(nginx_->Url("/moved"));
  EXPECT_EQ(http->StatusCode, 200);
  EXPECT_EQ(body.DataString(), "the target\n");
}

}  // namespace
}  // namespace testsupport
