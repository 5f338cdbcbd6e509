#include "net/netwndcontrol.h"

#include <atomic>
#include <mutex>

#include "net/nettimer.h"

namespace {

// Pool lock, then class lock; the class lock guards the count of hidden sinks.
std::recursive_mutex& PoolLock() {
  static std::recursive_mutex* m = new std::recursive_mutex;
  return *m;
}
std::mutex& ClassLock() {
  static std::mutex* m = new std::mutex;
  return *m;
}
int g_windowCount = 0;

TNetWndHandlerPool* g_pool = nullptr;
bool g_finalized = false;

TNetWndHandlerPool& Pool() {
  if (!g_pool) g_pool = new TNetWndHandlerPool;
  return *g_pool;
}

struct ModuleEnd {
  ~ModuleEnd() {
    std::lock_guard<std::recursive_mutex> lock(PoolLock());
    g_finalized = true;
    if (g_pool && g_pool->ListCount() == 0) {
      delete g_pool;
      g_pool = nullptr;
    }
  }
} g_moduleEnd;

}  // namespace


int NetWndHiddenWindowCount() {
  std::lock_guard<std::mutex> lock(ClassLock());
  return g_windowCount;
}

// ---------------------------------------------------------------------------------------

TNetWndHandler::TNetWndHandler() = default;

TNetWndHandler::~TNetWndHandler() {
  if (Handle) DropWindow();
}

platform::UINT TNetWndHandler::ClaimId(TNetWndControl* owner) {
  if (FirstId < platform::WM_USER) throw ENetException("MsgLow not defined");
  if (UsedCount >= NetWndIdsPerHandler) throw ENetException("No more free message");
  for (int i = 0; i < NetWndIdsPerHandler; ++i) {
    if (Owners[i] == nullptr) {
      Owners[i] = owner;
      ++UsedCount;
      return FirstId + static_cast<platform::UINT>(i);
    }
  }
  throw ENetException("No more free message");
}

void TNetWndHandler::ReleaseId(platform::UINT& id) {
  if (id == 0) return;
  if (FirstId < platform::WM_USER) throw ENetException("MsgLow not defined");
  if (id >= FirstId + NetWndIdsPerHandler) throw ENetException("Msg value out of bound");
  if (id < FirstId) throw ENetException("Msg not registered");
  int slot = static_cast<int>(id - FirstId);
  if (Owners[slot] == nullptr) throw ENetException("Msg not registered");
  Owners[slot] = nullptr;
  --UsedCount;
  if (Handle) {
    // Nothing queued for a freed id may reach whoever gets it next.
    platform::MSG m;
    while (platform::PeekMessage(&m, Handle, id, id, platform::PM_REMOVE)) {
    }
  }
  id = 0;
  if (UsedCount == 0) DropWindow();
}

void TNetWndHandler::EnsureWindow() {
  if (Handle) return;
  std::lock_guard<std::mutex> lock(ClassLock());
  Handle = platform::CreateSink(&TNetWndHandler::WndProc);
  if (!Handle)
    throw ENetException("Unable to create TNetWndControl hidden window.  Error #" +
                        IntToStr(platform::GetLastError()) + ".");
  platform::SetSinkData(Handle, reinterpret_cast<platform::LPARAM>(this));
  ++g_windowCount;
}

void TNetWndHandler::DropWindow() {
  Owners.fill(nullptr);
  if (!Handle) return;
  platform::SetSinkData(Handle, 0);
  platform::DestroySink(Handle);
  Handle = 0;
  std::lock_guard<std::mutex> lock(ClassLock());
  --g_windowCount;
}

