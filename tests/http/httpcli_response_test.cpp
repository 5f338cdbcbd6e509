// How THttpCli reads responses: status line, header table, interim answers, bodies of
// every framing, relocations, the end of every request, and answers it must refuse.
#include <gtest/gtest.h>

#include <thread>

#include "tests/http/client_fixture.h"

namespace testsupport {
namespace {

using ResponseTest = ClientTest;

// A handler that reads one request, writes the bytes and then keeps the connection
// open until the client closes it (so only the response itself can end the request).
ScriptedServer::Handler AnswerAndHold(const std::string& bytes) {
  return [bytes](ScriptedConnection& c) {
    if (c.ReadRequest().empty()) return;
    c.Write(bytes);
    c.WaitForPeerClose();
  };
}

// Reads one request, writes the bytes and closes.
ScriptedServer::Handler AnswerAndClose(const std::string& bytes) {
  return [bytes](ScriptedConnection& c) {
    if (c.ReadRequest().empty()) return;
    c.Write(bytes);
  };
}

TEST_F(ResponseTest, StatusHeadersAndBody) {
  ScriptedServer server(AnswerAndHold(
      "HTTP/1.1 200 OK\r\nContent-Type: Text/Plain\r\nAccept-Ranges: bytes\r\n"
      "X-Odd-Line\r\nContent-Length: 5\r\n\r\nhello"));
  int headerData = 0;
  http->OnHeaderData = [&](TObject*) { ++headerData; };
  GetAndWait(server.Url("/a.txt"));
  EXPECT_EQ(http->StatusCode, 200);
  EXPECT_EQ(http->StatusText, "OK");
  EXPECT_EQ(http->ServerVersion(), "1.1");
  EXPECT_EQ(http->ContentLength, 5);
  EXPECT_EQ(http->AcceptRanges(), "bytes");
  EXPECT_EQ(http->ResponseHeaders().Count(), 5);
  EXPECT_EQ(http->ResponseHeaders()[3], "X-Odd-Line");
  EXPECT_EQ(headerData, 5);
  EXPECT_EQ(body.DataString(), "hello");
  EXPECT_EQ(docData, "hello");
  EXPECT_EQ(events, "hb;he;db;de;done;");
  EXPECT_EQ(doneCount, 1);
  EXPECT_EQ(doneError, 0);
  EXPECT_EQ(doneRq, httpGET);
  EXPECT_EQ(http->State(), httpReady);
}

TEST_F(ResponseTest, InterimContinueOnlyForHttp11) {
  {
    ScriptedServer server(AnswerAndHold("HTTP/1.1 100 Continue\r\nX-A: 1\r\n\r\n"
                                        "HTTP/1.1 200 Fine\r\nContent-Length: 2\r\n\r\nok"));
    GetAndWait(server.Url("/"));
    EXPECT_EQ(http->StatusCode, 200);
    EXPECT_EQ(http->StatusText, "Fine");
    EXPECT_EQ(http->ResponseHeaders().Count(), 2);
    EXPECT_EQ(body.DataString(), "ok");
    EXPECT_EQ(events, "hb;he;db;de;done;");
  }
  doneCount = 0;
  events.clear();
  {
    // HTTP/1.0 with 100 is a final answer without a body.
    ScriptedServer server(AnswerAndHold("HTTP/1.0 100 Continue\r\n\r\n"));
    GetAndWait(server.Url("/"));
    EXPECT_EQ(http->StatusCode, 100);
    EXPECT_EQ(events, "hb;he;done;");
  }
}

TEST_F(ResponseTest, ContentRangeIsWrittenBack) {
  ScriptedServer server(AnswerAndHold(
      "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 100-199/1000\r\n"
      "Content-Length: 3\r\n\r\nabc"));
  GetAndWait(server.Url("/"));
  EXPECT_EQ(http->StatusCode, 206);
  EXPECT_EQ(http->ContentRangeBegin, "100");
  EXPECT_EQ(http->ContentRangeEnd, "199");
}

TEST_F(ResponseTest, ChunkedBodyEndsAtTheLastChunk) {
  http->SetRequestVer("1.1");
  ScriptedServer server(AnswerAndHold(
      "HTTP/1.1 200 OK\r\nTransfer-Encoding: Chunked\r\n\r\n"
      "5;name=value\r\nhello\r\n"
      "19\r\n, and twenty more bytes!!\r\n"
      "0;last\r\nX-Trailer: t\r\n\r\n"));
  GetAndWait(server.Url("/"));
  EXPECT_EQ(body.DataString(), "hello, and twenty more bytes!!");
  EXPECT_EQ(http->ReceivedCount, 30);
  EXPECT_EQ(doneError, 0);
  EXPECT_EQ(events, "hb;he;db;de;done;");
}

TEST_F(ResponseTest, ChunkedBodyInTinyPieces) {
  http->SetRequestVer("1.1");
  std::string response =
      "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n4\r\ndefg\r\n0\r\n\r\n";
  ScriptedServer server([response](ScriptedConnection& c) {
    if (c.ReadRequest().empty()) return;
    for (char ch : response) {
      c.Write(std::string(1, ch));
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    c.WaitForPeerClose();
  });
  GetAndWait(server.Url("/"));
  EXPECT_EQ(body.DataString(), "abcdefg");
  EXPECT_EQ(doneCount, 1);
}

TEST_F(ResponseTest, LengthEndsTheDocumentAndSurplusIsDropped) {
  ScriptedServer server(AnswerAndHold(
      "HTTP/1.1 200 OK\r\nConnection: keep-alive\r\nContent-Length: 4\r\n\r\nbodyEXTRA BYTES"));
  http->SetRequestVer("1.1");
  GetAndWait(server.Url("/"));
  EXPECT_EQ(body.DataString(), "body");
  EXPECT_EQ(docData, "body");
  EXPECT_EQ(doneError, 0);
  // A connection that carried bytes beyond the document is not used again.
  EXPECT_EQ(http->CtrlSocket()->State(), wsClosed);
}

TEST_F(ResponseTest, BodyUntilCloseWithoutLength) {
  ScriptedServer server(AnswerAndClose("HTTP/1.0 200 OK\r\n\r\nall of it"));
  GetAndWait(server.Url("/"));
  EXPECT_EQ(body.DataString(), "all of it");
  EXPECT_EQ(http->StatusCode, 200);
  EXPECT_EQ(doneError, 0);
  EXPECT_EQ(events, "hb;he;db;de;done;");
  EXPECT_EQ(sessionClosed, 1);
}

TEST_F(ResponseTest, NotModifiedAndNoContentHaveNoBodyEvents) {
  ScriptedServer server(ScriptedServer::Responses(
      {"HTTP/1.1 304 Not Modified\r\n\r\n", "HTTP/1.1 204 No Content\r\n\r\n"}));
  http->SetRequestVer("1.1");
  GetAndWait(server.Url("/"));
  EXPECT_EQ(http->StatusCode, 304);
  EXPECT_EQ(events, "hb;he;done;");
  events.clear();
  doneCount = 0;
  GetAndWait(server.Url("/"));
  EXPECT_EQ(http->StatusCode, 204);
  EXPECT_EQ(events, "hb;he;done;");
  EXPECT_EQ(server.ConnectionCount(), 1);
}

TEST_F(ResponseTest, HeadNeverStartsADocument) {
  ScriptedServer server(ScriptedServer::Responses(
      {"HTTP/1.1 200 OK\r\nContent-Length: 1234\r\n\r\n"}));
  http->SetRequestVer("1.1");
  http->URL = server.Url("/");
  http->StartRequest(httpHEAD);
  ASSERT_TRUE(PumpUntil([this] { return doneCount > 0; }));
  PumpFor(100);
  EXPECT_EQ(events, "hb;he;done;");
  EXPECT_EQ(http->ContentLength, 1234);
  EXPECT_EQ(doneRq, httpHEAD);
  EXPECT_EQ(doneError, 0);
}

TEST_F(ResponseTest, DocumentWithoutHeader) {
  ScriptedServer server(AnswerAndClose("<HTML>\r\n<body>old server</body>\r\n"));
  GetAndWait(server.Url("/page"));
  EXPECT_EQ(body.DataString(), "<HTML>\r\n<body>old server</body>\r\n");
  EXPECT_EQ(http->StatusCode, 0);
  EXPECT_EQ(doneError, 0);
}

TEST_F(ResponseTest, DocNameFollowsHtmlContentType) {
  ScriptedServer server(ScriptedServer::Responses(
      {Response("HTTP/1.1 200 OK", "Content-Type: text/html\r\n", "a"),
       Response("HTTP/1.1 200 OK", "Content-Type: text/html\r\n", "b"),
       Response("HTTP/1.1 200 OK", "Content-Type: text/html\r\n", "c"),
       Response("HTTP/1.1 200 OK", "Content-Type: text/html\r\n", "d")}));
  http->SetRequestVer("1.1");
  const char* cases[][2] = {{"/dl/setup", "setup.htm"},
                            {"/dl/Setup.EXE?x=1", "Setup.htm"},
                            {"/dl/data.zip", "data.zip"},
                            {"/dl/", "document.htm"}};
  for (auto& c : cases) {
    doneCount = 0;
    GetAndWait(server.Url(c[0]));
    EXPECT_EQ(http->DocName, c[1]) << c[0];
  }
}

TEST_F(ResponseTest, CookiesAndChallengesAreReported) {
  ScriptedServer server(AnswerAndHold(
      "HTTP/1.1 401 Unauthorized\r\nSet-Cookie: s=1; path=/\r\n"
      "WWW-Authenticate: Basic realm=\"x\"\r\nWWW-Authenticate: Digest realm=\"y\"\r\n"
      "Content-Length: 0\r\n\r\n"));
  std::vector<std::string> cookies;
  http->OnCookie = [&](TObject*, const std::string& data, bool& accept) {
    EXPECT_TRUE(accept);
    cookies.push_back(data);
  };
  GetAndWait(server.Url("/"));
  EXPECT_EQ(http->StatusCode, 401);
  ASSERT_EQ(cookies.size(), 1u);
  EXPECT_EQ(cookies[0], "s=1; path=/");
  ASSERT_EQ(http->AuthChallenges().Count(), 2);
  EXPECT_EQ(http->AuthChallenges()[1], "Digest realm=\"y\"");
}

// ---- relocation

TEST_F(ResponseTest, RelocationOnClosingConnectionFollowedAtHeaderEnd) {
  ScriptedServer target(AnswerAndClose(Response("HTTP/1.0 200 OK", "", "target body")));
  ScriptedServer origin(AnswerAndClose(
      "HTTP/1.0 302 Found\r\nLocation: " + target.Url("/t/final.txt") + "\r\n\r\n"));
  GetAndWait(origin.Url("/start"));
  EXPECT_EQ(http->StatusCode, 200);
  EXPECT_EQ(body.DataString(), "target body");
  EXPECT_EQ(http->LocationChangeCurCount(), 1);
  EXPECT_EQ(http->NewLocation, target.Url("/t/final.txt"));
  EXPECT_EQ(http->DocName, "final.txt");
  EXPECT_EQ(events, "hb;he;loc;hb;he;db;de;done;");
  // The Host line names the new target with its port.
  EXPECT_NE(target.Requests().at(0).find("Host: 127.0.0.1:" + std::to_string(target.Port())),
            std::string::npos);
}

TEST_F(ResponseTest, RelocationOnKeptAliveConnectionEndsOnce) {
  http->SetRequestVer("1.1");
  ScriptedServer server(ScriptedServer::Responses(
      {Response("HTTP/1.1 301 Moved Permanently", "Location: /new/place\r\n",
                "<html>moved</html>"),
       Response("HTTP/1.1 302 Found", "Location: other\r\n", ""),
       Response("HTTP/1.1 200 OK", "", "here")}));
  GetAndWait(server.Url("/old/page"));
  EXPECT_EQ(doneCount, 1);
  EXPECT_EQ(http->StatusCode, 200);
  // The bodies of the relocating answers do not stay in the stream.
  EXPECT_EQ(body.DataString(), "here");
  EXPECT_EQ(server.ConnectionCount(), 1);
  auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[1].compare(0, 20, "GET /new/place HTTP/"), 0);
  EXPECT_EQ(requests[2].compare(0, 19, "GET /new/other HTTP"), 0);
  EXPECT_EQ(http->LocationChangeCurCount(), 2);
}

TEST_F(ResponseTest, RelocationWithoutBodyKeepsEarlierDocuments) {
  // The stream holds the document of an earlier request; a relocating answer without
  // a body must not cut it away.
  http->SetRequestVer("1.1");
  ScriptedServer server(ScriptedServer::Responses(
      {Response("HTTP/1.1 200 OK", "", "earlier"),
       Response("HTTP/1.1 302 Found", "Location: /next\r\n", ""),
       Response("HTTP/1.1 200 OK", "", "+later")}));
  GetAndWait(server.Url("/first"));
  doneCount = 0;
  GetAndWait(server.Url("/second"));
  EXPECT_EQ(body.DataString(), "earlier+later");
  EXPECT_EQ(http->LocationChangeCurCount(), 1);
}

TEST_F(ResponseTest, RelocationLimitEndsWithTheLastAnswer) {
  // Every answer relocates again, each on a new connection.
  ScriptedServer server([](ScriptedConnection& c) {
    if (c.ReadRequest().empty()) return;
    c.Write("HTTP/1.0 302 Found\r\nLocation: /again\r\n\r\n");
  });
  GetAndWait(server.Url("/"));
  EXPECT_EQ(doneCount, 1);
  EXPECT_EQ(http->StatusCode, 302);
  EXPECT_EQ(doneError, 0);
  EXPECT_EQ(http->LocationChangeCurCount(), 6);
  EXPECT_EQ(server.Requests().size(), 6u);

  // A handler may allow more.
  int asked = 0;
  http->OnLocationChangeExceeded = [&](TObject*, int count, bool& allow) {
    ++asked;
    allow = count < 8;
  };
  doneCount = 0;
  GetAndWait(server.Url("/"));
  EXPECT_EQ(http->LocationChangeCurCount(), 8);
  EXPECT_EQ(asked, 3);
  EXPECT_EQ(server.Requests().size(), 6u + 8u);
}

TEST_F(ResponseTest, RelocationNotFollowedWhenSwitchedOff) {
  http->FollowRelocation = false;
  ScriptedServer server(AnswerAndClose(
      Response("HTTP/1.0 302 Found", "Location: /elsewhere\r\n", "see elsewhere")));
  GetAndWait(server.Url("/"));
  EXPECT_EQ(http->StatusCode, 302);
  EXPECT_EQ(body.DataString(), "see elsewhere");
  EXPECT_EQ(server.ConnectionCount(), 1);
}

TEST_F(ResponseTest, PostRelocatedBecomesGetAndPutOnlyNotesTheLocation) {
  ScriptedServer server(ScriptedServer::Responses(
      {"HTTP/1.0 302 Found\r\nLocation: /result\r\n\r\n", Response("HTTP/1.0 200 OK", "", "done"),
       Response("HTTP/1.0 201 Created", "Location: /stored/7\r\n", "")},
      true));
  TStringStream upload("a=1");
  http->UploadStream = &upload;
  http->URL = server.Url("/form");
  http->StartRequest(httpPOST);
  ASSERT_TRUE(PumpUntil([this] { return doneCount > 0; }));
  EXPECT_EQ(doneRq, httpGET);
  EXPECT_EQ(body.DataString(), "done");
  auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].compare(0, 11, "POST /form "), 0);
  EXPECT_EQ(requests[1].compare(0, 12, "GET /result "), 0);

