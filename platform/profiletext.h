// The text of an INI file as the profile functions see it: parsed, queried and edited
// in memory, byte for byte where nothing changes. No I/O: the platform's profile
// functions read and write the files (and convert their encoding where the system has
// several). Internal to platform/.
#pragma once

#include <string>
#include <string_view>

#include "platform/types.h"

namespace platform::profiletext {

std::string_view TrimBlanks(std::string_view s);

// What GetPrivateProfileString answers for this content (see profile.h).
DWORD Read(const std::string& content, const char* section, const char* key, const char* def, char* buffer,
           DWORD size);

// False when the write would change the file's structure (a line break in a name or
// value, a key that is empty or starts a comment or a section, ...).
bool ValidWrite(std::string_view section, const char* key, const char* value);

// The content after WritePrivateProfileString(section, key, value); section trimmed.
// Lines added to a file that has no line break yet end with `newline`.
std::string Write(const std::string& content, std::string_view section, const char* key, const char* value,
                  const char* newline = "\n");

}  // namespace platform::profiletext
