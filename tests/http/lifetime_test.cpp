// A client freed from inside its own events: ReleaseLater must wait until the event is
// over, also when the handler runs a nested loop (a modal box, a synchronous request)
// that dispatches the release message before the event has returned.
#include <gtest/gtest.h>

#include "tests/http/client_fixture.h"

namespace testsupport {
namespace {

class TWatchedCli : public THttpCli {
 public:
  explicit TWatchedCli(bool* gone) : THttpCli(nullptr), gone_(gone) {}
  ~TWatchedCli() override { *gone_ = true; }

 private:
  bool* gone_;
};

// What a handler does that shows a message box: the loop runs until the box is answered.
void NestedLoop() { PumpFor(60); }

TEST(ClientLifetime, ReleasedInOnDocDataLivesUntilTheDataEventIsOver) {
  // Large enough to arrive in several reads, so the socket's receive loop is still at
  // work when the handler returns.
  ScriptedServer server(ScriptedServer::Responses({Response("HTTP/1.0 200 OK", "", std::string(400000, 'x'))}));
  bool gone = false;
  auto* http = new TWatchedCli(&gone);
  int blocks = 0;
  bool goneInHandler = true;
  http->OnDocData = [&](TObject*, const void*, int) {
    if (++blocks > 1) return;
    http->ReleaseLater();
    NestedLoop();
    goneInHandler = gone;
  };
  http->URL = server.Url("/");
  http->GetASync();
  ASSERT_TRUE(PumpUntil([&] { return blocks > 0; }));
  EXPECT_FALSE(goneInHandler);
  // Freed once the event is over and the loop has run.
  EXPECT_TRUE(PumpUntil([&] { return gone; }));
}

TEST(ClientLifetime, ReleasedInOnHeaderEndWhileAModalLoopRunsLivesUntilTheEventIsOver) {
  ScriptedServer server(ScriptedServer::Responses({Response("HTTP/1.0 404 Not Found", "", "missing")}));
  bool gone = false;
  auto* http = new TWatchedCli(&gone);
  bool handled = false;
  bool goneInHandler = true;
  http->OnHeaderEnd = [&](TObject*) {
    // The usual reaction to an error status: give up, free the client, tell the user.
    http->Abort();
    http->ReleaseLater();
    NestedLoop();
    goneInHandler = gone;
    handled = true;
  };
  http->URL = server.Url("/");
  http->GetASync();
  ASSERT_TRUE(PumpUntil([&] { return handled; }));
  EXPECT_FALSE(goneInHandler);
  EXPECT_TRUE(PumpUntil([&] { return gone; }));
}

TEST(ClientLifetime, ReleasedDuringItsSynchronousRequestLivesUntilGetReturns) {
  ScriptedServer server(ScriptedServer::Responses({Response("HTTP/1.0 200 OK", "", "body")}));
  bool gone = false;
  auto* http = new TWatchedCli(&gone);
  TStringStream body;
  http->ReceiveStream = &body;
  http->OnHeaderEnd = [&](TObject*) { http->ReleaseLater(); };
  http->URL = server.Url("/");
  // Get's own wait dispatches the release message.
  EXPECT_NO_THROW(http->Get());
  EXPECT_FALSE(gone);
  EXPECT_EQ(body.DataString(), "body");
  http->ReceiveStream = nullptr;
  EXPECT_TRUE(PumpUntil([&] { return gone; }));
}

}  // namespace
}  // namespace testsupport
