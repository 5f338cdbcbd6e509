// The rules the profile functions share on every system: what a write may contain and
// how answers are copied out. Internal to platform/.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/types.h"

namespace platform::profilerules {

std::string_view TrimRightBlanks(std::string_view s);
// Copies at most size - 1 characters and a zero; the count copied.
DWORD CopyString(std::string_view s, char* buffer, DWORD size);
// Names each followed by a zero, then one more zero; cut at size - 2 characters.
DWORD CopyList(const std::vector<std::string>& names, char* buffer, DWORD size);
// False for text that would change the file's structure when written.
bool ValidWrite(std::string_view section, const char* key, const char* value);

}  // namespace platform::profilerules
