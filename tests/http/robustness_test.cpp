// The client under conditions its callers do not plan for: handlers failing with the
// standard library's exceptions, and a ranged request that has to answer a challenge.
#include <gtest/gtest.h>

#include <stdexcept>

#include "tests/http/client_fixture.h"

namespace testsupport {
namespace {

std::string RangeHeader(const std::string& request) {
  const std::string key = "\r\nRange: ";
  size_t at = request.find(key);
  if (at == std::string::npos) return std::string();
  at += key.size();
  return request.substr(at, request.find("\r\n", at) - at);
}

TEST_F(ClientTest, StandardExceptionFromOnRequestDoneGoesToOnBgException) {
  ScriptedServer server(ScriptedServer::Responses({Response("HTTP/1.0 200 OK", "", "x")}));
  std::string seen;
  http->OnBgException = [&](TObject*, const Exception& e, bool&) { seen = e.Message(); };
  http->OnRequestDone = [this](TObject*, THttpRequest, uint16_t) {
    ++doneCount;
    throw std::out_of_range("vector::_M_range_check");
  };
  http->URL = server.Url("/");
  http->GetASync();
  EXPECT_NO_THROW(PumpUntil([this] { return doneCount > 0; }));
  EXPECT_NO_THROW(PumpFor(50));
  EXPECT_EQ(doneCount, 1);
  EXPECT_EQ(seen, "vector::_M_range_check");
  // The client is usable again.
  EXPECT_EQ(http->State(), httpReady);
}

TEST_F(ClientTest, AnsweredChallengeAsksForTheSameRange) {
  ScriptedServer server(ScriptedServer::Responses(
      {Response("HTTP/1.1 401 Unauthorized", "WWW-Authenticate: Basic realm=\"area\"\r\n", "denied"),
       Response("HTTP/1.1 206 Partial Content", "Content-Range: bytes 100-103/1000\r\n", "abcd")}));
  http->SetRequestVer("1.1");
  http->Username = "user";
  http->Password = "password";
  http->ContentRangeBegin = "100";
  http->ContentRangeEnd = "103";
  GetAndWait(server.Url("/pkg.7z"));

  auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(RangeHeader(requests[0]), "bytes=100-103");
  // Without the range the server would send the whole document where the caller
  // expects four bytes.
  EXPECT_EQ(RangeHeader(requests[1]), "bytes=100-103");
  EXPECT_EQ(http->StatusCode, 206);
  EXPECT_EQ(body.DataString(), "abcd");
  // Filled from the answer, as after any ranged request.
  EXPECT_EQ(http->ContentRangeBegin, "100");
  EXPECT_EQ(http->ContentRangeEnd, "103");
}

}  // namespace
}  // namespace testsupport
