// Programs, environment, version, libraries and error texts from the system, with
// Unicode at the calls.
#include "platform/process.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "platform/win32/winapi.h"
#include "platform/win32/wintext.h"

namespace platform {

using win32::Narrow;
using win32::Widen;

UINT WinExec(const std::string& commandLine, UINT showCmd) {
  // CreateProcessW applies the system's own rules for the first word (quotes, an
  // unquoted path with blanks tried word by word, the search path) and may change the
  // buffer it is given.
  std::wstring line = Widen(commandLine);
  line.push_back(L'\0');
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = static_cast<WORD>(showCmd);
  PROCESS_INFORMATION info = {};
  if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
    switch (::GetLastError()) {
      case ERROR_FILE_NOT_FOUND:
        return ERROR_FILE_NOT_FOUND;
      case ERROR_PATH_NOT_FOUND:
      case ERROR_DIRECTORY:
        return ERROR_PATH_NOT_FOUND;
      case ERROR_BAD_EXE_FORMAT:
      case ERROR_EXE_MACHINE_TYPE_MISMATCH:
        return ERROR_BAD_FORMAT;
      case ERROR_NOT_ENOUGH_MEMORY:
      case ERROR_OUTOFMEMORY:
        return 0;
      default:
        return ERROR_FILE_NOT_FOUND;
    }
  }
  CloseHandle(info.hThread);
  CloseHandle(info.hProcess);
  return 33;
}

std::optional<std::string> GetEnvironmentVariable(const std::string& name) {
  const std::wstring wide = Widen(name);
  std::wstring value(256, L'\0');
  for (;;) {
    ::SetLastError(ERROR_SUCCESS);
    const ::DWORD n = GetEnvironmentVariableW(wide.c_str(), value.data(), static_cast<::DWORD>(value.size()));
    if (n == 0) {
      if (::GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
      return std::string();
    }
    if (n < value.size()) {
      value.resize(n);
      return Narrow(value);
    }
    value.resize(n);
  }
}

bool SetEnvironmentVariable(const std::string& name, const std::optional<std::string>& value) {
  const std::wstring wide = Widen(name);
  if (!value) return SetEnvironmentVariableW(wide.c_str(), nullptr) != 0 || ::GetLastError() == ERROR_ENVVAR_NOT_FOUND;
  return SetEnvironmentVariableW(wide.c_str(), Widen(*value).c_str()) != 0;
}

std::string GetModuleFileName() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const ::DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<::DWORD>(path.size()));
    if (n < path.size()) {
      path.resize(n);
      // A long path comes back with the prefix it was started with.
      if (path.rfind(L"\\\\?\\", 0) == 0 && path.size() > 6 && path[5] == L':') path.erase(0, 4);
      return Narrow(path);
    }
    path.resize(path.size() * 2);
  }
}

bool GetVersionEx(OSVERSIONINFO* info) {
  OSVERSIONINFOW v = {};
  v.dwOSVersionInfoSize = sizeof v;
  if (!GetVersionExW(&v)) return false;
  info->dwMajorVersion = v.dwMajorVersion;
  info->dwMinorVersion = v.dwMinorVersion;
  info->dwBuildNumber = v.dwBuildNumber;
  info->dwPlatformId = v.dwPlatformId;
  return true;
}

void GetLocalTime(SYSTEMTIME* time) {
  ::SYSTEMTIME t;
  ::GetLocalTime(&t);
  *time = SYSTEMTIME{t.wYear, t.wMonth, t.wDayOfWeek, t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds};
}

void Sleep(DWORD milliseconds) { ::Sleep(milliseconds); }

HMODULE LoadLibrary(const std::string& name) {
  // A bare name is looked for beside the executable first: the system's own order.
  return reinterpret_cast<HMODULE>(LoadLibraryW(Widen(name).c_str()));
}

void* GetProcAddress(HMODULE module, const char* name) {
  return reinterpret_cast<void*>(::GetProcAddress(reinterpret_cast<::HMODULE>(module), name));
}

bool FreeLibrary(HMODULE module) { return ::FreeLibrary(reinterpret_cast<::HMODULE>(module)) != 0; }

std::string SysErrorMessage(DWORD code) {
  wchar_t* text = nullptr;
  const ::DWORD n = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
      0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::wstring message = n > 0 && text ? std::wstring(text, n) : std::wstring();
  if (text) LocalFree(text);
  while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r' || message.back() == L' ')) {
    message.pop_back();
  }
  if (message.empty()) {
    char fallback[40];
    snprintf(fallback, sizeof fallback, "Unknown error 0x%08X", static_cast<unsigned>(code));
    return fallback;
  }
  return Narrow(message);
}

}  // namespace platform

namespace platform {

namespace {

// One argument for a Windows command line, quoted by the rules its parser undoes.
std::wstring QuoteArgument(const std::wstring& arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) return arg;
  std::wstring out = L"\"";
  size_t backslashes = 0;
  for (wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    if (c == L'"') out.append(backslashes * 2 + 1, L'\\');
    else out.append(backslashes, L'\\');
    backslashes = 0;
    out += c;
  }
  out.append(backslashes * 2, L'\\');
  out += L'"';
  return out;
}

}  // namespace

bool RunAndWait(const std::vector<std::string>& argv, const std::string& currentDirectory, DWORD* exitCode) {
  if (argv.empty()) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  std::wstring line;
  for (const std::string& arg : argv) {
    if (!line.empty()) line += L' ';
    line += QuoteArgument(Widen(arg));
  }
  line.push_back(L'\0');
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info = {};
  const std::wstring dir = Widen(currentDirectory);
  if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                      currentDirectory.empty() ? nullptr : dir.c_str(), &startup, &info)) {
    return false;
  }
  CloseHandle(info.hThread);
  WaitForSingleObject(info.hProcess, INFINITE);
  ::DWORD code = 0;
  GetExitCodeProcess(info.hProcess, &code);
  CloseHandle(info.hProcess);
  if (exitCode) *exitCode = code;
  return true;
}

bool GenRandom(void* buffer, size_t size) {
  // RtlGenRandom, the system's generator that rand_s uses.
  using Gen = BOOLEAN(WINAPI*)(PVOID, ULONG);
  static const Gen gen = reinterpret_cast<Gen>(
      reinterpret_cast<void*>(::GetProcAddress(LoadLibraryW(L"advapi32.dll"), "SystemFunction036")));
  if (!gen) return false;
  auto* p = static_cast<unsigned char*>(buffer);
  while (size > 0) {
    const ULONG chunk = static_cast<ULONG>(std::min<size_t>(size, 1u << 20));
    if (!gen(p, chunk)) return false;
    p += chunk;
    size -= chunk;
  }
  return true;
}

}  // namespace platform
