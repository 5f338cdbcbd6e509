#include "platform/messages.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <deque>
#include <memory>
#include <mutex>
#include <unordered_map>

namespace platform {

namespace {

// Monotonic milliseconds, 64-bit: timers never see the 32-bit wrap of GetTickCount.
uint64_t MonotonicMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

std::atomic<DWORD> tickBias{0};

struct Timer {
  HWND hwnd;
  uintptr_t id;
  UINT elapse;
  uint64_t due;
};

// One per thread that uses messages. Posted messages, the quit flag and the timers are
// guarded by `mu` (other threads post and may destroy sinks); the event sources are only
// touched by the owning thread.
struct ThreadQueue {
  DWORD threadId = 0;
  int wakeFd = -1;
  std::mutex mu;
  std::deque<MSG> posted;
  bool quit = false;
  int quitCode = 0;
  std::vector<Timer> timers;
  std::vector<EventSource*> sources;

  ThreadQueue() { wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK); }
  ~ThreadQueue() {
    if (wakeFd >= 0) close(wakeFd);
  }
  void Wake() {
    uint64_t one = 1;
    ssize_t n;
    do {
      n = write(wakeFd, &one, sizeof one);
    } while (n < 0 && errno == EINTR);
  }
  void DrainWake() {
    uint64_t value;
    while (read(wakeFd, &value, sizeof value) > 0) {
    }
  }
};

struct SinkRecord {
  WNDPROC proc;
  LPARAM data;
  std::shared_ptr<ThreadQueue> queue;
};

// Process-wide registry of sinks and thread queues. Never destroyed: threads may still
// post while the process exits.
struct Registry {
  std::mutex mu;
  std::unordered_map<HWND, SinkRecord> sinks;
  std::unordered_map<DWORD, std::weak_ptr<ThreadQueue>> queues;
  HWND nextHandle = 0x1000;
};

Registry& TheRegistry() {
  static Registry* registry = new Registry;
  return *registry;
}

DWORD CurrentThreadId() {
  thread_local DWORD id = static_cast<DWORD>(syscall(SYS_gettid));
  return id;
}

struct QueueHolder {
  std::shared_ptr<ThreadQueue> queue;
  ~QueueHolder() {
    if (!queue) return;
    Registry& r = TheRegistry();
    std::lock_guard<std::mutex> lock(r.mu);
    r.queues.erase(queue->threadId);
  }
};

ThreadQueue& CurrentQueue() {
  thread_local QueueHolder holder;
  if (!holder.queue) {
    holder.queue = std::make_shared<ThreadQueue>();
    holder.queue->threadId = CurrentThreadId();
    Registry& r = TheRegistry();
    std::lock_guard<std::mutex> lock(r.mu);
    r.queues[holder.queue->threadId] = holder.queue;
  }
  return *holder.queue;
}

std::shared_ptr<ThreadQueue> CurrentQueuePtr() {
  ThreadQueue& q = CurrentQueue();
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.mu);
  auto it = r.queues.find(q.threadId);
  return it == r.queues.end() ? nullptr : it->second.lock();
}

bool InRange(UINT message, UINT min, UINT max) {
  if (min == 0 && max == 0) return true;
  return message >= min && message <= max;
}

bool Matches(const MSG& m, HWND filter, UINT min, UINT max) {
  return (filter == 0 || m.hwnd == filter) && InRange(m.message, min, max);
}

// Takes the first message that matches: posted messages first, then the quit request,
// then a due timer (the earliest).
bool TakeMessage(ThreadQueue& q, MSG* out, HWND filter, UINT min, UINT max, bool remove) {
  std::lock_guard<std::mutex> lock(q.mu);
  for (auto it = q.posted.begin(); it != q.posted.end(); ++it) {
    if (Matches(*it, filter, min, max)) {
      *out = *it;
      if (remove) q.posted.erase(it);
      return true;
    }
  }
  if (q.quit && filter == 0 && InRange(WM_QUIT, min, max)) {
    *out = MSG{0, WM_QUIT, static_cast<WPARAM>(q.quitCode), 0, GetTickCount()};
    if (remove) q.quit = false;
    return true;
  }
  if (!InRange(WM_TIMER, min, max)) return false;
  uint64_t now = MonotonicMs();
  Timer* best = nullptr;
  for (Timer& t : q.timers) {
    if (t.due <= now && (filter == 0 || t.hwnd == filter) && (!best || t.due < best->due)) best = &t;
  }
  if (!best) return false;
  *out = MSG{best->hwnd, WM_TIMER, best->id, 0, GetTickCount()};
  if (remove) best->due = now + best->elapse;
  return true;
}

bool HasInput(ThreadQueue& q) {
  std::lock_guard<std::mutex> lock(q.mu);
  if (!q.posted.empty() || q.quit) return true;
  uint64_t now = MonotonicMs();
  for (const Timer& t : q.timers) {
    if (t.due <= now) return true;
  }
  return false;
}

