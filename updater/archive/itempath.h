// Item names as the 7-Zip library hands them over, and the rule for which of them may be
// written below a target directory.
#pragma once

#include <cstddef>
#include <string>

// UTF-8 from the library's wide text. On Linux every wchar_t is one UTF-16 code unit, so
// surrogate pairs arrive as two units and are combined here; a lone surrogate or a value
// outside Unicode becomes U+FFFD.
std::string WideToUtf8(const wchar_t* text, size_t length);
std::string WideToUtf8(const wchar_t* text);

// True when path names something inside the target directory: not empty, not absolute
// (no leading separator, no drive letter) and without a ".." component. Both '/' and '\'
// count as separators here, since packages are authored on Windows.
bool IsSafeItemPath(const std::string& path);
