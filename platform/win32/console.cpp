// Standard input may be a console, a pipe or a file, and only a console can be waited
// on: a reader thread per watched input reads ahead one chunk at a time and tells the
// sink, and ReadInput hands out what it read.
#include "platform/console.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/messages.h"
#include "platform/win32/winapi.h"
#include "platform/win32/wintext.h"

namespace platform {

namespace {

struct Reader {
  std::mutex mu;
  std::condition_variable consumed;
  std::string data;
  bool ended = false;  // end of input or a read error
  ::DWORD error = 0;
  HWND sink = 0;
  UINT msg = 0;
  bool watching = false;
};

std::mutex readersMu;
std::map<INPUT_HANDLE, std::shared_ptr<Reader>> readers;

void ReadAhead(INPUT_HANDLE input, std::shared_ptr<Reader> r) {
  for (;;) {
    char buffer[4096];
    ::DWORD got = 0;
    const BOOL ok = ReadFile(reinterpret_cast<::HANDLE>(input), buffer, sizeof buffer, &got, nullptr);
    const ::DWORD error = ok ? 0 : ::GetLastError();
    std::unique_lock<std::mutex> lock(r->mu);
    if (!ok || got == 0) {
      r->ended = true;
      r->error = error == ERROR_BROKEN_PIPE ? 0 : error;
    } else {
      r->data.append(buffer, got);
    }
    if (r->watching) PostMessage(r->sink, r->msg, static_cast<WPARAM>(input), 0);
    r->consumed.notify_all();
    if (r->ended) return;
    r->consumed.wait(lock, [&] { return r->data.empty(); });
  }
}

std::shared_ptr<Reader> Find(INPUT_HANDLE input) {
  std::lock_guard<std::mutex> lock(readersMu);
  auto it = readers.find(input);
  return it == readers.end() ? nullptr : it->second;
}

}  // namespace

HANDLE GetStdHandle(DWORD which) {
  const ::HANDLE h = ::GetStdHandle(which);
  return h == nullptr ? INVALID_HANDLE : reinterpret_cast<HANDLE>(h);
}

bool IsTerminal(HANDLE h) {
  ::DWORD mode = 0;
  return GetConsoleMode(reinterpret_cast<::HANDLE>(h), &mode) != 0;
}

INPUT_HANDLE GetStdInput() { return reinterpret_cast<INPUT_HANDLE>(GetStdHandle(STD_INPUT_HANDLE)); }

int64_t ReadInput(INPUT_HANDLE input, void* buffer, size_t size) {
  if (auto r = Find(input)) {
    std::unique_lock<std::mutex> lock(r->mu);
    // Called before the input was reported ready: wait as a plain read would.
    r->consumed.wait(lock, [&] { return !r->data.empty() || r->ended; });
    if (r->data.empty()) {
      if (r->error) {
        ::SetLastError(r->error);
        return -1;
      }
      return 0;
    }
    const size_t n = std::min(size, r->data.size());
    std::memcpy(buffer, r->data.data(), n);
    r->data.erase(0, n);
    if (r->data.empty()) {
      r->consumed.notify_all();
    } else if (r->watching) {
      PostMessage(r->sink, r->msg, static_cast<WPARAM>(input), 0);
    }
    return static_cast<int64_t>(n);
  }
  ::DWORD got = 0;
  if (!ReadFile(reinterpret_cast<::HANDLE>(input), buffer, static_cast<::DWORD>(size), &got, nullptr)) {
    if (::GetLastError() == ERROR_BROKEN_PIPE) return 0;
    return -1;
  }
  return got;
}

bool WatchInput(INPUT_HANDLE input, HWND sink, UINT msg) {
  if (!IsSink(sink)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return false;
  }
  std::shared_ptr<Reader> r;
  bool start = false;
  {
    std::lock_guard<std::mutex> lock(readersMu);
    auto& slot = readers[input];
    if (!slot) {
      slot = std::make_shared<Reader>();
      start = true;
    }
    r = slot;
  }
  {
    std::lock_guard<std::mutex> lock(r->mu);
    r->sink = sink;
    r->msg = msg;
    r->watching = true;
    if (!r->data.empty() || r->ended) PostMessage(sink, msg, static_cast<WPARAM>(input), 0);
  }
  // The thread may block in ReadFile for the rest of the process: it is not joined.
  if (start) std::thread(ReadAhead, input, r).detach();
  return true;
}

void UnwatchInput(INPUT_HANDLE input) {
  std::lock_guard<std::mutex> lock(readersMu);
  auto it = readers.find(input);
  if (it == readers.end()) return;
  std::lock_guard<std::mutex> readerLock(it->second->mu);
  it->second->watching = false;
  // A handle value is reused once its input is closed: an input that has ended and
  // been read to its end is forgotten.
  if (it->second->ended && it->second->data.empty()) readers.erase(it);
}

namespace {

// A GUI-subsystem program started from a console has no standard output of its own: it
// writes to the console of whoever started it, when there is one.
::HANDLE StdOut() {
  ::HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
  static bool attached = false;
  if ((out == nullptr || out == win32::InvalidHandle()) && !attached) {
    attached = true;
    if (AttachConsole(ATTACH_PARENT_PROCESS)) {
      out = CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                        OPEN_EXISTING, 0, nullptr);
      if (out != win32::InvalidHandle()) SetStdHandle(STD_OUTPUT_HANDLE, out);
    }
  }
  return out;
}

}  // namespace

bool WriteStdOut(const std::string& text) {
  const ::HANDLE out = StdOut();
  if (out == nullptr || out == win32::InvalidHandle()) return false;
  ::DWORD mode = 0;
  if (GetConsoleMode(out, &mode)) {
    // A console shows UTF-16 whatever its code page; a pipe or file gets the UTF-8 bytes.
    const std::wstring wide = win32::Widen(text);
    ::DWORD put = 0;
    return WriteConsoleW(out, wide.data(), static_cast<::DWORD>(wide.size()), &put, nullptr) != 0;
  }
  const char* p = text.data();
  size_t left = text.size();
  while (left > 0) {
    ::DWORD put = 0;
    if (!WriteFile(out, p, static_cast<::DWORD>(left), &put, nullptr)) return false;
    p += put;
    left -= put;
  }
  return true;
}

}  // namespace platform
