// A thread for one long piece of blocking work (unpacking a package), so that the
// thread that started it keeps running its message loop. Shaped after CreateThread and
// WaitForSingleObject: the end of the work is told to a sink as a posted message, and
// the starter joins the thread afterwards (or earlier, to wait for it).
#pragma once

#include <cstdint>
#include <functional>

#include "platform/types.h"

namespace platform {

// A started thread; 0 is "none".
using THREAD = uintptr_t;

// Runs work on a new thread. Once work has returned, posts msg with wParam and lParam
// to notify (nothing when notify is 0). work must not throw. Returns 0, with the last
// error set, when no thread could be started.
THREAD StartThread(std::function<void()> work, HWND notify, UINT msg, WPARAM wParam, LPARAM lParam);
// Waits until the thread's work has returned and frees the thread. False for 0.
bool JoinThread(THREAD thread);

}  // namespace platform
