#include "net/netwndcontrol.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "net/nettimer.h"
#include "net/wsocket.h"
#include "netsupport.h"

namespace {

// A component that claims one id more than the base and records what reaches it.
class Probe : public TNetWndControl {
 public:
  explicit Probe(TComponent* owner = nullptr, bool* destroyed = nullptr)
      : TNetWndControl(owner), destroyed_(destroyed) {}
  ~Probe() override {
    if (destroyed_) *destroyed_ = true;
    DetachForGood(true);
  }
  platform::UINT ExtraId() const { return extra_; }
  std::vector<platform::UINT> seen;
  std::function<void()> onExtra;

 protected:
  int MessageIdsNeeded() override { return 2; }
  void ClaimMessageIds() override {
    TNetWndControl::ClaimMessageIds();
    extra_ = handler_->ClaimId(this);
  }
  void ReturnMessageIds() override {
    handler_->ReleaseId(extra_);
    TNetWndControl::ReturnMessageIds();
  }
  void WindowProc(TMessage& msg) override {
    if (msg.Msg == extra_) {
      seen.push_back(msg.Msg);
      if (onExtra) onExtra();
      return;
    }
    TNetWndControl::WindowProc(msg);
  }

 private:
  platform::UINT extra_ = 0;
  bool* destroyed_;
};

class ProbeTimer : public TNetTimer {
 public:
  using TNetTimer::TNetTimer;
  void Tick() {
    TMessage m;
    TimerTick(m);
  }
};

struct TickBias {
  ~TickBias() { platform::SetTickCountBias(0); }
};

}  // namespace

TEST(NetWndControl, ComponentsOfOneThreadShareAHandler) {
  int windowsBefore = NetWndHiddenWindowCount();
  Probe a, b;
  a.Handle();
  b.Handle();
  EXPECT_EQ(a.Handle(), b.Handle());
  EXPECT_EQ(a.Handler(), b.Handler());
  EXPECT_EQ(a.ReleaseMsgId(), 1025u);
  EXPECT_EQ(a.ExtraId(), 1026u);
  EXPECT_EQ(b.ReleaseMsgId(), 1027u);
  EXPECT_EQ(NetWndHiddenWindowCount(), windowsBefore + 1);
}

TEST(NetWndControl, FullHandlerLeadsToANewWindowStartingAgainAt1025) {
  std::vector<std::unique_ptr<TWSocket>> sockets;
  for (int i = 0; i < 14; ++i) sockets.push_back(std::make_unique<TWSocket>(nullptr));
  for (auto& s : sockets) EXPECT_EQ(s->Handle(), sockets[0]->Handle());
  auto extra = std::make_unique<TWSocket>(nullptr);  // 7 ids; only 2 are left
  EXPECT_NE(extra->Handle(), sockets[0]->Handle());
  EXPECT_EQ(extra->ReleaseMsgId(), 1025u);
}

TEST(NetWndControl, LastIdGoneDestroysTheWindow) {
  int before = NetWndHiddenWindowCount();
  {
    Probe a;
    a.Handle();
    EXPECT_EQ(NetWndHiddenWindowCount(), before + 1);
  }
  EXPECT_EQ(NetWndHiddenWindowCount(), before);
  Probe b;
  b.Handle();
  EXPECT_EQ(NetWndHiddenWindowCount(), before + 1);
}

TEST(NetWndControl, QueuedMessageOfAReleasedIdIsNeverDispatched) {
  Probe keeper;  // keeps the window alive
  keeper.Handle();
  auto first = std::make_unique<Probe>();
  platform::HWND h = first->Handle();
  platform::UINT id = first->ExtraId();
  platform::PostMessage(h, id, 0, 0);
  first.reset();
  Probe second;  // takes the same ids again
  ASSERT_EQ(second.Handle(), h);
  ASSERT_EQ(second.ExtraId(), id);
  PumpPending();
  EXPECT_TRUE(second.seen.empty());
}

TEST(NetWndControl, ReleaseLaterFreesAfterTheHandlerReturns) {
  bool destroyed = false;
  auto* p = new Probe(nullptr, &destroyed);
  bool stillAliveAfterCall = false;
  p->onExtra = [&] {
    p->ReleaseLater();
    stillAliveAfterCall = !destroyed;
  };
  platform::HWND h = p->Handle();
  platform::PostMessage(h, p->ExtraId(), 0, 0);
  ASSERT_TRUE(PumpUntil([&] { return destroyed; }));
  EXPECT_TRUE(stillAliveAfterCall);
}

TEST(NetWndControl, OwnedComponentsGoWithTheirOwner) {
  bool childGone = false;
  {
    Probe owner;
    new Probe(&owner, &childGone);
  }
  EXPECT_TRUE(childGone);
}

