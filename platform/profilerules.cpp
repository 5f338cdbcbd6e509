#include "platform/profilerules.h"

#include <algorithm>
#include <cstring>

#include "platform/inidocument.h"
#include "platform/profile.h"

namespace platform {

namespace profilerules {

std::string_view TrimRightBlanks(std::string_view s) {
  const size_t last = s.find_last_not_of(" \t\r\v\f");
  return last == std::string_view::npos ? std::string_view() : s.substr(0, last + 1);
}

DWORD CopyString(std::string_view s, char* buffer, DWORD size) {
  const DWORD n = static_cast<DWORD>(std::min<size_t>(s.size(), size - 1));
  if (n > 0) memcpy(buffer, s.data(), n);
  buffer[n] = '\0';
  return n;
}

// Names each followed by a zero, then one more zero. A list that does not fit is cut
// at size - 2 characters and closed with two zeros.
DWORD CopyList(const std::vector<std::string>& names, char* buffer, DWORD size) {
  std::string all;
  for (const std::string& name : names) {
    all += name;
    all += '\0';
  }
  if (all.size() + 1 <= size) {
    memcpy(buffer, all.data(), all.size());
    buffer[all.size()] = '\0';
    if (all.empty() && size >= 2) buffer[1] = '\0';
    return static_cast<DWORD>(all.size());
  }
  if (size < 2) {
    buffer[0] = '\0';
    return 0;
  }
  memcpy(buffer, all.data(), size - 2);
  buffer[size - 2] = '\0';
  buffer[size - 1] = '\0';
  return size - 2;
}

DWORD Answer(const IniDocument& profile, const char* section, const char* key, const char* def, char* buffer,
             DWORD size) {
  if (section == nullptr) return CopyList(profile.SectionNames(), buffer, size);
  if (key == nullptr) return CopyList(profile.KeyNames(TrimIniBlanks(section)), buffer, size);
  if (const IniLine* item = profile.Find(TrimIniBlanks(section), TrimIniBlanks(key)))
    return CopyString(item->value, buffer, size);
  return CopyString(TrimRightBlanks(def ? def : ""), buffer, size);
}

void ApplyEdits(IniDocument& profile, std::string_view section,
                const std::vector<std::pair<const char*, const char*>>& edits) {
  const bool allSets = std::all_of(edits.begin(), edits.end(),
                                   [](const auto& e) { return e.first != nullptr && e.second != nullptr; });
  if (allSets) {
    // The record's file dates come thousands at a time.
    std::vector<std::pair<std::string_view, std::string_view>> values;
    values.reserve(edits.size());
    for (const auto& [key, value] : edits) values.emplace_back(TrimIniBlanks(key), value);
    profile.SetValues(section, values);
    return;
  }
  for (const auto& [key, value] : edits) {
    if (key == nullptr)
      profile.DeleteSection(section);
    else if (value == nullptr)
      profile.DeleteKey(section, TrimIniBlanks(key));
    else
      profile.SetValue(section, TrimIniBlanks(key), value);
  }
}

namespace {

// Text that would change the file's structure when written.
bool BreaksLine(std::string_view s) { return s.find_first_of("\r\n") != std::string_view::npos; }

}  // namespace

bool ValidWrite(std::string_view section, const char* key, const char* value) {
  if (BreaksLine(section) || section.find(']') != std::string_view::npos) return false;
  if (key == nullptr) return true;
  const std::string_view k = TrimIniBlanks(key);
  if (k.empty() || BreaksLine(k) || k.find('=') != std::string_view::npos || k.front() == ';' ||
      k.front() == '[')
    return false;
  return value == nullptr || !BreaksLine(value);
}

}  // namespace profilerules

DWORD GetPrivateProfileString(const char* section, const char* key, const char* def, char* buffer, DWORD size,
                              const char* fileName) {
  if (buffer == nullptr || size == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::string content;
  const DWORD error = fileName == nullptr ? ERROR_INVALID_PARAMETER : profilerules::LoadProfileText(fileName, &content);
  const DWORD result = profilerules::Answer(IniDocument(content), section, key, def, buffer, size);
  SetLastError(error);
  return result;
}

bool ProfileSection::Read(const char* section, const char* fileName) {
  names_.clear();
  values_.clear();
  index_.clear();
  std::string content;
  const DWORD error =
      fileName == nullptr || section == nullptr ? ERROR_INVALID_PARAMETER : profilerules::LoadProfileText(fileName, &content);
  if (error == ERROR_SUCCESS) {
    const IniDocument profile(content);
    for (const IniLine* line : profile.Entries(TrimIniBlanks(section))) {
      index_.emplace(IniNameKey(line->name), names_.size());
      names_.push_back(line->name);
      values_.push_back(line->value);
    }
  }
  SetLastError(error);
  return error == ERROR_SUCCESS;
}

DWORD ProfileSection::Get(const char* key, const char* def, char* buffer, DWORD size) const {
  if (buffer == nullptr || size == 0) return 0;
  const auto found = index_.find(IniNameKey(TrimIniBlanks(key ? key : "")));
  if (found != index_.end()) return profilerules::CopyString(values_[found->second], buffer, size);
  return profilerules::CopyString(profilerules::TrimRightBlanks(def ? def : ""), buffer, size);
}

bool IsWritableProfileEntry(const std::string& section, const std::string& key, const std::string& value) {
  // A NUL would cut the texts short on their way through the profile functions.
  if (section.find('\0') != std::string::npos || key.find('\0') != std::string::npos ||
      value.find('\0') != std::string::npos)
    return false;
  return profilerules::ValidWrite(TrimIniBlanks(section), key.c_str(), value.c_str());
}

}  // namespace platform
