// The rules the profile functions share on every system: what a write may contain and
// how answers are copied out. Internal to platform/.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/inidocument.h"
#include "platform/types.h"

namespace platform::profilerules {

std::string_view TrimRightBlanks(std::string_view s);
// Copies at most size - 1 characters and a zero; the count copied.
DWORD CopyString(std::string_view s, char* buffer, DWORD size);
// Names each followed by a zero, then one more zero; cut at size - 2 characters.
DWORD CopyList(const std::vector<std::string>& names, char* buffer, DWORD size);
// The file's text as the profile functions read it (decoded to UTF-8 where the system
// has other encodings); ERROR_SUCCESS, or why it could not be read (the text then empty).
// Each system has its own.
DWORD LoadProfileText(const char* fileName, std::string* text);
// GetPrivateProfileString's answer from the file's text.
DWORD Answer(const IniDocument& profile, const char* section, const char* key, const char* def, char* buffer,
             DWORD size);
// A (key, value) pair sets the key, a null value deletes it, a null key deletes the
// section; keys are trimmed here.
void ApplyEdits(IniDocument& profile, std::string_view section,
                const std::vector<std::pair<const char*, const char*>>& edits);
// False for text that would change the file's structure when written.
bool ValidWrite(std::string_view section, const char* key, const char* value);

}  // namespace platform::profilerules
