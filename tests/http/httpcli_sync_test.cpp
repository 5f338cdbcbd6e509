// The synchronous Get: waiting with an idle limit while the loop keeps running, and
// the exceptions it raises.
#include <gtest/gtest.h>

#include <thread>

#include "platform/messages.h"
#include "tests/http/client_fixture.h"

namespace testsupport {
namespace {

using SyncTest = ClientTest;

// Runs Get and returns the exception's text and code ("" when it returned).
std::string GetError(THttpCli& http, uint16_t* code = nullptr) {
  try {
    http.Get();
  } catch (const EHttpException& e) {
    if (code) *code = e.ErrorCode;
    return e.Message();
  }
  return std::string();
}

TEST_F(SyncTest, OkReturnsWithTheBody) {
  ScriptedServer server(ScriptedServer::Responses({Response("HTTP/1.0 200 OK", "", "20240301")}));
  http->URL = server.Url("/soft.html");
  EXPECT_EQ(GetError(*http), "");
  EXPECT_EQ(body.DataString(), "20240301");
  EXPECT_EQ(http->State(), httpReady);
  // OnRequestDone comes from the loop, inside the wait or after it, once.
  ASSERT_TRUE(PumpUntil([this] { return doneCount > 0; }));
  PumpFor(100);
  EXPECT_EQ(doneCount, 1);
}

TEST_F(SyncTest, ErrorStatusRaisesWithTheReasonPhrase) {
  ScriptedServer server(ScriptedServer::Responses(
      {Response("HTTP/1.1 404 Nothing Here", "", "missing"),
       Response("HTTP/1.1 503 Busy Now", "", ""),
       Response("HTTP/1.1 401 Unauthorized", "WWW-Authenticate: Basic realm=\"r\"\r\n", "no"),
       Response("HTTP/1.1 302 Found", "", "relocation without target")}));
  http->SetRequestVer("1.1");
  http->URL = server.Url("/");
  uint16_t code = 0;
  EXPECT_EQ(GetError(*http, &code), "Nothing Here");
  EXPECT_EQ(code, 404);
  EXPECT_EQ(GetError(*http, &code), "Busy Now");
  EXPECT_EQ(code, 503);
  // 401 and 407 are answered by authentication, not raised.
  EXPECT_EQ(GetError(*http), "");
  EXPECT_EQ(http->StatusCode, 401);
  EXPECT_EQ(GetError(*http), "");
  EXPECT_EQ(http->StatusCode, 302);
}

TEST_F(SyncTest, SilentServerTimesOut) {
  ScriptedServer server([](ScriptedConnection& c) { c.WaitForPeerClose(); });
  http->URL = server.Url("/");
  http->Timeout = 1;
  uint16_t code = 0;
  EXPECT_EQ(GetError(*http, &code), "Request aborted on timeout");
  EXPECT_EQ(code, 404);
  EXPECT_EQ(http->DoneError, 8);
  EXPECT_EQ(http->CtrlSocket()->State(), wsClosed);
  ASSERT_TRUE(PumpUntil([this] { return doneCount > 0; }));
  EXPECT_EQ(doneError, 8);
}

TEST_F(SyncTest, SlowButSteadyTransferDoesNotTimeOut) {
  // Eight pieces 300 ms apart: 2.4 s in all, never 1 s idle.
  ScriptedServer server([](ScriptedConnection& c) {
    if (c.ReadRequest().empty()) return;
    c.Write("HTTP/1.0 200 OK\r\nContent-Length: 8\r\n\r\n");
    for (int i = 0; i < 8; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      c.Write(std::string(1, static_cast<char>('0' + i)));
    }
  });
  http->URL = server.Url("/");
  http->Timeout = 1;
  EXPECT_EQ(GetError(*http), "");
  EXPECT_EQ(body.DataString(), "01234567");
}

TEST_F(SyncTest, ZeroTimeoutEndsAtTheFirstCheck) {
  ScriptedServer server([](ScriptedConnection& c) { c.WaitForPeerClose(); });
  http->URL = server.Url("/");
  http->Timeout = 0;
  EXPECT_EQ(GetError(*http), "Request aborted on timeout");
}

TEST_F(SyncTest, UnresolvableHostRaises) {
  http->URL = "http://no-such-host.invalid/x.html";
  http->Timeout = 5;
  uint16_t code = 0;
  EXPECT_EQ(GetError(*http, &code), "can't resolve hostname to IP address");
  EXPECT_EQ(code, 404);
  EXPECT_NE(http->DoneError, 0);
}

TEST_F(SyncTest, RefusedAndOtherProtocolRaise) {
  http->URL = "http://127.0.0.1:" + std::to_string(UnusedPort()) + "/";
  uint16_t code = 0;
  EXPECT_NE(GetError(*http, &code).find("(Error #10061)"), std::string::npos);
  EXPECT_EQ(code, 404);
  http->URL = "ftp://127.0.0.1/";
  EXPECT_EQ(GetError(*http, &code), "Protocol \"ftp\" not implemented");
  EXPECT_EQ(code, 501);
}

TEST_F(SyncTest, QuitMessageEndsTheWaitAtOnce) {
  ScriptedServer server([](ScriptedConnection& c) { c.WaitForPeerClose(); });
  http->URL = server.Url("/");
  http->Timeout = 3600;
  // Another component of the thread asks the loop to end.
  http->OnStateChange = [](TObject*) {};
  http->OnSessionConnected = [](TObject*) { platform::PostQuitMessage(0); };
  uint16_t code = 0;
  EXPECT_EQ(GetError(*http, &code), "Request aborted");
  EXPECT_EQ(http->DoneError, 3);
}

TEST_F(SyncTest, OtherEventsOfTheThreadKeepFlowing) {
  // A second client runs asynchronously while the first one waits.
  ScriptedServer slow([](ScriptedConnection& c) {
    if (c.ReadRequest().empty()) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    c.Write(Response("HTTP/1.0 200 OK", "", "slow"));
  });
  ScriptedServer quick(ScriptedServer::Responses({Response("HTTP/1.0 200 OK", "", "quick")}));
  THttpCli other(nullptr);
  TStringStream otherBody;
  bool otherDone = false;
  other.ReceiveStream = &otherBody;
  other.OnRequestDone = [&](TObject*, THttpRequest, uint16_t) { otherDone = true; };
  other.URL = quick.Url("/");
  other.GetASync();
  http->URL = slow.Url("/");
  EXPECT_EQ(GetError(*http), "");
  EXPECT_TRUE(otherDone);
  EXPECT_EQ(otherBody.DataString(), "quick");
  EXPECT_EQ(body.DataString(), "slow");
}

TEST_F(SyncTest, MovesToAnotherThreadAndBack) {
  ScriptedServer server(ScriptedServer::Responses(
      {Response("HTTP/1.0 200 OK", "", "one"), Response("HTTP/1.0 200 OK", "", "two")}, true));
  http->URL = server.Url("/");
  http->DetachThread();
  std::string error = "not run";
  std::thread worker([&] {
    try {
      http->AttachThread();
      http->Get();
      http->DetachThread();
      error.clear();
    } catch (const Exception& e) {
      error = e.Message();
    }
  });
  worker.join();
  EXPECT_EQ(error, "");
  http->AttachThread();
  EXPECT_EQ(GetError(*http), "");
  EXPECT_EQ(body.DataString(), "onetwo");
}

}  // namespace
}  // namespace testsupport
