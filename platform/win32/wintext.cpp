#include "platform/win32/wintext.h"

#include <windows.h>

namespace platform::win32 {

std::wstring Widen(const std::string& utf8) {
  if (utf8.empty()) return std::wstring();
  const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
  return out;
}

std::string Narrow(const wchar_t* utf16, size_t length) {
  if (length == 0) return std::string();
  const int n = WideCharToMultiByte(CP_UTF8, 0, utf16, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, utf16, static_cast<int>(length), out.data(), n, nullptr, nullptr);
  return out;
}

std::string Narrow(const std::wstring& utf16) { return Narrow(utf16.data(), utf16.size()); }

std::wstring WidePath(const std::string& utf8) {
  std::wstring path = Widen(utf8);
  for (wchar_t& c : path) {
    if (c == L'/') c = L'\\';
  }
  const bool absolute = path.size() >= 3 && path[1] == L':' && path[2] == L'\\';
  if (absolute && path.size() >= MAX_PATH - 12) {
    // The prefix turns off the system's own normalisation: do it first.
    std::wstring full(32768, L'\0');
    DWORD n = GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (n > 0 && n < full.size()) {
      full.resize(n);
      return L"\\\\?\\" + full;
    }
  }
  return path;
}

}  // namespace platform::win32
