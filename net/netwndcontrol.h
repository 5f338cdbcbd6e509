// TNetWndControl: the base of every network component. It gives a non-visual component
// a hidden message sink on the thread that created it, a private block of message ids
// on that sink and a way to free itself later from inside its own event handlers.
//
// Sinks are shared: a process-wide pool keeps for every thread a list of handlers; each
// handler owns one sink and 100 message ids on it (1025 to 1124) and hands them out to
// the components of its thread.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <vector>

#include "base/appstate.h"
#include "base/classes.h"
#include "platform/messages.h"

DECLARE_EXCEPTION_CLASS(ENetException, Exception);
DECLARE_EXCEPTION_CLASS(ENetTimerException, Exception);

// The message handed to WindowProc; Result goes back to the platform.
struct TMessage {
  platform::UINT Msg = 0;
  platform::WPARAM WParam = 0;
  platform::LPARAM LParam = 0;
  platform::LRESULT Result = 0;
};

using TBgExceptionEvent =
    std::function<void(TObject* Sender, const Exception& E, bool& CanClose)>;

// Wait loops end when the application is terminating (ApplicationTerminating() of
// base/appstate.h, set by the GUI's application object).

constexpr int NetWndIdsPerHandler = 100;
constexpr platform::UINT NetWndFirstId = platform::WM_USER + 1;

class TNetWndControl;
class TNetWndHandlerList;

class TNetWndHandler : public TObject {
 public:
  TNetWndHandler();
  ~TNetWndHandler() override;
  const char* ClassName() const override { return "TNetWndHandler"; }

  platform::UINT ClaimId(TNetWndControl* owner);
  void ReleaseId(platform::UINT& id);
  void EnsureWindow();
  void DropWindow();
  int FreeCount() const { return NetWndIdsPerHandler - UsedCount; }

  platform::HWND Handle = 0;
  std::array<TNetWndControl*, NetWndIdsPerHandler> Owners{};
  platform::UINT FirstId = 0;
  int UsedCount = 0;
  TNetWndHandlerList* OwnerList = nullptr;
  // Unset in this system: called when an Exception escapes dispatch, and offered every
  // message no owner claimed (set Handled to keep it).
  std::function<void(TNetWndHandler*, const Exception&)> OnException;
  std::function<void(TNetWndHandler*, TMessage&, bool& Handled)> OnMessage;

 private:
  static platform::LRESULT WndProc(platform::HWND hwnd, platform::UINT msg,
                                   platform::WPARAM wParam, platform::LPARAM lParam);
};

class TNetWndHandlerList : public TObject {
 public:
  const char* ClassName() const override { return "TNetWndHandlerList"; }
  std::vector<TNetWndHandler*> Items;
  platform::DWORD ThreadId = 0;
};

class TNetWndHandlerPool : public TObject {
 public:
  ~TNetWndHandlerPool() override;
  const char* ClassName() const override { return "TNetWndHandlerPool"; }
  TNetWndHandler* AcquireHandler(int count, platform::DWORD threadId);
  void ReleaseHandler(TNetWndHandler*& handler);
  void Lock();
  void Unlock();
  int ListCount() const { return static_cast<int>(lists_.size()); }

 private:
  std::vector<TNetWndHandlerList*> lists_;
};

// Number of hidden sinks alive in the process.
int NetWndHiddenWindowCount();

class TNetWndControl : public TComponent {
 public:
  explicit TNetWndControl(TComponent* owner);
  ~TNetWndControl() override;
  const char* ClassName() const override { return "TNetWndControl"; }

  // Attaches the sink first when there is none.
  platform::HWND Handle();
  platform::DWORD ThreadId() const { return threadId_; }
  bool QuitSeen() const { return quitSeen_; }
  TNetWndHandler* Handler() const { return handler_; }
  platform::UINT ReleaseMsgId() const { return releaseId_; }

  // Frees the component from the message loop (safe inside its own event handlers).
  virtual void ReleaseLater();
  // The component whose events this one's messages run into (the client of a socket, the
  // downloader of a part client). It counts as busy while they are handled.
  TNetWndControl* EventOwner = nullptr;
  // One of its messages (or one of a component it is the EventOwner of) is being handled
  // now. A release that a nested loop dispatches meanwhile waits until that is over.
  bool Busy() const { return busy_ > 0; }
  // Move a component to another thread: detach on the old one, attach on the new one.
  virtual void AttachThread();
  virtual void DetachThread();
  // The application's pump, or with the own-pump flag PumpPendingMessages.
  virtual void PumpMessages();
  virtual void RunMessageLoop();
  virtual bool PumpOneMessage();
  virtual void PumpPendingMessages();

  TBgExceptionEvent OnBgException;
  bool OwnPump = false;

 protected:
  friend class TNetWndHandler;
  friend class TNetWndBusy;
  virtual void DetachForGood(bool destroying);
  virtual void WindowProc(TMessage& msg);
  virtual void HandleBackgroundError(const Exception& e);
  // A handler's failure of any kind, the library's own exceptions included: it must not
  // unwind through the dispatcher.
  void HandleFailure(const std::exception& e);
  virtual void TriggerBgException(const Exception& e, bool& canClose);
  virtual void ReleaseNow();
  virtual void AttachWindow();
  virtual void DetachWindow();
  virtual int MessageIdsNeeded();
  virtual void ClaimMessageIds();
  virtual void ReturnMessageIds();
  // What a background error does unless OnBgException keeps the component going.
  virtual void AbortOnError() {}

  platform::HWND handle_ = 0;
  TNetWndHandler* handler_ = nullptr;

 private:
  bool destroyed_ = false;
  platform::DWORD threadId_ = 0;
  bool quitSeen_ = false;
  platform::UINT releaseId_ = 0;
  int busy_ = 0;
  bool releaseDeferred_ = false;
};

// Marks a component and its event owners busy while it exists; a release that came in
// meanwhile is posted again when the last of them is no longer busy.
class TNetWndBusy {
 public:
  explicit TNetWndBusy(TNetWndControl* control);
  ~TNetWndBusy();
  TNetWndBusy(const TNetWndBusy&) = delete;
  TNetWndBusy& operator=(const TNetWndBusy&) = delete;

 private:
  TNetWndControl* control_;
};
