// What THttpCli puts on the wire: request line, header lines in their order and under
// their conditions, proxy form, body upload; and the errors of starting a request.
#include <gtest/gtest.h>

#include "tests/http/client_fixture.h"

namespace testsupport {
namespace {

const char kAccept[] = "Accept: image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*\r\n";
const char kAgent[] = "User-Agent: Mozilla/4.0 (compatible; NetCli)\r\n";

class RequestTest : public ClientTest {
 protected:
  // Runs one GET against a server that answers 200 and returns the request it saw.
  std::string Capture(const std::string& url, ScriptedServer& server) {
    GetAndWait(url);
    auto requests = server.Requests();
    return requests.empty() ? std::string() : requests.back();
  }
};

TEST_F(RequestTest, DefaultHeaderIsExact) {
  ScriptedServer server(ScriptedServer::Responses({Response("HTTP/1.0 200 OK", "", "x")}));
  std::string port = std::to_string(server.Port());
  EXPECT_EQ(Capture(server.Url("/dir/doc.html?q=1"), server),
            "GET /dir/doc.html?q=1 HTTP/1.0\r\n" + std::string(kAccept) + kAgent +
                "Host: 127.0.0.1:" + port + "\r\n\r\n");
  EXPECT_EQ(http->StatusCode, 200);
  EXPECT_EQ(http->DocName, "doc.html");
}

TEST_F(RequestTest, EveryOptionalLineInItsPlace) {
  ScriptedServer server(ScriptedServer::Responses({Response("HTTP/1.1 200 OK", "", "x")}));
  http->SetRequestVer("1.1");
  http->Sender = "ops@example.org";
  http->Reference = "http://example.org/from";
  http->Connection = "Keep-Alive";
  http->AcceptLanguage = "zh-cn";
  http->NoCache = true;
  http->ProxyConnection = "Keep-Alive";
  http->ModifiedSince = EncodeDate(2024, 3, 1) + EncodeTime(8, 5, 9, 0);
  http->Cookie = "a=1; b=2";
  http->ContentRangeBegin = "100";
  std::string port = std::to_string(server.Port());
  EXPECT_EQ(Capture(server.Url("/"), server),
            "GET / HTTP/1.1\r\n"
            "From: ops@example.org\r\n" +
                std::string(kAccept) +
                "Referer: http://example.org/from\r\n"
                "Connection: Keep-Alive\r\n"
                "Accept-Language: zh-cn\r\n" +
                kAgent + "Host: 127.0.0.1:" + port +
                "\r\n"
                "Pragma: no-cache\r\n"
                "Proxy-Connection: Keep-Alive\r\n"
                "If-Modified-Since: Fri, 01 Mar 2024 08:05:09 GMT\r\n"
                "Cookie: a=1; b=2\r\n"
                "Range: bytes=100-\r\n"
                "\r\n");
  // The range is used once.
  EXPECT_EQ(http->ContentRangeBegin, "");
  EXPECT_EQ(http->ContentRangeEnd, "");
}

TEST_F(RequestTest, DateFormOfIfModifiedSince) {
  ScriptedServer server(ScriptedServer::Responses(
      {Response("HTTP/1.0 200 OK", "", ""), Response("HTTP/1.0 200 OK", "", "")}));
  // 1 January 2023 was a Sunday; the stored value is sent without zone conversion.
  http->ModifiedSince = EncodeDate(2023, 1, 1) + EncodeTime(23, 59, 1, 0);
  EXPECT_NE(Capture(server.Url("/"), server).find("If-Modified-Since: Sun, 01 Jan 2023 23:59:01 GMT\r\n"),
            std::string::npos);
  http->ModifiedSince = EncodeDate(1999, 12, 31);
  doneCount = 0;
  EXPECT_NE(Capture(server.Url("/"), server).find("If-Modified-Since: Fri, 31 Dec 1999 00:00:00 GMT\r\n"),
            std::string::npos);
}

TEST_F(RequestTest, ProxyGetsAbsoluteUriAndHostRules) {
  // The scripted server plays the proxy: the URL's host never has to exist.
  ScriptedServer proxy(ScriptedServer::Responses({Response("HTTP/1.0 200 OK", "", "1"),
                                                   Response("HTTP/1.0 200 OK", "", "2"),
                                                   Response("HTTP/1.0 200 OK", "", "3")},
                                                  true));
  http->Proxy = "127.0.0.1";
  http->ProxyPort = std::to_string(proxy.Port());
  EXPECT_EQ(Capture("http://origin.example/a/b.txt", proxy),
            "GET http://origin.example/a/b.txt HTTP/1.0\r\n" + std::string(kAccept) + kAgent +
                "Host: origin.example\r\n\r\n");
  doneCount = 0;
  // Port 80 named in the URL stays in the request line but not in the Host line.
  EXPECT_EQ(Capture("http://origin.example:80/x", proxy),
            "GET http://origin.example:80/x HTTP/1.0\r\n" + std::string(kAccept) + kAgent +
                "Host: origin.example\r\n\r\n");
  doneCount = 0;
  // A proxy text naming its port wins over ProxyPort; a URL without scheme gets one.
  http->Proxy = "127.0.0.1:" + std::to_string(proxy.Port());
  http->ProxyPort = "1";
  EXPECT_EQ(Capture("origin.example:8080/y", proxy),
            "GET http://origin.example:8080/y HTTP/1.0\r\n" + std::string(kAccept) + kAgent +
                "Host: origin.example:8080\r\n\r\n");
  EXPECT_EQ(body.DataString(), "123");
}

TEST_F(RequestTest, ContentCodingHeaderOnlyWhenEnabledAndNotForHead) {
  ScriptedServer server(ScriptedServer::Responses(
      {Response("HTTP/1.0 200 OK", "", ""), "HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\n"}));
  THttpCliOptions options;
  options.Include(httpoEnableContentCoding);
  options.Include(httpoUseQuality);
  http->SetOptions(options);
  EXPECT_TRUE(http->Options().Contains(httpoUseQuality));
  EXPECT_NE(Capture(server.Url("/"), server).find("\r\nAccept-Encoding: identity;q=0, *;q=0\r\n"),
            std::string::npos);
  doneCount = 0;
  http->URL = server.Url("/");
  http->StartRequest(httpHEAD);
  ASSERT_TRUE(PumpUntil([this] { return doneCount > 0; }));
  EXPECT_EQ(server.Requests().back().find("Accept-Encoding"), std::string::npos);
  EXPECT_EQ(server.Requests().back().compare(0, 9, "HEAD / HT"), 0);
}

TEST_F(RequestTest, HandlersMayEditTheHeader) {
  ScriptedServer server(ScriptedServer::Responses({Response("HTTP/1.0 200 OK", "", "")}));
  std::string seenMethod;
  http->OnBeforeHeaderSend = [&](TObject*, const std::string& method, TStrings* headers) {
    seenMethod = method;
    headers->Add("X-Extra: 1");
  };
  http->OnCommand = [](TObject*, std::string& line) {
    if (line.rfind("User-Agent:", 0) == 0) line = "User-Agent: edited";
    if (line.rfind("X-Extra", 0) == 0) line = "X-Extra: 2";
  };
  std::string request = Capture(server.Url("/"), server);
  EXPECT_EQ(seenMethod, "GET");
  EXPECT_NE(request.find("\r\nUser-Agent: edited\r\n"), std::string::npos);
  EXPECT_NE(request.find("X-Extra: 2\r\n\r\n"), std::string::npos);
}

TEST_F(RequestTest, PostUploadsTheRestOfTheStream) {
  ScriptedServer server(ScriptedServer::Responses({Response("HTTP/1.0 200 OK", "", "ok")}));
  std::string payload(20000, 'p');
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>('a' + i % 26);
  TStringStream upload("SKIP" + payload);
  upload.SetPosition(4);
  http->UploadStream = &upload;
  int sendBegin = 0, sendEnd = 0;
  int64_t sentBytes = 0;
  http->OnSendBegin = [&](TObject*) { ++sendBegin; };
  http->OnSendEnd = [&](TObject*) { ++sendEnd; };
  http->OnSendData = [&](TObject*, const void*, int n) { sentBytes += n; };
  http->URL = server.Url("/form");
  http->StartRequest(httpPOST);
  ASSERT_TRUE(PumpUntil([this] { return doneCount > 0; }));
  std::string port = std::to_string(server.Port());
  EXPECT_EQ(server.Requests().at(0),
            "POST /form HTTP/1.0\r\n" + std::string(kAccept) +
                "Content-Type: application/x-www-form-urlencoded\r\n" + kAgent +
                "Host: 127.0.0.1:" + port + "\r\nContent-Length: 20000\r\n\r\n" + payload);
  EXPECT_EQ(sendBegin, 1);
  EXPECT_EQ(sendEnd, 1);
  EXPECT_EQ(sentBytes, 20000);
  EXPECT_EQ(http->UploadedCount, 20000);
  EXPECT_EQ(doneRq, httpPOST);
  EXPECT_EQ(body.DataString(), "ok");
}

TEST_F(RequestTest, StartErrors) {
  try {
    http->StartRequest(httpPUT);
    FAIL();
  } catch (const EHttpException& e) {
    EXPECT_EQ(e.Message(), "HTTP component has nothing to post or put");
    EXPECT_EQ(e.ErrorCode, 2);
  }
  EXPECT_EQ(http->State(), httpReady);

  http->SetRequestVer("1.0");  // the current value again: nothing happens
  http->SetRequestVer("1.1");
  try {
    http->SetRequestVer("2");
    FAIL();
  } catch (const EHttpException& e) {
    EXPECT_EQ(e.Message(), "Insupported HTTP version");
    EXPECT_EQ(e.ErrorCode, 5);
  }
  EXPECT_EQ(http->RequestVer(), "1.1");
}

TEST_F(RequestTest, SecondRequestWhileBusyRaises) {
  ScriptedServer server([](ScriptedConnection& c) { c.WaitForPeerClose(); });
  http->URL = server.Url("/");
  http->GetASync();
  try {
    http->GetASync();
    FAIL();
  } catch (const EHttpException& e) {
    EXPECT_EQ(e.Message(), "HTTP component HttpCli1 is busy");
    EXPECT_EQ(e.ErrorCode, 1);
  }
  http->Abort();
  ASSERT_TRUE(PumpUntil([this] { return doneCount > 0; }));
  EXPECT_EQ(doneCount, 1);
}

TEST_F(RequestTest, DefaultsOfTheComponent) {
  EXPECT_EQ(http->LocalAddr, "0.0.0.0");
  EXPECT_EQ(http->ProxyPort, "80");
  EXPECT_EQ(http->ContentTypePost, "application/x-www-form-urlencoded");
  EXPECT_EQ(http->RequestVer(), "1.0");
  EXPECT_TRUE(http->FollowRelocation);
  EXPECT_EQ(http->LocationChangeMaxCount, 5);
  EXPECT_EQ(http->BandwidthLimit, 10000);
  EXPECT_EQ(http->BandwidthSampling, 1000);
  EXPECT_EQ(http->Timeout, 30u);
  EXPECT_EQ(http->ContentLength, -1);
  EXPECT_EQ(http->State(), httpReady);
  EXPECT_TRUE(http->Options() == THttpCliOptions());
}

}  // namespace
}  // namespace testsupport