platform::LRESULT TNetWndHandler::WndProc(platform::HWND hwnd, platform::UINT msg,
                                          platform::WPARAM wParam, platform::LPARAM lParam) {
  auto* self = reinterpret_cast<TNetWndHandler*>(platform::GetSinkData(hwnd));
  if (!self) return platform::DefWindowProc(hwnd, msg, wParam, lParam);
  TMessage m{msg, wParam, lParam, 0};
  try {
    if (msg >= self->FirstId && msg < self->FirstId + NetWndIdsPerHandler) {
      TNetWndControl* owner = self->Owners[msg - self->FirstId];
      if (owner) {
        if (msg == owner->releaseId_) {
          // Released from inside one of its own events that runs a nested loop (a modal
          // box, a synchronous wait): that event still uses the component.
          if (owner->Busy()) {
            owner->releaseDeferred_ = true;
            return 0;
          }
          owner->WindowProc(m);
          return m.Result;
        }
        TNetWndBusy busy(owner);
        owner->WindowProc(m);
        return m.Result;
      }
    }
    if (self->OnMessage) {
      bool handled = false;
      self->OnMessage(self, m, handled);
      if (handled) return m.Result;
    }
    if (msg == platform::WM_TIMER) {
      // The id is the timer object; a tick of a timer that is gone is dropped.
      if (TNetTimer* timer = TNetTimer::FindLive(wParam)) {
        TNetWndBusy busy(timer->ownerWnd_);
        timer->TimerTick(m);
      }
      return 0;
    }
    return platform::DefWindowProc(hwnd, msg, wParam, lParam);
  } catch (const Exception& e) {
    if (self->OnException) self->OnException(self, e);
  } catch (const std::exception& e) {
    // The library's own exceptions (bad_alloc, out_of_range, ...) are handler failures
    // like any other: they must not unwind through the dispatcher either.
    if (self->OnException) self->OnException(self, Exception(e.what()));
  }
  return 0;
}

// ---------------------------------------------------------------------------------------

TNetWndHandlerPool::~TNetWndHandlerPool() {
  for (auto* list : lists_) {
    for (auto* h : list->Items) delete h;
    delete list;
  }
}

void TNetWndHandlerPool::Lock() { PoolLock().lock(); }
void TNetWndHandlerPool::Unlock() { PoolLock().unlock(); }

TNetWndHandler* TNetWndHandlerPool::AcquireHandler(int count, platform::DWORD threadId) {
  Assert(count <= NetWndIdsPerHandler, "Net message IDs out of bounds!");
  std::lock_guard<std::recursive_mutex> lock(PoolLock());
  TNetWndHandlerList* list = nullptr;
  for (auto it = lists_.rbegin(); it != lists_.rend(); ++it)
    if ((*it)->ThreadId == threadId) {
      list = *it;
      break;
    }
  if (!list) {
    list = new TNetWndHandlerList;
    list->ThreadId = threadId;
    lists_.push_back(list);
  }
  for (auto* h : list->Items)
    if (h->FreeCount() >= count) return h;
  auto* h = new TNetWndHandler;
  h->OwnerList = list;
  h->FirstId = NetWndFirstId;
  list->Items.push_back(h);
  return h;
}

void TNetWndHandlerPool::ReleaseHandler(TNetWndHandler*& handler) {
  std::lock_guard<std::recursive_mutex> lock(PoolLock());
  if (!handler || !handler->OwnerList) return;
  TNetWndHandlerList* list = handler->OwnerList;
  std::erase(list->Items, handler);
  if (list->Items.empty()) {
    std::erase(lists_, list);
    delete list;
  }
  delete handler;
  handler = nullptr;
}

// ---------------------------------------------------------------------------------------

TNetWndBusy::TNetWndBusy(TNetWndControl* control) : control_(control) {
  for (TNetWndControl* c = control_; c; c = c->EventOwner) ++c->busy_;
}

TNetWndBusy::~TNetWndBusy() {
  // Event owners are never freed while busy, so the chain is still there.
  for (TNetWndControl* c = control_; c;) {
    TNetWndControl* next = c->EventOwner;
    if (--c->busy_ == 0 && c->releaseDeferred_) {
      c->releaseDeferred_ = false;
      try {
        c->ReleaseLater();
      } catch (const std::exception&) {
      }
    }
    c = next;
  }
}

// ---------------------------------------------------------------------------------------

TNetWndControl::TNetWndControl(TComponent* owner) : TComponent(owner) {}

TNetWndControl::~TNetWndControl() {
  // Owned components (timers) still talk to this window while they go.
  DestroyComponents();
  DetachForGood(true);
}

