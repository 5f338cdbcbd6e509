// Message sinks are message-only windows on the thread's own queue; the calls pass
// straight through to the system.
#include "platform/messages.h"

#include <algorithm>
#include <atomic>
#include <vector>

#include "platform/win32/winapi.h"

namespace platform {

namespace {

constexpr int kProcSlot = 0;
constexpr int kDataSlot = sizeof(LONG_PTR);
std::atomic<DWORD> tickBias{0};

::HWND Native(HWND h) { return reinterpret_cast<::HWND>(h); }

LRESULT CALLBACK SinkWindowProc(::HWND hwnd, ::UINT msg, ::WPARAM wParam, ::LPARAM lParam) {
  auto proc = reinterpret_cast<WNDPROC>(GetWindowLongPtrW(hwnd, kProcSlot));
  if (proc) return proc(reinterpret_cast<HWND>(hwnd), msg, wParam, lParam);
  return ::DefWindowProcW(hwnd, msg, wParam, lParam);
}

const wchar_t* SinkClass() {
  static const wchar_t* name = [] {
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = &SinkWindowProc;
    wc.cbWndExtra = 2 * sizeof(LONG_PTR);
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"PlatformMessageSink";
    RegisterClassExW(&wc);
    return wc.lpszClassName;
  }();
  return name;
}

void FromNative(const ::MSG& n, MSG* m) {
  m->hwnd = reinterpret_cast<HWND>(n.hwnd);
  m->message = n.message;
  m->wParam = n.wParam;
  m->lParam = n.lParam;
  m->time = n.time;
}

thread_local std::vector<EventSource*> t_sources;

// One wait over the sources' handles and the thread's queue.
DWORD WaitStep(DWORD timeoutMs) {
  std::vector<WaitItem> items;
  std::vector<EventSource*> sources = t_sources;
  std::vector<size_t> starts;
  int timeout = timeoutMs == INFINITE ? -1 : static_cast<int>(timeoutMs);
  for (EventSource* s : sources) {
    starts.push_back(items.size());
    s->Prepare(items, timeout);
  }
  starts.push_back(items.size());
  std::vector<::HANDLE> handles;
  for (const WaitItem& item : items) handles.push_back(reinterpret_cast<::HANDLE>(item.object));
  const size_t count = std::min<size_t>(handles.size(), MAXIMUM_WAIT_OBJECTS - 1);
  const DWORD r = MsgWaitForMultipleObjectsEx(static_cast<::DWORD>(count), handles.data(),
                                              timeout < 0 ? INFINITE : static_cast<::DWORD>(timeout),
                                              QS_ALLINPUT, MWMO_INPUTAVAILABLE);
  if (r < WAIT_OBJECT_0 + count) items[r - WAIT_OBJECT_0].ready = WAIT_READABLE;
  for (size_t i = 0; i < sources.size(); ++i) {
    if (std::find(t_sources.begin(), t_sources.end(), sources[i]) == t_sources.end()) continue;
    sources[i]->Dispatch(items.data() + starts[i], starts[i + 1] - starts[i]);
  }
  return r;
}

bool HasInput() {
  ::MSG m;
  return ::PeekMessageW(&m, nullptr, 0, 0, PM_NOREMOVE) != 0;
}

}  // namespace

HWND CreateSink(WNDPROC proc) {
  ::HWND h = CreateWindowExW(0, SinkClass(), L"", 0, 0, 0, 0, 0, win32::MessageOnlyParent(), nullptr, GetModuleHandleW(nullptr),
                             nullptr);
  if (!h) return 0;
  SetWindowLongPtrW(h, kProcSlot, reinterpret_cast<LONG_PTR>(proc));
  return reinterpret_cast<HWND>(h);
}

bool DestroySink(HWND hwnd) {
  if (!IsSink(hwnd)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return false;
  }
  SetWindowLongPtrW(Native(hwnd), kProcSlot, 0);
  return DestroyWindow(Native(hwnd)) != 0;
}

bool IsSink(HWND hwnd) { return hwnd != 0 && IsWindow(Native(hwnd)); }

LPARAM GetSinkData(HWND hwnd) { return IsSink(hwnd) ? GetWindowLongPtrW(Native(hwnd), kDataSlot) : 0; }

void SetSinkData(HWND hwnd, LPARAM value) {
  if (IsSink(hwnd)) SetWindowLongPtrW(Native(hwnd), kDataSlot, value);
}

DWORD GetSinkThreadId(HWND hwnd) { return IsSink(hwnd) ? GetWindowThreadProcessId(Native(hwnd), nullptr) : 0; }

DWORD GetCurrentThreadId() { return ::GetCurrentThreadId(); }

bool PostMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  // hwnd 0 would post a thread message of the caller; a sink is asked for.
  if (hwnd == 0) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return false;
  }
  return ::PostMessageW(Native(hwnd), msg, wParam, lParam) != 0;
}