  doneCount = 0;
  upload.SetPosition(0);
  http->StartRequest(httpPUT);
  ASSERT_TRUE(PumpUntil([this] { return doneCount > 0; }));
  EXPECT_EQ(http->StatusCode, 201);
  EXPECT_EQ(http->NewLocation, "/stored/7");
  EXPECT_EQ(server.Requests().size(), 3u);
}

TEST_F(ResponseTest, LinesWhileIdleGoToDataPush) {
  http->SetRequestVer("1.1");
  ScriptedServer server([](ScriptedConnection& c) {
    if (c.ReadRequest().empty()) return;
    c.Write(Response("HTTP/1.1 200 OK", "", "x"));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    c.Write("unsolicited line\r\n");
    c.WaitForPeerClose();
  });
  int pushes = 0;
  http->OnDataPush = [&](TObject*, uint16_t) { ++pushes; };
  GetAndWait(server.Url("/"));
  ASSERT_TRUE(PumpUntil([&] { return pushes > 0; }, 5000));
  EXPECT_EQ(doneCount, 1);
  EXPECT_EQ(body.DataString(), "x");
}

// ---- connections

TEST_F(ResponseTest, KeptAliveConnectionServesTheNextRequest) {
  http->SetRequestVer("1.1");
  ScriptedServer server(ScriptedServer::Responses(
      {Response("HTTP/1.1 200 OK", "", "one"), Response("HTTP/1.1 200 OK", "", "two")}));
  int lookups = 0;
  http->OnStateChange = [&](TObject*) {
    if (http->State() == httpDnsLookup) ++lookups;
  };
  GetAndWait(server.Url("/1"));
  doneCount = 0;
  GetAndWait(server.Url("/2"));
  EXPECT_EQ(body.DataString(), "onetwo");
  EXPECT_EQ(server.ConnectionCount(), 1);
  EXPECT_EQ(lookups, 1);
}

