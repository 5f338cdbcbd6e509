#include "platform/console.h"

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cerrno>
#include <vector>

#include "platform/messages.h"

namespace platform {

HANDLE GetStdHandle(DWORD which) {
  switch (which) {
    case STD_INPUT_HANDLE: return STDIN_FILENO;
    case STD_OUTPUT_HANDLE: return STDOUT_FILENO;
    case STD_ERROR_HANDLE: return STDERR_FILENO;
  }
  SetLastError(ERROR_INVALID_PARAMETER);
  return INVALID_HANDLE;
}

bool IsTerminal(HANDLE h) { return h >= 0 && h <= INT32_MAX && isatty(static_cast<int>(h)) == 1; }

namespace {

struct Watch {
  INPUT_HANDLE input;
  HWND sink;
  UINT msg;
  bool armed;
};

// The watched inputs of this thread, waited on by its loop.
class InputSource : public EventSource {
 public:
  std::vector<Watch> watches;

  void Prepare(std::vector<WaitItem>& items, int&) override {
    for (const Watch& w : watches) {
      if (w.armed) items.push_back(WaitItem{w.input, WAIT_READABLE, 0});
    }
  }

  void Dispatch(const WaitItem* items, size_t count) override {
    for (size_t i = 0; i < count; ++i) {
      if ((items[i].ready & (WAIT_READABLE | WAIT_HANGUP | WAIT_ERROR | WAIT_INVALID)) == 0) continue;
      Watch* w = Find(items[i].object);
      if (!w || !w->armed) continue;
      w->armed = false;
      PostMessage(w->sink, w->msg, static_cast<WPARAM>(w->input), 0);
    }
  }

  Watch* Find(INPUT_HANDLE input) {
    for (Watch& w : watches) {
      if (w.input == input) return &w;
    }
    return nullptr;
  }
};

thread_local InputSource t_inputs;

}  // namespace

INPUT_HANDLE GetStdInput() { return STDIN_FILENO; }

int64_t ReadInput(INPUT_HANDLE input, void* buffer, size_t size) {
  if (Watch* w = t_inputs.Find(input)) w->armed = true;
  for (;;) {
    ssize_t got = ::read(static_cast<int>(input), buffer, size);
    if (got >= 0) return got;
    if (errno == EINTR) continue;
    SetLastError(errno == EBADF ? ERROR_INVALID_HANDLE : ERROR_INVALID_FUNCTION);
    return -1;
  }
}

bool WatchInput(INPUT_HANDLE input, HWND sink, UINT msg) {
  if (!IsSink(sink)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return false;
  }
  if (Watch* w = t_inputs.Find(input)) {
    *w = Watch{input, sink, msg, true};
    return true;
  }
  if (t_inputs.watches.empty()) AddEventSource(&t_inputs);
  t_inputs.watches.push_back(Watch{input, sink, msg, true});
  return true;
}

void UnwatchInput(INPUT_HANDLE input) {
  auto& ws = t_inputs.watches;
  auto it = std::remove_if(ws.begin(), ws.end(), [input](const Watch& w) { return w.input == input; });
  if (it == ws.end()) return;
  ws.erase(it, ws.end());
  if (ws.empty()) RemoveEventSource(&t_inputs);
}

bool WriteStdOut(const std::string& text) {
  const char* p = text.data();
  size_t left = text.size();
  while (left > 0) {
    ssize_t put = ::write(STDOUT_FILENO, p, left);
    if (put < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += put;
    left -= static_cast<size_t>(put);
  }
  return true;
}

}  // namespace platform
