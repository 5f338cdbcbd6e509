#include "base/inifiles.h"

#include <vector>

#include "platform/profile.h"

namespace {

// Room for a value of 2047 characters and its terminator.
constexpr platform::DWORD kValueBufferSize = 2048;
// Key listings stop at this many bytes of names.
constexpr platform::DWORD kSectionBufferSize = 16384;

// Splits a zero-separated name list of `length` bytes.
void AddNames(const char* list, platform::DWORD length, TStrings* names) {
  platform::DWORD i = 0;
  while (i < length && list[i] != '\0') {
    platform::DWORD end = i;
    while (end < length && list[end] != '\0') ++end;
    names->Add(std::string(list + i, end - i));
    i = end + 1;
  }
}

// ReadInteger's rules for the text read.
int32_t IntegerOf(std::string text, int32_t def) {
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) text = "$" + text.substr(2);
  return StrToIntDef(text, def);
}

}  // namespace

std::string TIniFile::ReadString(const std::string& section, const std::string& key,
                                 const std::string& def) const {
  char buffer[kValueBufferSize];
  const platform::DWORD n = platform::GetPrivateProfileString(
      section.c_str(), key.c_str(), def.c_str(), buffer, kValueBufferSize, fileName_.c_str());
  return std::string(buffer, n);
}

int32_t TIniFile::ReadInteger(const std::string& section, const std::string& key,
                              int32_t def) const {
  return IntegerOf(ReadString(section, key, ""), def);
}

double TIniFile::ReadFloat(const std::string& section, const std::string& key,
                           double def) const {
  const std::string text = ReadString(section, key, "");
  double value;
  if (text.empty() || !TryStrToFloat(text, value)) return def;
  return value;
}

bool TIniFile::ReadBool(const std::string& section, const std::string& key, bool def) const {
  return ReadInteger(section, key, def ? 1 : 0) != 0;
}

void TIniFile::WriteString(const std::string& section, const std::string& key,
                           const std::string& value) {
  // Through the C strings below a NUL would cut a name short and write another key.
  if (!IsWritable(section, key, value) ||
      !platform::WritePrivateProfileString(section.c_str(), key.c_str(), value.c_str(),
                                           fileName_.c_str())) {
    throw EIniFileException(Format("写 %s 失败", fileName_.c_str()));
  }
}

void TIniFile::WriteStrings(const std::string& section,
                            const std::vector<std::pair<std::string, std::string>>& entries) {
  for (const auto& [key, value] : entries) {
    if (!IsWritable(section, key, value)) throw EIniFileException(Format("写 %s 失败", fileName_.c_str()));
  }
  if (!platform::WritePrivateProfileStrings(section.c_str(), entries, fileName_.c_str()))
    throw EIniFileException(Format("写 %s 失败", fileName_.c_str()));
}

bool TIniFile::IsWritable(const std::string& section, const std::string& key, const std::string& value) {
  return platform::IsWritableProfileEntry(section, key, value);
}

void TIniFile::WriteInteger(const std::string& section, const std::string& key, int32_t value) {
  WriteString(section, key, IntToStr(value));
}

void TIniFile::EraseSection(const std::string& section) {
  if (!platform::WritePrivateProfileString(section.c_str(), nullptr, nullptr,
                                           fileName_.c_str())) {
    throw EIniFileException(Format("写 %s 失败", fileName_.c_str()));
  }
}

void TIniFile::DeleteKey(const std::string& section, const std::string& key) {
  // Like the removal of a key elsewhere, a failure here is not reported.
  platform::WritePrivateProfileString(section.c_str(), key.c_str(), nullptr, fileName_.c_str());
}

void TIniFile::ReadSection(const std::string& section, TStrings* keys) const {
  keys->Clear();
  std::vector<char> buffer(kSectionBufferSize, '\0');
  const platform::DWORD n = platform::GetPrivateProfileString(
      section.c_str(), nullptr, nullptr, buffer.data(), kSectionBufferSize, fileName_.c_str());
  AddNames(buffer.data(), n, keys);
}

void TIniFile::ReadSections(TStrings* sections) const { ReadWholeList(nullptr, sections); }

void TIniFile::ReadAllKeys(const std::string& section, TStrings* keys) const {
  TIniSection(*this, section).ReadKeys(keys);
}

void TIniFile::ReadWholeList(const char* section, TStrings* names) const {
  names->Clear();
  // A truncated listing fills the buffer up to size - 2: grow it and ask again.
  for (platform::DWORD size = kSectionBufferSize;; size *= 2) {
    std::vector<char> buffer(size, '\0');
    const platform::DWORD n = platform::GetPrivateProfileString(section, nullptr, nullptr,
                                                                buffer.data(), size,
                                                                fileName_.c_str());
    if (n + 2 < size || size >= (1u << 30)) {
      AddNames(buffer.data(), n, names);
      return;
    }
  }
}

bool TIniFile::SectionExists(const std::string& section) const {
  // From the section listing, so that a section without keys exists too.
  TStringList sections;
  ReadSections(&sections);
  return sections.IndexOf(section) >= 0;
}

bool TIniFile::ValueExists(const std::string& section, const std::string& key) const {
  TStringList keys;
  ReadSection(section, &keys);
  return keys.IndexOf(key) >= 0;
}

TIniSection::TIniSection(const TIniFile& file, const std::string& section) {
  // An unreadable file reads as an empty section, as TIniFile's reads take it.
  section_.Read(section.c_str(), file.FileName().c_str());
}

std::string TIniSection::ReadString(const std::string& key, const std::string& def) const {
  char buffer[kValueBufferSize];
  return std::string(buffer, section_.Get(key.c_str(), def.c_str(), buffer, kValueBufferSize));
}

int32_t TIniSection::ReadInteger(const std::string& key, int32_t def) const {
  return IntegerOf(ReadString(key, ""), def);
}

void TIniSection::ReadKeys(TStrings* keys) const {
  keys->Clear();
  for (const std::string& name : section_.KeyNames()) keys->Add(name);
}
