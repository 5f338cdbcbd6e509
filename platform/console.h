// The process's standard streams, for programs that run without a display: they report
// what they show as lines on standard output and read the answers to their dialogs from
// standard input while their message loop keeps running.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/files.h"
#include "platform/types.h"

namespace platform {

// An input stream of the system (standard input, or a pipe a test made).
using INPUT_HANDLE = intptr_t;
INPUT_HANDLE GetStdInput();

// Reads at most `size` bytes from an input the watch reported ready. Returns the count,
// 0 at end of input, -1 on failure (last error set). Re-arms the input's watch.
int64_t ReadInput(INPUT_HANDLE input, void* buffer, size_t size);

// Posts `msg` (WParam = input) to the sink of the calling thread once the input can be
// read without blocking (data, its end or an error), then again after each ReadInput,
// until UnwatchInput. One watch per input.
bool WatchInput(INPUT_HANDLE input, HWND sink, UINT msg);
void UnwatchInput(INPUT_HANDLE input);

// The standard streams as file handles (GetStdHandle). They belong to the process:
// never close them.
constexpr DWORD STD_INPUT_HANDLE = static_cast<DWORD>(-10);
constexpr DWORD STD_OUTPUT_HANDLE = static_cast<DWORD>(-11);
constexpr DWORD STD_ERROR_HANDLE = static_cast<DWORD>(-12);
HANDLE GetStdHandle(DWORD which);
// The handle is an interactive terminal (a console window on Windows), where a progress
// line can be redrawn in place.
bool IsTerminal(HANDLE h);


// Writes all of `text` to standard output at once. False when the output is gone.
bool WriteStdOut(const std::string& text);

}  // namespace platform