TEST_F(ResponseTest, ServerClosingAnIdleConnectionIsNoError) {
  http->SetRequestVer("1.1");
  ScriptedServer server([](ScriptedConnection& c) {
    if (c.ReadRequest().empty()) return;
    c.Write(Response("HTTP/1.1 200 OK", "", "x"));
    // and closes while the client keeps the connection for later
  });
  GetAndWait(server.Url("/"));
  PumpUntil([this] { return http->CtrlSocket()->State() == wsClosed; }, 5000);
  EXPECT_EQ(doneCount, 1);
  doneCount = 0;
  GetAndWait(server.Url("/"));
  EXPECT_EQ(http->StatusCode, 200);
  EXPECT_EQ(server.ConnectionCount(), 2);
}

TEST_F(ResponseTest, KeptAliveConnectionClosedUnansweredIsTriedOnceMore) {
  // The server closes the kept connection as the second request arrives, as servers do
  // with idle connections; the request goes out again on a new one.
  http->SetRequestVer("1.1");
  ScriptedServer server([](ScriptedConnection& c) {
    if (c.ReadRequest().empty()) return;
    c.Write(Response("HTTP/1.1 200 OK", "", "first"));
    c.ReadRequest();
  });
  GetAndWait(server.Url("/a"));
  doneCount = 0;
  http->ContentRangeBegin = "0";
  http->ContentRangeEnd = "4";
  GetAndWait(server.Url("/b"));
  EXPECT_EQ(doneCount, 1);
  EXPECT_EQ(http->StatusCode, 200);
  EXPECT_EQ(body.DataString(), "firstfirst");
  EXPECT_EQ(server.ConnectionCount(), 2);
  auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 3u);
  // The second try is the same request, range included.
  EXPECT_EQ(requests[1], requests[2]);
  EXPECT_NE(requests[2].find("Range: bytes=0-4\r\n"), std::string::npos);
}

