// Per-thread message queues, message sinks, timers and waiting for input.
//
// Shaped after the Windows calls (PostMessage, PeekMessage, GetMessage, DispatchMessage,
// SetTimer, KillTimer, GetTickCount, MsgWaitForMultipleObjects): every thread that uses
// them gets its own queue; a sink belongs to the thread that created it and its
// procedure runs only on that thread, from DispatchMessage.
//
// Timer ticks are not queued: like on Windows, a WM_TIMER is produced by Peek/Get when the
// queue holds nothing else for the caller and a timer is due, and at most one tick of a
// timer is ever pending.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/types.h"

namespace platform {

struct MSG {
  HWND hwnd = 0;  // 0 for a thread message
  UINT message = 0;
  WPARAM wParam = 0;
  LPARAM lParam = 0;
  DWORD time = 0;  // tick count when the message was posted or produced
};

using WNDPROC = LRESULT (*)(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

// Creates a sink bound to the calling thread. Never returns 0.
HWND CreateSink(WNDPROC proc);
// Destroys a sink: its queued messages and its timers go with it. Returns false for an
// unknown handle (last error ERROR_INVALID_WINDOW_HANDLE).
bool DestroySink(HWND hwnd);
bool IsSink(HWND hwnd);
// The sink's one pointer-sized user slot (0 after creation).
LPARAM GetSinkData(HWND hwnd);
void SetSinkData(HWND hwnd, LPARAM value);
// Id of the thread that owns the sink, 0 for an unknown handle.
DWORD GetSinkThreadId(HWND hwnd);
DWORD GetCurrentThreadId();

// Thread-safe: may be called from any thread. False for an unknown sink.
bool PostMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
bool PostThreadMessage(DWORD threadId, UINT msg, WPARAM wParam, LPARAM lParam);
// Asks the calling thread's loop to end: GetMessage returns 0 once nothing else is queued.
void PostQuitMessage(int exitCode);
// Calls the sink's procedure at once (owning thread only).
LRESULT SendMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

constexpr UINT PM_NOREMOVE = 0;
constexpr UINT PM_REMOVE = 1;

// Looks for a message of the calling thread. filter 0 takes every message of the thread,
// otherwise only the sink's. A range of 0, 0 takes every id; otherwise min <= id <= max.
bool PeekMessage(MSG* msg, HWND filter, UINT min, UINT max, UINT removeFlags);
// Waits for a message; returns 0 when it is WM_QUIT, otherwise 1.
int GetMessage(MSG* msg, HWND filter, UINT min, UINT max);
LRESULT DispatchMessage(const MSG* msg);
// Default processing of a message nobody handled: nothing, result 0.
LRESULT DefWindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

// Starts (or restarts, for an existing id) a timer that produces WM_TIMER with WParam =
// id for the sink every `elapse` milliseconds (below 10 taken as 10, the system's
// minimum). id must not be 0. Returns id, or 0 on failure. Owning thread only.
uintptr_t SetTimer(HWND hwnd, uintptr_t id, UINT elapse);
bool KillTimer(HWND hwnd, uintptr_t id);

// Milliseconds since an arbitrary start, wrapping at 2^32.
DWORD GetTickCount();
// Tests only: adds a bias to every later GetTickCount, to exercise the wrap.
void SetTickCountBias(DWORD bias);

constexpr DWORD WAIT_OBJECT_0 = 0;
constexpr DWORD WAIT_TIMEOUT = 258;
constexpr DWORD INFINITE = 0xFFFFFFFF;

// MsgWaitForMultipleObjects with no handles: returns WAIT_OBJECT_0 as soon as the calling
// thread has a message to take (queued, a due timer, or one posted by an event source),
// WAIT_TIMEOUT after timeoutMs otherwise.
DWORD MsgWaitForInput(DWORD timeoutMs);

// Something of the system the loop can wait on: a descriptor where the system has them,
// a waitable handle on Windows. `events` asks for WAIT_ bits, `ready` tells which came.
struct WaitItem {
  intptr_t object = -1;
  short events = 0;
  short ready = 0;
};
constexpr short WAIT_READABLE = 0x001;
constexpr short WAIT_URGENT = 0x002;
constexpr short WAIT_WRITABLE = 0x004;
constexpr short WAIT_ERROR = 0x008;
constexpr short WAIT_HANGUP = 0x010;
constexpr short WAIT_INVALID = 0x020;
constexpr short WAIT_PEER_CLOSED = 0x2000;  // the peer shut its side down, data may remain

// A provider of input for the calling thread's loop (a GUI backend, the socket layer).
// The loop asks every source of the thread before it waits and tells it what the wait
// saw. Sources never run application code themselves: they post messages, whose
// procedures run from DispatchMessage like any other.
class EventSource {
 public:
  virtual ~EventSource() = default;
  // Adds objects to wait on and may lower timeoutMs (-1 = no limit). Also the place
  // for work due before every wait (a GUI backend flushes its drawing here).
  virtual void Prepare(std::vector<WaitItem>& items, int& timeoutMs) = 0;
  // Called after every wait with the entries this source added (ready filled in,
  // possibly all zero when the wait timed out).
  virtual void Dispatch(const WaitItem* items, size_t count) = 0;
};

// Registers a source with the calling thread's loop; the caller keeps ownership and must
// remove it (on the same thread) before destroying it.
void AddEventSource(EventSource* source);
void RemoveEventSource(EventSource* source);

}  // namespace platform