bool PostThreadMessage(DWORD threadId, UINT msg, WPARAM wParam, LPARAM lParam) {
  return ::PostThreadMessageW(threadId, msg, wParam, lParam) != 0;
}

void PostQuitMessage(int exitCode) { ::PostQuitMessage(exitCode); }

LRESULT SendMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  return ::SendMessageW(Native(hwnd), msg, wParam, lParam);
}

bool PeekMessage(MSG* msg, HWND filter, UINT min, UINT max, UINT removeFlags) {
  ::MSG n;
  if (!::PeekMessageW(&n, Native(filter), min, max, removeFlags == PM_REMOVE ? PM_REMOVE : PM_NOREMOVE)) {
    return false;
  }
  FromNative(n, msg);
  return true;
}

int GetMessage(MSG* msg, HWND filter, UINT min, UINT max) {
  for (;;) {
    if (PeekMessage(msg, filter, min, max, PM_REMOVE)) return msg->message == WM_QUIT ? 0 : 1;
    WaitStep(INFINITE);
  }
}

LRESULT DispatchMessage(const MSG* msg) {
  ::MSG n = {};
  n.hwnd = Native(msg->hwnd);
  n.message = msg->message;
  n.wParam = msg->wParam;
  n.lParam = msg->lParam;
  n.time = msg->time;
  if (n.message >= WM_KEYFIRST && n.message <= WM_KEYLAST && n.hwnd) {
    // Keys for a window that holds controls go to the dialog manager first: Tab, Enter
    // for the default button, mnemonics. The rest become characters.
    ::HWND root = GetAncestor(n.hwnd, GA_ROOT);
    if (root && (GetWindowLongPtrW(root, GWL_EXSTYLE) & WS_EX_CONTROLPARENT) && IsDialogMessageW(root, &n)) return 0;
    TranslateMessage(&n);
  }
  return ::DispatchMessageW(&n);
}

LRESULT DefWindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  // A sink that does not handle a close stays open, as everywhere else.
  if (msg == WM_CLOSE) return 0;
  return ::DefWindowProcW(Native(hwnd), msg, wParam, lParam);
}

uintptr_t SetTimer(HWND hwnd, uintptr_t id, UINT elapse) {
  if (id == 0 || !IsSink(hwnd)) {
    SetLastError(id == 0 ? ERROR_INVALID_PARAMETER : ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  return ::SetTimer(Native(hwnd), id, std::max<UINT>(elapse, USER_TIMER_MINIMUM), nullptr);
}

bool KillTimer(HWND hwnd, uintptr_t id) { return ::KillTimer(Native(hwnd), id) != 0; }

DWORD GetTickCount() { return ::GetTickCount() + tickBias.load(); }

void SetTickCountBias(DWORD bias) { tickBias.store(bias); }

DWORD MsgWaitForInput(DWORD timeoutMs) {
  const DWORD start = ::GetTickCount();
  for (;;) {
    if (HasInput()) return WAIT_OBJECT_0;
    DWORD left = INFINITE;
    if (timeoutMs != INFINITE) {
      const DWORD spent = ::GetTickCount() - start;
      if (spent >= timeoutMs) return WAIT_TIMEOUT;
      left = timeoutMs - spent;
    }
    WaitStep(left);
  }
}

void AddEventSource(EventSource* source) {
  if (std::find(t_sources.begin(), t_sources.end(), source) == t_sources.end()) t_sources.push_back(source);
}

void RemoveEventSource(EventSource* source) {
  t_sources.erase(std::remove(t_sources.begin(), t_sources.end(), source), t_sources.end());
}

}  // namespace platform