TEST_F(ResponseTest, ThrottledTransferIsComplete) {
  std::string content(48000, 'x');
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7);
  ScriptedServer server(AnswerAndHold(Response("HTTP/1.0 200 OK", "", content)));
  THttpCliOptions options;
  options.Include(httpoBandwidthControl);
  http->SetOptions(options);
  http->BandwidthLimit = 100000;
  http->BandwidthSampling = 100;
  GetAndWait(server.Url("/"));
  EXPECT_EQ(doneError, 0);
  EXPECT_EQ(body.DataString(), content);
  EXPECT_TRUE(http->CtrlSocket()->ComponentOptions.Contains(wsoNoReceiveLoop));
}

TEST_F(ResponseTest, ClosedInsideTheHeaderIsAnError) {
  ScriptedServer server(AnswerAndClose("HTTP/1.1 200 OK\r\nContent-Len"));
  GetAndWait(server.Url("/"));
  EXPECT_EQ(doneCount, 1);
  EXPECT_EQ(http->StatusCode, 404);
  EXPECT_EQ(http->StatusText, "Connection closed before the end of the response header");
  EXPECT_NE(doneError, 0);
  EXPECT_EQ(events, "hb;he;done;");
}

TEST_F(ResponseTest, ClosedWithoutAnyAnswerIsAnError) {
  ScriptedServer server([](ScriptedConnection& c) { c.ReadRequest(); });
  GetAndWait(server.Url("/"));
  EXPECT_EQ(doneCount, 1);
  EXPECT_EQ(http->StatusCode, 404);
  EXPECT_EQ(http->StatusText, "Connection closed without a response");
  EXPECT_NE(doneError, 0);
}

