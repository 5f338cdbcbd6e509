// UTF-8 inside the program, UTF-16 at the Win32 calls. Internal to platform/win32/.
#pragma once

#include <string>

namespace platform::win32 {

std::wstring Widen(const std::string& utf8);
std::string Narrow(const wchar_t* utf16, size_t length);
std::string Narrow(const std::wstring& utf16);

// A path for the wide file calls: '/' becomes '\', and a long absolute path gets the
// \\?\ prefix that lifts the 260-character limit.
std::wstring WidePath(const std::string& utf8);

}  // namespace platform::win32
