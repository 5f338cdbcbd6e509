// Private-profile (INI) functions with the Windows rules: case-insensitive section and
// key names, blanks trimmed around names and values, one pair of surrounding quotes
// removed from a value, ';' comment lines, key and section listings as lists of
// zero-terminated names ended by an extra zero. Every write replaces the file
// atomically (temporary file beside it, flushed, renamed), so a crash never leaves a
// half-written file.
#pragma once

#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/types.h"

namespace platform {

// section == nullptr: the names of all sections; key == nullptr: the names of all keys of
// the section (both as a double-zero-terminated list). Otherwise the key's value, or
// `def` (trailing blanks removed; nullptr = "") when the key or section is missing.
// Copies at most size - 1 characters (lists: size - 2) and returns the count copied.
DWORD GetPrivateProfileString(const char* section, const char* key, const char* def,
                              char* buffer, DWORD size, const char* fileName);

// One section read at once, for a caller that asks for many of its keys: every answer is
// the one GetPrivateProfileString gave for the file as it was when Read ran.
class ProfileSection {
 public:
  // False (last error set) when the file cannot be read, a missing one too: the section is
  // then empty, as GetPrivateProfileString reads such a file.
  bool Read(const char* section, const char* fileName);
  // What GetPrivateProfileString(section, key, def, buffer, size, fileName) copies.
  DWORD Get(const char* key, const char* def, char* buffer, DWORD size) const;
  // The key names in file order, each once: the whole key listing, never cut.
  const std::vector<std::string>& KeyNames() const { return names_; }

 private:
  std::vector<std::string> names_;
  std::vector<std::string> values_;
  std::unordered_map<std::string, size_t> index_;  // folded name -> position
};

// key == nullptr removes the whole section; value == nullptr removes the key; otherwise
// sets the key, creating the file, the section and the key as needed (sections and keys
// are appended at the end). Fails (false, last error set) when the file cannot be
// written: missing directory, read-only or locked file.
bool WritePrivateProfileString(const char* section, const char* key, const char* value,
                               const char* fileName);

// Sets every key of entries in the section with one replacement of the file, as that
// many WritePrivateProfileString calls in a row would leave it. Nothing is written when
// one entry is refused.
bool WritePrivateProfileStrings(const char* section, const std::vector<std::pair<std::string, std::string>>& entries,
                                const char* fileName);

// Whether WritePrivateProfileString takes this section, key and value (key nullptr: the
// section alone): text that would break a line or the file's structure is refused.
bool IsWritableProfileEntry(const std::string& section, const std::string& key, const std::string& value);

}  // namespace platform