TEST(NetWndControl, DetachFromAnotherThreadIsRefused) {
  Probe p;
  p.Handle();
  EXPECT_THROW(p.AttachThread(), ENetException);
  std::string message;
  std::thread([&] {
    try {
      p.DetachThread();
    } catch (const ENetException& e) {
      message = e.Message();
    }
  }).join();
  EXPECT_EQ(message, "Cannot detach from another thread");
  p.DetachThread();
  EXPECT_EQ(p.ThreadId(), 0u);
  p.AttachThread();
  EXPECT_NE(p.ThreadId(), 0u);
}

TEST(NetWndHandler, IdErrors) {
  TNetWndHandler h;
  platform::UINT id = 1030;
  EXPECT_THROW(h.ClaimId(nullptr), ENetException);  // no first id yet
  h.FirstId = NetWndFirstId;
  try {
    h.ReleaseId(id);
    FAIL();
  } catch (const ENetException& e) {
    EXPECT_EQ(e.Message(), "Msg not registered");
  }
  id = 1200;
  try {
    h.ReleaseId(id);
    FAIL();
  } catch (const ENetException& e) {
    EXPECT_EQ(e.Message(), "Msg value out of bound");
  }
  Probe owner;
  for (int i = 0; i < 100; ++i) EXPECT_EQ(h.ClaimId(&owner), 1025u + i);
  try {
    h.ClaimId(&owner);
    FAIL();
  } catch (const ENetException& e) {
    EXPECT_EQ(e.Message(), "No more free message");
  }
  id = 1030;
  h.ReleaseId(id);
  EXPECT_EQ(id, 0u);
  EXPECT_EQ(h.ClaimId(&owner), 1030u);
  TNetWndHandlerPool pool;
  EXPECT_THROW(pool.AcquireHandler(101, 1), EAssertionFailed);
}

TEST(NetTimer, NeedsOwnerAndWindow) {
  try {
    TNetTimer t(nullptr);
    FAIL();
  } catch (const ENetTimerException& e) {
    EXPECT_EQ(e.Message(), "Owner not assigned");
  }
  Probe detached;  // never attached
  auto* t = new TNetTimer(&detached);
  try {
    t->SetInterval(10);
    FAIL();
  } catch (const ENetTimerException& e) {
    EXPECT_EQ(e.Message(), "No window available");
  }
}

TEST(NetTimer, StartsOnlyWhenEverythingIsSetAndTicksThroughTheOwner) {
  Probe owner;
  owner.Handle();
  auto* t = new TNetTimer(&owner);
  auto id = reinterpret_cast<uintptr_t>(t);
  t->SetEnabled(true);  // already true: nothing starts
  EXPECT_FALSE(platform::KillTimer(owner.Handle(), id));
  int ticks = 0;
  t->SetInterval(20);
  t->SetOnTimer([&](TObject* sender) {
    EXPECT_EQ(sender, t);
    ++ticks;
  });
  ASSERT_TRUE(PumpUntil([&] { return ticks >= 2; }));
  t->SetEnabled(false);
  int stopped = ticks;
  PumpPending();
  EXPECT_EQ(ticks, stopped);
}

TEST(NetTimer, EarlyTickIsSkipped) {
  TickBias restore;
  Probe owner;
  owner.Handle();
  auto* t = new ProbeTimer(&owner);
  int fired = 0;
  t->SetInterval(1000);
  t->SetOnTimer([&](TObject*) { ++fired; });  // last tick = now
  platform::SetTickCountBias(900);
  t->Tick();
  EXPECT_EQ(fired, 0);
  // 1000 after the skipped tick, not after the start.
  platform::SetTickCountBias(900 + 1000);
  t->Tick();
  EXPECT_EQ(fired, 1);
}

TEST(NetTimer, ElapsedAcrossTheCounterWrap) {
  TickBias restore;
  Probe owner;
  owner.Handle();
  const uint32_t real = platform::GetTickCount();
  platform::SetTickCountBias(0xFFFFFF00u - real);  // 256 ms before the wrap
  auto* t = new ProbeTimer(&owner);
  int fired = 0;
  t->SetInterval(1000);
  t->SetOnTimer([&](TObject*) { ++fired; });
  platform::SetTickCountBias(0xFFFFFF00u - real + 500);  // wrapped, 500 later
  t->Tick();
  EXPECT_EQ(fired, 0);
  platform::SetTickCountBias(0xFFFFFF00u - real + 500 + 1100);
  t->Tick();
  EXPECT_EQ(fired, 1);
}

TEST(NetTimer, TickOfADestroyedTimerIsIgnored) {
  Probe owner;
  platform::HWND h = owner.Handle();
  auto* t = new TNetTimer(&owner);
  auto id = reinterpret_cast<platform::WPARAM>(t);
  delete t;
  platform::PostMessage(h, platform::WM_TIMER, id, 0);
  PumpPending();  // must not reach freed memory (the sanitizer build would tell)
  SUCCEED();
}
