// Processes, environment, the version query, local time, libraries loaded at run time
// and error texts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/types.h"

namespace platform {

// Show-window codes accepted by WinExec (only meaningful to a windowing system).
constexpr UINT SW_HIDE = 0;
constexpr UINT SW_SHOWNORMAL = 1;
constexpr UINT SW_SHOWNA = 8;

// Starts a program from a Windows-style command line without waiting for it: the first
// word is the program (in double quotes when it holds blanks; an unquoted path with
// blanks is tried word by word as Windows does), the rest are arguments split by the
// Windows rules for quotes and backslashes. A program named without a directory is
// searched on PATH. The program runs detached and outlives the caller. Returns a value
// above 31 on success, otherwise ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND or
// ERROR_BAD_FORMAT (and 0 when the system is out of resources).
UINT WinExec(const std::string& commandLine, UINT showCmd);

// std::nullopt when the variable is not set.
// Starts argv[0] (searched on PATH when it names no directory) with the other arguments
// as they are, in currentDirectory (empty: ours), with standard output and error shared
// with the caller, and waits for it to end. False when it could not be started; its exit
// status otherwise (a program ended by a signal counts as 128 + the signal).
bool RunAndWait(const std::vector<std::string>& argv, const std::string& currentDirectory, DWORD* exitCode);

std::optional<std::string> GetEnvironmentVariable(const std::string& name);
bool SetEnvironmentVariable(const std::string& name, const std::optional<std::string>& value);

// Full path of the running executable.
std::string GetModuleFileName();

struct OSVERSIONINFO {
  DWORD dwMajorVersion = 0;
  DWORD dwMinorVersion = 0;
  DWORD dwBuildNumber = 0;
  DWORD dwPlatformId = 0;  // 0 Win32s, 1 Windows 9x, 2 NT; other systems report their own
};
// Platform identifier reported on Linux: outside the three Windows families.
constexpr DWORD VER_PLATFORM_LINUX = 0x4C;
bool GetVersionEx(OSVERSIONINFO* info);

struct SYSTEMTIME {
  uint16_t wYear, wMonth, wDayOfWeek, wDay, wHour, wMinute, wSecond, wMilliseconds;
};
void GetLocalTime(SYSTEMTIME* time);

void Sleep(DWORD milliseconds);

// Libraries loaded at run time. A bare name is looked for in the executable's own
// folder first, then by the system's library search, then in the folders where the
// system installs private libraries of packages (on Debian /usr/lib/p7zip and the like).
using HMODULE = void*;
HMODULE LoadLibrary(const std::string& name);
void* GetProcAddress(HMODULE module, const char* name);
bool FreeLibrary(HMODULE module);

// Cryptographically strong random bytes from the system. False when it has none to give.
bool GenRandom(void* buffer, size_t size);

// The system's message text for an error code: a Windows error code or an HRESULT
// (FormatMessage-style, without a trailing line break). Never empty.
std::string SysErrorMessage(DWORD code);

}  // namespace platform
