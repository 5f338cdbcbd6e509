#include "platform/workerthread.h"

#include "platform/messages.h"
#include "platform/win32/winapi.h"

namespace platform {

namespace {

struct Work {
  std::function<void()> work;
  HWND notify;
  UINT msg;
  WPARAM wParam;
  LPARAM lParam;
};

::DWORD WINAPI RunWork(LPVOID parameter) {
  auto* w = static_cast<Work*>(parameter);
  w->work();
  if (w->notify != 0) PostMessage(w->notify, w->msg, w->wParam, w->lParam);
  delete w;
  return 0;
}

}  // namespace

THREAD StartThread(std::function<void()> work, HWND notify, UINT msg, WPARAM wParam, LPARAM lParam) {
  auto* w = new Work{std::move(work), notify, msg, wParam, lParam};
  ::HANDLE handle = ::CreateThread(nullptr, 0, &RunWork, w, 0, nullptr);
  if (!handle) {
    delete w;
    return 0;
  }
  return reinterpret_cast<THREAD>(handle);
}

bool JoinThread(THREAD thread) {
  if (thread == 0) return false;
  ::HANDLE handle = reinterpret_cast<::HANDLE>(thread);
  ::WaitForSingleObject(handle, INFINITE);
  ::CloseHandle(handle);
  return true;
}

}  // namespace platform
