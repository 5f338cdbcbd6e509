// Handlers that fail with the standard library's exceptions (bad_alloc, out_of_range from
// .at(), ...) rather than our own: they must take the same road as an Exception and never
// unwind through the dispatcher into whatever loop happens to run.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "net/nettimer.h"
#include "net/wsocket.h"
#include "netsupport.h"

namespace {

TEST(HandlerExceptions, StandardExceptionFromSocketEventGoesToOnBgExceptionAndAborts) {
  ScriptedPeer peer;
  peer.Run([](int fd) {
    ScriptedPeer::ReadAll(fd);
    return false;
  });
  TWSocket s(nullptr);
  std::string seen;
  s.OnBgException = [&](TObject*, const Exception& e, bool& canClose) {
    seen = e.Message();
    EXPECT_TRUE(canClose);
  };
  s.OnSessionConnected = [](TObject*, uint16_t) { throw std::out_of_range("slot 7 out of range"); };
  s.SetAddr("127.0.0.1");
  s.SetPort(peer.Port());
  s.Connect();
  EXPECT_NO_THROW(PumpUntil([&] { return !seen.empty(); }));
  EXPECT_EQ(seen, "slot 7 out of range");
  // The default answer to a background error: the connection is aborted.
  EXPECT_EQ(s.State(), wsClosed);
}

TEST(HandlerExceptions, HandlerMayKeepTheConnectionAfterAStandardException) {
  ScriptedPeer peer;
  peer.Run([](int fd) {
    ScriptedPeer::ReadAll(fd);
    return false;
  });
  TWSocket s(nullptr);
  int errors = 0;
  s.OnBgException = [&](TObject*, const Exception&, bool& canClose) {
    ++errors;
    canClose = false;
  };
  s.OnSessionConnected = [](TObject*, uint16_t) { throw std::bad_alloc(); };
  s.SetAddr("127.0.0.1");
  s.SetPort(peer.Port());
  s.Connect();
  EXPECT_NO_THROW(PumpUntil([&] { return errors > 0; }));
  EXPECT_EQ(errors, 1);
  EXPECT_EQ(s.State(), wsConnected);
  s.Close();
}

TEST(HandlerExceptions, StandardExceptionWhileDeliveringGatheredBytesGoesToOnBgException) {
  ScriptedPeer peer;
  peer.Run([](int fd) {
    ScriptedPeer::SendAll(fd, "no line end yet");
    ScriptedPeer::ReadAll(fd);
    return false;
  });
  TWSocket s(nullptr);
  std::string seen;
  s.OnBgException = [&](TObject*, const Exception& e, bool&) { seen = e.Message(); };
  bool connected = false;
  s.OnSessionConnected = [&](TObject*, uint16_t) { connected = true; };
  s.SetLineMode(true);
  s.SetAddr("127.0.0.1");
  s.SetPort(peer.Port());
  s.Connect();
  ASSERT_TRUE(PumpUntil([&] { return connected && s.BufferedCount() == 15; }));
  // Leaving line mode hands the gathered bytes out from the message loop.
  s.OnDataAvailable = [](TObject*, uint16_t) { throw std::out_of_range("raw bytes refused"); };
  s.SetLineMode(false);
  EXPECT_NO_THROW(PumpUntil([&] { return !seen.empty(); }));
  EXPECT_EQ(seen, "raw bytes refused");
}

TEST(HandlerExceptions, StandardExceptionFromTimerTickStaysInsideTheDispatch) {
  TWSocket owner(nullptr);
  TNetTimer timer(&owner);
  std::string hooked;
  TNetWndHandler* handler = owner.Handler();
  ASSERT_NE(handler, nullptr);
  handler->OnException = [&](TNetWndHandler*, const Exception& e) { hooked = e.Message(); };
  int ticks = 0;
  timer.SetInterval(10);
  timer.SetOnTimer([&](TObject*) {
    ++ticks;
    throw std::length_error("tick failed");
  });
  timer.SetEnabled(true);
  EXPECT_NO_THROW(PumpUntil([&] { return ticks >= 2; }));
  timer.SetEnabled(false);
  handler->OnException = nullptr;
  EXPECT_EQ(hooked, "tick failed");
}

}  // namespace