// Milliseconds until the next timer is due (0 when one is due), -1 without timers.
int TimeToNextTimer(ThreadQueue& q) {
  std::lock_guard<std::mutex> lock(q.mu);
  if (q.timers.empty()) return -1;
  uint64_t now = MonotonicMs();
  uint64_t next = UINT64_MAX;
  for (const Timer& t : q.timers) next = std::min(next, t.due);
  return next <= now ? 0 : static_cast<int>(std::min<uint64_t>(next - now, 1u << 30));
}

int MinTimeout(int a, int b) {
  if (a < 0) return b;
  if (b < 0) return a;
  return std::min(a, b);
}

// One wait of the loop: asks the sources for descriptors, polls them together with the
// wake-up descriptor, and lets the sources turn what happened into messages.
void WaitStep(ThreadQueue& q, int timeoutMs) {
  static_assert(WAIT_READABLE == POLLIN && WAIT_URGENT == POLLPRI && WAIT_WRITABLE == POLLOUT &&
                WAIT_ERROR == POLLERR && WAIT_HANGUP == POLLHUP && WAIT_INVALID == POLLNVAL &&
                WAIT_PEER_CLOSED == POLLRDHUP);
  std::vector<WaitItem> items;
  std::vector<EventSource*> sources = q.sources;
  std::vector<size_t> starts;
  for (EventSource* s : sources) {
    starts.push_back(items.size());
    s->Prepare(items, timeoutMs);
  }
  starts.push_back(items.size());
  std::vector<pollfd> fds;
  fds.reserve(items.size() + 1);
  fds.push_back(pollfd{q.wakeFd, POLLIN, 0});
  for (const WaitItem& item : items) fds.push_back(pollfd{static_cast<int>(item.object), item.events, 0});
  int n;
  do {
    n = poll(fds.data(), fds.size(), timeoutMs);
  } while (n < 0 && errno == EINTR);
  if (n > 0 && (fds[0].revents & POLLIN)) q.DrainWake();
  if (n > 0) {
    for (size_t i = 0; i < items.size(); ++i) items[i].ready = fds[i + 1].revents;
  }
  for (size_t i = 0; i < sources.size(); ++i) {
    if (std::find(q.sources.begin(), q.sources.end(), sources[i]) == q.sources.end()) continue;
    sources[i]->Dispatch(items.data() + starts[i], starts[i + 1] - starts[i]);
  }
}

bool PostTo(ThreadQueue& q, const MSG& m) {
  {
    std::lock_guard<std::mutex> lock(q.mu);
    q.posted.push_back(m);
  }
  q.Wake();
  return true;
}

// The queue of the thread a sink belongs to; null (with the error set) for no such sink.
std::shared_ptr<ThreadQueue> QueueOf(HWND hwnd) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.mu);
  auto it = r.sinks.find(hwnd);
  if (it == r.sinks.end() || !it->second.queue) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return nullptr;
  }
  return it->second.queue;
}

}  // namespace

DWORD GetCurrentThreadId() { return CurrentThreadId(); }

HWND CreateSink(WNDPROC proc) {
  std::shared_ptr<ThreadQueue> q = CurrentQueuePtr();
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.mu);
  HWND h = r.nextHandle++;
  r.sinks.emplace(h, SinkRecord{proc, 0, q});
  return h;
}

bool DestroySink(HWND hwnd) {
  std::shared_ptr<ThreadQueue> q;
  {
    Registry& r = TheRegistry();
    std::lock_guard<std::mutex> lock(r.mu);
    auto it = r.sinks.find(hwnd);
    if (it == r.sinks.end()) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return false;
    }
    q = it->second.queue;
    r.sinks.erase(it);
  }
  if (q) {
    std::lock_guard<std::mutex> lock(q->mu);
    q->posted.erase(std::remove_if(q->posted.begin(), q->posted.end(),
                                   [hwnd](const MSG& m) { return m.hwnd == hwnd; }),
                    q->posted.end());
    q->timers.erase(std::remove_if(q->timers.begin(), q->timers.end(),
                                   [hwnd](const Timer& t) { return t.hwnd == hwnd; }),
                    q->timers.end());
  }
  return true;
}

bool IsSink(HWND hwnd) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.mu);
  return r.sinks.count(hwnd) != 0;
}

LPARAM GetSinkData(HWND hwnd) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.mu);
  auto it = r.sinks.find(hwnd);
  return it == r.sinks.end() ? 0 : it->second.data;
}

void SetSinkData(HWND hwnd, LPARAM value) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.mu);
  auto it = r.sinks.find(hwnd);
  if (it != r.sinks.end()) it->second.data = value;
}

DWORD GetSinkThreadId(HWND hwnd) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.mu);
  auto it = r.sinks.find(hwnd);
  return it == r.sinks.end() || !it->second.queue ? 0 : it->second.queue->threadId;
}

bool PostMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  std::shared_ptr<ThreadQueue> q = QueueOf(hwnd);
  if (!q) return false;
  return PostTo(*q, MSG{hwnd, msg, wParam, lParam, GetTickCount()});
}