TEST_F(ResponseTest, TruncatedDocumentIsAnError) {
  ScriptedServer server(AnswerAndClose("HTTP/1.0 200 OK\r\nContent-Length: 100\r\n\r\nonly this"));
  GetAndWait(server.Url("/"));
  EXPECT_EQ(http->StatusCode, 404);
  EXPECT_EQ(http->StatusText, "Connection closed before the end of the document");
  EXPECT_NE(doneError, 0);
  EXPECT_EQ(events, "hb;he;db;de;done;");

  ScriptedServer chunked(AnswerAndClose(
      "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n"));
  doneCount = 0;
  GetAndWait(chunked.Url("/"));
  EXPECT_EQ(http->StatusCode, 404);
  EXPECT_EQ(http->StatusText, "Connection closed before the end of the document");
}

TEST_F(ResponseTest, FailureWhileSendingIsAnError) {
  ScriptedServer server([](ScriptedConnection& c) { c.WaitForPeerClose(); });
  http->OnCommand = [](TObject*, std::string& line) {
    if (line.rfind("Host:", 0) == 0) throw Exception("no host line today");
  };
  GetAndWait(server.Url("/"));
  EXPECT_EQ(doneCount, 1);
  EXPECT_EQ(http->StatusCode, 404);
  EXPECT_EQ(http->StatusText, "Request not sent: no host line today");
  EXPECT_NE(doneError, 0);
}