platform::HWND TNetWndControl::Handle() {
  if (!handle_) AttachWindow();
  return handle_;
}

void TNetWndControl::DetachForGood(bool) {
  if (destroyed_) return;
  DetachWindow();
  destroyed_ = true;
}

void TNetWndControl::AttachWindow() {
  if (handle_) return;
  {
    std::lock_guard<std::recursive_mutex> lock(PoolLock());
    Assert(!g_finalized, "Unit is already finalized, check your threads!!!");
  }
  threadId_ = platform::GetCurrentThreadId();
  std::lock_guard<std::recursive_mutex> lock(PoolLock());
  if (!handler_) handler_ = Pool().AcquireHandler(MessageIdsNeeded(), threadId_);
  handler_->EnsureWindow();
  handle_ = handler_->Handle;
  ClaimMessageIds();
}

void TNetWndControl::DetachWindow() {
  if (!handle_) return;
  {
    std::lock_guard<std::recursive_mutex> lock(PoolLock());
    ReturnMessageIds();
    if (handler_->UsedCount <= 0) Pool().ReleaseHandler(handler_);
    handle_ = 0;
    handler_ = nullptr;
    threadId_ = 0;
  }
  std::lock_guard<std::recursive_mutex> lock(PoolLock());
  if (g_finalized && g_pool && g_pool->ListCount() == 0) {
    delete g_pool;
    g_pool = nullptr;
  }
}

int TNetWndControl::MessageIdsNeeded() { return 1; }

void TNetWndControl::ClaimMessageIds() { releaseId_ = handler_->ClaimId(this); }

void TNetWndControl::ReturnMessageIds() { handler_->ReleaseId(releaseId_); }

void TNetWndControl::ReleaseLater() { platform::PostMessage(Handle(), releaseId_, 0, 0); }

void TNetWndControl::ReleaseNow() { delete this; }

void TNetWndControl::WindowProc(TMessage& msg) {
  try {
    if (msg.Msg == releaseId_) {
      ReleaseNow();
      return;
    }
    msg.Result = platform::DefWindowProc(handle_, msg.Msg, msg.WParam, msg.LParam);
  } catch (const std::exception& e) {
    HandleFailure(e);
  }
}

void TNetWndControl::HandleFailure(const std::exception& e) {
  if (const auto* known = dynamic_cast<const Exception*>(&e)) HandleBackgroundError(*known);
  else HandleBackgroundError(Exception(e.what()));
}

void TNetWndControl::HandleBackgroundError(const Exception& e) {
  bool canClose = true;
  if (OnBgException) {
    try {
      TriggerBgException(e, canClose);
    } catch (const std::exception&) {
    }
  }
  if (canClose) {
    try {
      AbortOnError();
    } catch (const std::exception&) {
    }
  }
}

void TNetWndControl::TriggerBgException(const Exception& e, bool& canClose) {
  if (OnBgException) OnBgException(this, e, canClose);
}

void TNetWndControl::AttachThread() {
  if (handle_) throw ENetException("Cannot attach when not detached");
  AttachWindow();
}

void TNetWndControl::DetachThread() {
  if (threadId_ != platform::GetCurrentThreadId())
    throw ENetException("Cannot detach from another thread");
  DetachWindow();
}

void TNetWndControl::PumpMessages() {
  // Every window of the thread, hidden or visible, is served by the thread's queue.
  PumpPendingMessages();
}

void TNetWndControl::RunMessageLoop() {
  platform::MSG m;
  while (platform::GetMessage(&m, 0, 0, 0) > 0) platform::DispatchMessage(&m);
  quitSeen_ = true;
}

bool TNetWndControl::PumpOneMessage() {
  platform::MSG m;
  if (!platform::PeekMessage(&m, 0, 0, 0, platform::PM_REMOVE)) return false;
  if (m.message == platform::WM_QUIT) quitSeen_ = true;
  else platform::DispatchMessage(&m);
  return true;
}

void TNetWndControl::PumpPendingMessages() {
  while (PumpOneMessage()) {
  }
}
