// The process's standard streams, for programs that run without a display: they report
// what they show as lines on standard output and read the answers to their dialogs from
// standard input while their message loop keeps running.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/files.h"

namespace platform {

// Descriptor of standard input, to be polled by an event source.
constexpr int STD_INPUT_DESCRIPTOR = 0;

// The standard streams as file handles (GetStdHandle). They belong to the process:
// never close them.
constexpr DWORD STD_INPUT_HANDLE = static_cast<DWORD>(-10);
constexpr DWORD STD_OUTPUT_HANDLE = static_cast<DWORD>(-11);
constexpr DWORD STD_ERROR_HANDLE = static_cast<DWORD>(-12);
HANDLE GetStdHandle(DWORD which);
// The handle is an interactive terminal (a console window on Windows), where a progress
// line can be redrawn in place.
bool IsTerminal(HANDLE h);

// Reads at most `size` bytes from a descriptor that poll() reported ready. Returns the
// count, 0 at end of input, -1 on failure (last error set).
int64_t ReadDescriptor(int fd, void* buffer, size_t size);

// Writes all of `text` to standard output at once. False when the output is gone.
bool WriteStdOut(const std::string& text);

}  // namespace platform