TEST_F(ResponseTest, ReceiveStreamFailureIsAnError) {
  // A stream that refuses to grow, as a full disk does.
  class TFullStream : public TMemoryStream {
   public:
    int64_t Write(const void*, int64_t) override { return 0; }
  } full;
  http->ReceiveStream = &full;
  ScriptedServer server(AnswerAndHold(Response("HTTP/1.0 200 OK", "", "data")));
  GetAndWait(server.Url("/"));
  EXPECT_EQ(doneCount, 1);
  EXPECT_EQ(http->StatusCode, 404);
  EXPECT_EQ(http->StatusText, "Document not stored: Stream write error");
  EXPECT_NE(doneError, 0);
}

TEST_F(ResponseTest, ChallengeAnswerSeamRetriesUnderTheSameRequest) {
  // A client that answers a 401 once with a fixed line, as authentication does.
  class TAnsweringClient : public THttpCli {
   public:
    using THttpCli::THttpCli;
    int rounds = 0;

   protected:
    std::string AuthorizationLine(bool proxy) override {
      return !proxy && AuthBasicState == 1 ? "Authorization: Basic dTpw" : "";
    }
    bool AnswerChallenge() override {
      if (StatusCode != 401 || AuthBasicState != 0 || AuthChallenges().Count() == 0)
        return false;
      ++rounds;
      AuthBasicState = 1;
      AuthChallengeList().Clear();
      RetryRequest();
      return true;
    }
  };
  TAnsweringClient client(nullptr);
  TStringStream answer;
  int done = 0;
  client.ReceiveStream = &answer;
  client.OnRequestDone = [&](TObject*, THttpRequest, uint16_t) { ++done; };
  ScriptedServer server(ScriptedServer::Responses(
      {Response("HTTP/1.0 401 Unauthorized", "WWW-Authenticate: Basic realm=\"r\"\r\n", "denied"),
       Response("HTTP/1.0 200 OK", "", "welcome"),
       Response("HTTP/1.0 401 Unauthorized", "WWW-Authenticate: Basic realm=\"r\"\r\n", "denied"),
       Response("HTTP/1.0 200 OK", "", " again")},
      true));
  client.URL = server.Url("/private");
  client.GetASync();
  ASSERT_TRUE(PumpUntil([&] { return done > 0; }));
  PumpFor(100);
  EXPECT_EQ(done, 1);
  EXPECT_EQ(client.rounds, 1);
  EXPECT_EQ(client.StatusCode, 200);
  EXPECT_EQ(answer.DataString(), "welcome");
  auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].find("Authorization"), std::string::npos);
  EXPECT_NE(requests[1].find("\r\nAuthorization: Basic dTpw\r\n"), std::string::npos);

  // The synchronous form waits through the second round as well.
  client.Get();
  EXPECT_EQ(client.rounds, 2);
  EXPECT_EQ(client.StatusCode, 200);
  EXPECT_EQ(answer.DataString(), "welcome again");
}

