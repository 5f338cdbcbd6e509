// The version probe folds every failure into one sentinel and passes bodies unchanged.
#include "updater/fetch_url_text.h"

#include <gtest/gtest.h>

#include <atomic>

#include "tests/support/scripted_server.h"

namespace {

using testsupport::ScriptedConnection;
using testsupport::ScriptedServer;

std::string Answer(const std::string& status, const std::string& content) {
  return status + "\r\nContent-Length: " + std::to_string(content.size()) + "\r\n\r\n" + content;
}

TEST(FetchUrlText, BodyComesBackByteForByte) {
  const std::string date = "20240301";
  // Bytes of every value, line ends and blanks untouched.
  std::string binary = " 2024\r\n\t";
  for (int i = 0; i < 256; ++i) binary += static_cast<char>(i);
  ScriptedServer server(ScriptedServer::Responses(
      {Answer("HTTP/1.0 200 OK", date), Answer("HTTP/1.0 200 OK", binary),
       Answer("HTTP/1.0 200 OK", "")},
      true));
  EXPECT_EQ(FetchUrlText(server.Url("/update/soft.html")), date);
  EXPECT_EQ(FetchUrlText(server.Url("/update/soft.html")), binary);
  // An empty body is the empty text, not the sentinel.
  EXPECT_EQ(FetchUrlText(server.Url("/update/soft.html")), "");
  EXPECT_EQ(server.Requests().at(0).compare(0, 28, "GET /update/soft.html HTTP/1"), 0);
}

TEST(FetchUrlText, StatusesBelow400AndChallengesGiveTheBody) {
  ScriptedServer server(ScriptedServer::Responses(
      {Answer("HTTP/1.0 302 Found", "moved"),  // no location: not followed
       Answer("HTTP/1.0 401 Unauthorized", "who are you"),
       Answer("HTTP/1.0 407 Proxy Authentication Required", "proxy says no")},
      true));
  EXPECT_EQ(FetchUrlText(server.Url("/")), "moved");
  EXPECT_EQ(FetchUrlText(server.Url("/")), "who are you");
  EXPECT_EQ(FetchUrlText(server.Url("/")), "proxy says no");
}

TEST(FetchUrlText, EveryFailureIsTheSentinel) {
  ScriptedServer notFound(ScriptedServer::Responses({Answer("HTTP/1.0 404 Not Found", "no")}));
  EXPECT_EQ(FetchUrlText(notFound.Url("/soft.html")), "超时");

  ScriptedServer broken(ScriptedServer::Responses({Answer("HTTP/1.0 500 Oops", "err")}));
  EXPECT_EQ(FetchUrlText(broken.Url("/")), "超时");

  EXPECT_EQ(FetchUrlText("http://127.0.0.1:" + std::to_string(testsupport::UnusedPort()) + "/"),
            "超时");
  EXPECT_EQ(FetchUrlText("http://no-such-host.invalid/soft.html"), "超时");
  EXPECT_EQ(FetchUrlText("https://127.0.0.1/soft.html"), "超时");
  EXPECT_EQ(FetchUrlText(""), "超时");

  // Accepts and never answers: given up after the one-second idle limit.
  ScriptedServer silent([](ScriptedConnection& c) { c.WaitForPeerClose(); });
  EXPECT_EQ(FetchUrlText(silent.Url("/soft.html")), "超时");

  // Closes before the document is complete.
  ScriptedServer truncated([](ScriptedConnection& c) {
    if (c.ReadRequest().empty()) return;
    c.Write("HTTP/1.0 200 OK\r\nContent-Length: 8\r\n\r\n2024");
  });
  EXPECT_EQ(FetchUrlText(truncated.Url("/")), "超时");
}

TEST(FetchUrlText, ABodyPastTheBoundIsAFailedProbe) {
  // Exactly at the bound: still a body.
  const std::string atBound(kFetchMaxBody, '7');
  ScriptedServer fits(ScriptedServer::Responses({Answer("HTTP/1.0 200 OK", atBound)}));
  EXPECT_TRUE(FetchUrlText(fits.Url("/")) == atBound);

  ScriptedServer oneOver(ScriptedServer::Responses({Answer("HTTP/1.0 200 OK", atBound + "7")}));
  EXPECT_EQ(FetchUrlText(oneOver.Url("/")), "超时");

  // A server that keeps sending, without a length, is not read to its end.
  std::atomic<bool> stopped{false};
  std::atomic<int64_t> sent{0};
  ScriptedServer endless([&](ScriptedConnection& c) {
    if (c.ReadRequest().empty()) return;
    c.Write("HTTP/1.0 200 OK\r\n\r\n");
    const std::string block(16 * 1024, '2');
    while (!stopped && sent < (int64_t{64} << 20)) {
      if (!c.Write(block)) return;
      sent += static_cast<int64_t>(block.size());
    }
  });
  EXPECT_EQ(FetchUrlText(endless.Url("/")), "超时");
  stopped = true;
  EXPECT_LT(sent.load(), int64_t{64} << 20) << "the probe read on until the server gave up";
}

TEST(FetchUrlText, SentinelBodyIsIndistinguishable) {
  ScriptedServer server(ScriptedServer::Responses({Answer("HTTP/1.0 200 OK", "超时")}));
  EXPECT_EQ(FetchUrlText(server.Url("/")), "超时");
}

}  // namespace
