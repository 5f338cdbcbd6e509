// Answers a hostile or broken server gives, through the whole client: interim answers
// that try to steer the final one, a header-less document after an interim answer, and
// a challenge on a connection the server closes at once.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "http/httpauth.h"
#include "tests/http/client_fixture.h"

namespace testsupport {
namespace {

class HostileTest : public ClientTest {
 protected:
  // A fresh client and fresh records, for one more case in the same test.
  void Restart() {
    http.reset();
    PumpPending();
    doneCount = 0;
    doneError = 0xFFFF;
    events.clear();
    docData.clear();
    body.SetSize(0);
    ClientTest::SetUp();
  }
};

TEST_F(HostileTest, AHeaderlessDocumentAfterAnInterimAnswerKeepsAllItsBytes) {
  ScriptedServer server([](ScriptedConnection& c) {
    if (c.ReadRequest().empty()) return;
    c.Write("HTTP/1.1 100 Continue\r\nContent-Length: 1\r\n\r\n<HTML>\nA");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    c.Write("B");
    c.Close();
  });
  http->SetRequestVer("1.1");
  GetAndWait(server.Url("/"));
  EXPECT_EQ(doneCount, 1);
  EXPECT_EQ(doneError, 0);
  EXPECT_EQ(body.DataString(), "<HTML>\nAB");
  EXPECT_EQ(http->StatusCode, 0) << "the interim status is no status of the document";
}

TEST_F(HostileTest, NothingOfAnInterimAnswerAppliesToTheFinalOne) {
  struct Case {
    const char* name;
    std::string interim;
  };
  const Case cases[] = {
      {"relocation", "Location: /evil\r\nContent-Length: 0\r\n"},
      {"length", "Content-Length: 2\r\n"},
      {"coding", "Transfer-Encoding: chunked\r\n"},
      {"challenge", "WWW-Authenticate: Basic realm=\"x\"\r\n"},
      {"range", "Content-Range: bytes 5-6/7\r\nContent-Type: text/html\r\n"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    Restart();
    ScriptedServer server(ScriptedServer::Responses(
        {"HTTP/1.1 100 Continue\r\n" + k.interim + "\r\n" +
             Response("HTTP/1.1 200 OK", "", "the real document"),
         Response("HTTP/1.1 200 OK", "", "evil")}));
    http->SetRequestVer("1.1");
    http->Username = "user";
    http->Password = "password";
    GetAndWait(server.Url("/doc"));
    EXPECT_EQ(server.Requests().size(), 1u);
    EXPECT_EQ(http->StatusCode, 200);
    EXPECT_EQ(body.DataString(), "the real document");
    EXPECT_EQ(events.find("loc;"), std::string::npos) << events;
    EXPECT_EQ(http->AuthChallenges().Count(), 0);
    EXPECT_EQ(http->ContentRangeBegin, "");
    EXPECT_EQ(http->DocName, "doc");
    EXPECT_EQ(doneCount, 1);
  }
}

// The server answers the first request with a challenge and a short body on a
// kept-alive connection, then closes it; the answered round comes on a new connection.
void ChallengeThenClose(ScriptedConnection& c, int delayMs, std::atomic<int>& connections) {
  const int index = connections++;
  const std::string request = c.ReadRequest();
  if (request.empty()) return;
  if (index == 0) {
    c.Write("HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Basic realm=\"a\"\r\n"
            "Content-Length: 2\r\n\r\nno");
    if (delayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
    c.Close();
    return;
  }
  const bool authorized =
      request.find("\r\nAuthorization: Basic " + Base64Encode("u:p") + "\r\n") != std::string::npos;
  c.Write(authorized ? Response("HTTP/1.1 200 OK", "", "secret")
                     : Response("HTTP/1.1 401 Unauthorized", "", "again"));
  c.WaitForPeerClose();
}

TEST_F(HostileTest, AChallengeOnAConnectionTheServerClosesEndsOnce) {
  for (int delayMs : {0, 100}) {
    SCOPED_TRACE(delayMs);
    Restart();
    std::atomic<int> connections{0};
    ScriptedServer server(
        [&](ScriptedConnection& c) { ChallengeThenClose(c, delayMs, connections); });
    http->SetRequestVer("1.1");
    http->Username = "u";
    http->Password = "p";
    GetAndWait(server.Url("/"));
    PumpFor(300);
    EXPECT_EQ(doneCount, 1);
    EXPECT_EQ(doneError, 0);
    EXPECT_EQ(http->StatusCode, 200);
    EXPECT_EQ(body.DataString(), "secret");
  }
}

TEST_F(HostileTest, AChallengeOnAClosedConnectionEndsOnceInTheSynchronousGet) {
  std::atomic<int> connections{0};
  ScriptedServer server([&](ScriptedConnection& c) { ChallengeThenClose(c, 0, connections); });
  http->SetRequestVer("1.1");
  http->Username = "u";
  http->Password = "p";
  http->Timeout = 10;
  http->URL = server.Url("/");
  http->Get();
  EXPECT_EQ(http->StatusCode, 200);
  EXPECT_EQ(body.DataString(), "secret");
  PumpFor(300);
  EXPECT_EQ(doneCount, 1);
}

TEST_F(HostileTest, ParserErrorsEndWith404AndTheAbortCode) {
  struct Case {
    std::string answer;
    std::string text;
  };
  const Case cases[] = {
      {"HTTP/1.1 2x0 OK\r\n\r\n", "Bad response: invalid status line"},
      {"HTTP/1.1 200 OK\r\nContent-Length: -5\r\n\r\n", "Bad response: invalid Content-Length"},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n",
       "Bad response: invalid chunk size"},
      {"HTTP/1.1 200 OK\r\nX: " + std::string(70000, 'x') + "\r\n\r\n",
       "Bad response: header line too long"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.text);
    Restart();
    ScriptedServer server(ScriptedServer::Responses({k.answer}));
    GetAndWait(server.Url("/"));
    EXPECT_EQ(http->StatusCode, 404);
    EXPECT_EQ(http->StatusText, k.text);
    EXPECT_EQ(doneError, 10053);
    EXPECT_EQ(doneCount, 1);
  }
}

TEST_F(HostileTest, RelocationsOnAKeptAliveConnectionEndOnce) {
  // Found by fuzzing the whole client: a status line that is none, relocations without
  // a length, and the server closing after the last of them.
  ScriptedServer server(ScriptedServer::Responses({
      "HTTP/1.1 302 Found\r\nLocation: oagain\r\nContent-Length: 0\r\n\r\n",
      "HTTP/1.1 302 Found\r\nLocation: oagain\r\nContent-Length: 0\r\n\r\n",
      "H\r\nLocation: /again\r\nContent-Length: 0\r\n\r\n",
      "HTTP/1.1 302 Found\r\nLocation: ?again\r\nContn-etLength: 0\r\n\r\n",
      "HTTP/1.1 302 Found\r\nLocation: /again\r\nContent-Length: 0\r\n\r\n",
  }));
  http->SetRequestVer("1.1");
  http->OnRequestDone = [this](TObject*, THttpRequest, uint16_t err) {
    ++doneCount;
    doneError = err;
    events += "done(" + std::to_string(http->StatusCode) + ");";
  };
  http->OnStateChange = [this](TObject*) { events += std::to_string(static_cast<int>(http->State())) + ","; };
  GetAndWait(server.Url("/start/doc.html"));
  PumpFor(300);
  EXPECT_EQ(doneCount, 1) << events;
}

}  // namespace
}  // namespace testsupport