// ---- answers the client refuses

struct BadCase {
  const char* name;
  std::string response;
  const char* text;
};

TEST_F(ResponseTest, BadAnswersEndWithAClearError) {
  std::vector<BadCase> cases = {
      {"line without LF", "HTTP/1.1 200 OK\r\nX-Long: " + std::string(70000, 'a'),
       "Bad response: header line too long"},
      {"long line with LF", "HTTP/1.1 200 OK\r\nX: " + std::string(70000, 'b') + "\r\n\r\n",
       "Bad response: header line too long"},
      {"endless header", "HTTP/1.1 200 OK\r\n" + [] {
         std::string s;
         for (int i = 0; i < 20000; ++i) s += "X-Header-" + std::to_string(i) + ": value\r\n";
         return s;
       }(),
       "Bad response: header too large"},
      {"huge chunk size",
       "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
       "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF\r\nxx",
       "Bad response: invalid chunk size"},
      {"chunk without size", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n",
       "Bad response: invalid chunk size"},
      {"negative length", "HTTP/1.1 200 OK\r\nContent-Length: -5\r\n\r\nabc",
       "Bad response: invalid Content-Length"},
      {"absurd length", "HTTP/1.1 200 OK\r\nContent-Length: 99999999999999999999999\r\n\r\nab",
       "Bad response: invalid Content-Length"},
      {"letters for the code", "HTTP/1.1 2x0 OK\r\nContent-Length: 0\r\n\r\n",
       "Bad response: invalid status line"},
      {"no code at all", "HTTP/1.1 OK\r\n\r\n", "Bad response: invalid status line"},
      {"endless 100", [] {
         std::string s;
         for (int i = 0; i < 100; ++i) s += "HTTP/1.1 100 Continue\r\n\r\n";
         return s;
       }(),
       "Bad response: too many interim responses"},
  };
  http->SetRequestVer("1.1");
  for (const BadCase& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedServer server(AnswerAndHold(c.response));
    doneCount = 0;
    body.SetSize(0);
    GetAndWait(server.Url("/"));
    EXPECT_EQ(doneCount, 1);
    EXPECT_EQ(http->StatusCode, 404);
    EXPECT_EQ(http->StatusText, c.text);
    EXPECT_EQ(doneError, 10053);
    EXPECT_EQ(http->State(), httpReady);
    EXPECT_EQ(http->CtrlSocket()->State(), wsClosed);
  }
}

TEST_F(ResponseTest, NonNumericLengthMeansUntilClose) {
  ScriptedServer server(AnswerAndClose("HTTP/1.0 200 OK\r\nContent-Length: lots\r\n\r\nabc"));
  GetAndWait(server.Url("/"));
  EXPECT_EQ(http->ContentLength, -1);
  EXPECT_EQ(body.DataString(), "abc");
  EXPECT_EQ(http->StatusCode, 200);
}