bool PostThreadMessage(DWORD threadId, UINT msg, WPARAM wParam, LPARAM lParam) {
  std::shared_ptr<ThreadQueue> q;
  {
    Registry& r = TheRegistry();
    std::lock_guard<std::mutex> lock(r.mu);
    auto it = r.queues.find(threadId);
    if (it != r.queues.end()) q = it->second.lock();
  }
  if (!q) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  return PostTo(*q, MSG{0, msg, wParam, lParam, GetTickCount()});
}

void PostQuitMessage(int exitCode) {
  ThreadQueue& q = CurrentQueue();
  {
    std::lock_guard<std::mutex> lock(q.mu);
    q.quit = true;
    q.quitCode = exitCode;
  }
  q.Wake();
}

LRESULT SendMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  WNDPROC proc = nullptr;
  {
    Registry& r = TheRegistry();
    std::lock_guard<std::mutex> lock(r.mu);
    auto it = r.sinks.find(hwnd);
    if (it == r.sinks.end()) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return 0;
    }
    proc = it->second.proc;
  }
  return proc ? proc(hwnd, msg, wParam, lParam) : 0;
}

bool PeekMessage(MSG* msg, HWND filter, UINT min, UINT max, UINT removeFlags) {
  ThreadQueue& q = CurrentQueue();
  // Nothing waits here, but sources get the chance to turn ready descriptors into
  // messages, as Windows delivers pending input during PeekMessage.
  if (!q.sources.empty()) WaitStep(q, 0);
  return TakeMessage(q, msg, filter, min, max, (removeFlags & PM_REMOVE) != 0);
}

int GetMessage(MSG* msg, HWND filter, UINT min, UINT max) {
  ThreadQueue& q = CurrentQueue();
  for (;;) {
    if (!q.sources.empty()) WaitStep(q, 0);
    if (TakeMessage(q, msg, filter, min, max, true)) return msg->message == WM_QUIT ? 0 : 1;
    WaitStep(q, TimeToNextTimer(q));
  }
}

LRESULT DispatchMessage(const MSG* msg) {
  if (!msg || msg->hwnd == 0) return 0;
  return SendMessage(msg->hwnd, msg->message, msg->wParam, msg->lParam);
}

LRESULT DefWindowProc(HWND, UINT, WPARAM, LPARAM) { return 0; }

uintptr_t SetTimer(HWND hwnd, uintptr_t id, UINT elapse) {
  if (id == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::shared_ptr<ThreadQueue> q = QueueOf(hwnd);
  if (!q) return 0;
  if (q->threadId != CurrentThreadId()) {
    SetLastError(ERROR_ACCESS_DENIED);
    return 0;
  }
  elapse = std::max<UINT>(elapse, 10);  // the system's minimum, as on Windows
  std::lock_guard<std::mutex> lock(q->mu);
  uint64_t due = MonotonicMs() + elapse;
  for (Timer& t : q->timers) {
    if (t.hwnd == hwnd && t.id == id) {
      t.elapse = elapse;
      t.due = due;
      return id;
    }
  }
  q->timers.push_back(Timer{hwnd, id, elapse, due});
  return id;
}

bool KillTimer(HWND hwnd, uintptr_t id) {
  ThreadQueue& q = CurrentQueue();
  std::lock_guard<std::mutex> lock(q.mu);
  auto it = std::find_if(q.timers.begin(), q.timers.end(),
                         [&](const Timer& t) { return t.hwnd == hwnd && t.id == id; });
  if (it == q.timers.end()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  q.timers.erase(it);
  return true;
}

DWORD GetTickCount() { return static_cast<DWORD>(MonotonicMs()) + tickBias.load(); }

void SetTickCountBias(DWORD bias) { tickBias.store(bias); }

DWORD MsgWaitForInput(DWORD timeoutMs) {
  ThreadQueue& q = CurrentQueue();
  uint64_t deadline = timeoutMs == INFINITE ? UINT64_MAX : MonotonicMs() + timeoutMs;
  for (;;) {
    if (!q.sources.empty()) WaitStep(q, 0);
    if (HasInput(q)) return WAIT_OBJECT_0;
    uint64_t now = MonotonicMs();
    if (now >= deadline) return WAIT_TIMEOUT;
    int wait = deadline == UINT64_MAX ? -1 : static_cast<int>(std::min<uint64_t>(deadline - now, 1u << 30));
    WaitStep(q, MinTimeout(wait, TimeToNextTimer(q)));
  }
}

void AddEventSource(EventSource* source) {
  ThreadQueue& q = CurrentQueue();
  if (std::find(q.sources.begin(), q.sources.end(), source) == q.sources.end()) q.sources.push_back(source);
}

void RemoveEventSource(EventSource* source) {
  ThreadQueue& q = CurrentQueue();
  q.sources.erase(std::remove(q.sources.begin(), q.sources.end(), source), q.sources.end());
}

}  // namespace platform
