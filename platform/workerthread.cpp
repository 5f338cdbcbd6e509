#include "platform/workerthread.h"

#include <system_error>
#include <thread>

#include "platform/messages.h"

namespace platform {

namespace {

struct Worker {
  std::thread thread;
};

}  // namespace

THREAD StartThread(std::function<void()> work, HWND notify, UINT msg, WPARAM wParam, LPARAM lParam) {
  auto* worker = new Worker;
  try {
    worker->thread = std::thread([work = std::move(work), notify, msg, wParam, lParam] {
      work();
      if (notify != 0) PostMessage(notify, msg, wParam, lParam);
    });
  } catch (const std::system_error&) {
    delete worker;
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return 0;
  }
  return reinterpret_cast<THREAD>(worker);
}

bool JoinThread(THREAD thread) {
  if (thread == 0) return false;
  auto* worker = reinterpret_cast<Worker*>(thread);
  worker->thread.join();
  delete worker;
  return true;
}

}  // namespace platform