TEST_F(ResponseTest, NotAnHttpStatusLine) {
  ScriptedServer server(AnswerAndClose("ICY 200 OK\r\n\r\nstream"));
  int push2 = 0;
  http->OnDataPush2 = [&](TObject*) { ++push2; };
  GetAndWait(server.Url("/"));
  EXPECT_EQ(push2, 1);
  // No status: the answer counts as one without a body.
  EXPECT_EQ(http->StatusCode, 0);
  EXPECT_EQ(body.DataString(), "");
}

// ---- ending requests

TEST_F(ResponseTest, AbortWhileWaiting) {
  ScriptedServer server([](ScriptedConnection& c) { c.WaitForPeerClose(); });
  http->URL = server.Url("/");
  http->OnStateChange = [this](TObject*) {
    if (http->State() == httpWaitingHeader) http->Abort();
  };
  http->GetASync();
  ASSERT_TRUE(PumpUntil([this] { return doneCount > 0; }));
  PumpFor(100);
  EXPECT_EQ(doneCount, 1);
  EXPECT_EQ(http->StatusCode, 404);
  EXPECT_EQ(http->StatusText, "Connection aborted on request");
  EXPECT_EQ(doneError, 3);
}

TEST_F(ResponseTest, AbortOnIdleComponentReportsAtOnce) {
  http->Abort();
  EXPECT_EQ(doneCount, 1);  // directly, not through the loop
  EXPECT_EQ(doneError, 0);
  EXPECT_EQ(http->StatusCode, 200);
  EXPECT_EQ(http->StatusText, "OK");
}

TEST_F(ResponseTest, RefusedConnection) {
  GetAndWait("http://127.0.0.1:" + std::to_string(UnusedPort()) + "/");
  EXPECT_EQ(doneCount, 1);
  EXPECT_EQ(doneError, 10061);
  EXPECT_EQ(http->StatusCode, 404);
  EXPECT_NE(http->StatusText.find("(Error #10061)"), std::string::npos) << http->StatusText;
}

TEST_F(ResponseTest, OtherProtocolsEndWith501) {
  GetAndWait("ftp://127.0.0.1:1/secure");
  EXPECT_EQ(doneCount, 1);
  EXPECT_EQ(http->StatusCode, 501);
  EXPECT_EQ(http->StatusText, "Protocol \"ftp\" not implemented");
  // https through an HTTP proxy asks for a tunnel: nothing of the request goes to the
  // proxy in clear, and the proxy's refusal ends it.
  doneCount = 0;
  ScriptedServer proxy(ScriptedServer::Responses({Response("HTTP/1.1 502 Bad Gateway", "", "no")}));
  http->Proxy = "127.0.0.1";
  http->ProxyPort = std::to_string(proxy.Port());
  GetAndWait("https://127.0.0.1:1/secure");
  EXPECT_EQ(http->StatusCode, 502);
  EXPECT_EQ(http->StatusText, "Bad Gateway");
  EXPECT_EQ(docData, "");
  const std::vector<std::string> requests = proxy.Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].rfind("CONNECT 127.0.0.1:1 HTTP/1.1\r\n", 0), 0u) << requests[0];
  EXPECT_EQ(requests[0].find("/secure"), std::string::npos);
}

TEST_F(ResponseTest, CloseRequestEndsWithOk) {
  http->SetRequestVer("1.1");
  ScriptedServer server(AnswerAndHold(Response("HTTP/1.1 200 OK", "", "x")));
  GetAndWait(server.Url("/"));
  ASSERT_EQ(http->CtrlSocket()->State(), wsConnected);
  doneCount = 0;
  http->StartRequest(httpCLOSE);
  ASSERT_TRUE(PumpUntil([this] { return doneCount > 0; }));
  EXPECT_EQ(http->StatusCode, 200);
  EXPECT_EQ(http->CtrlSocket()->State(), wsClosed);
}

}  // namespace
}  // namespace testsupport
