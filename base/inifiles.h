// INI file object over the platform's private-profile functions: one call per read or
// write, nothing cached, every read names its default. TIniSection reads one section at
// once for a caller that asks for many of its keys.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "base/classes.h"
#include "platform/profile.h"

class TIniFile : public TObject {
 public:
  explicit TIniFile(std::string fileName) : fileName_(std::move(fileName)) {}
  const char* ClassName() const override { return "TIniFile"; }
  const std::string& FileName() const { return fileName_; }

  // The value, at most 2047 characters; the default when the key or section is missing.
  std::string ReadString(const std::string& section, const std::string& key,
                         const std::string& def) const;
  // A text longer than 2 characters beginning with "0x"/"0X" is hexadecimal; otherwise
  // the integer rules of StrToInt; anything else (or a missing key) gives the default.
  int32_t ReadInteger(const std::string& section, const std::string& key, int32_t def) const;
  // Empty or missing gives the default; a text that does not convert as a decimal number
  // gives the default; any other error passes through.
  double ReadFloat(const std::string& section, const std::string& key, double def) const;
  bool ReadBool(const std::string& section, const std::string& key, bool def) const;

  // Raise EIniFileException "写 %s 失败" (the file's path) when the write fails.
  void WriteString(const std::string& section, const std::string& key, const std::string& value);
  // Many keys of one section in one write of the file; raises as WriteString does.
  void WriteStrings(const std::string& section, const std::vector<std::pair<std::string, std::string>>& entries);
  void WriteInteger(const std::string& section, const std::string& key, int32_t value);
  void EraseSection(const std::string& section);
  // Whether WriteString would take these texts (it refuses what would break the file's
  // lines), so that a caller can leave such a value out before writing anything.
  static bool IsWritable(const std::string& section, const std::string& key, const std::string& value);
  void DeleteKey(const std::string& section, const std::string& key);

  // The key names of the section in file order (listing limited to 16384 bytes of
  // names); empty for a missing section.
  void ReadSection(const std::string& section, TStrings* keys) const;
  // Every key of the section: ReadSection's listing stops at 16384 bytes of names.
  void ReadAllKeys(const std::string& section, TStrings* keys) const;
  void ReadSections(TStrings* sections) const;
  bool SectionExists(const std::string& section) const;
  bool ValueExists(const std::string& section, const std::string& key) const;

 private:
  // The whole zero-separated listing: the sections (section nullptr) or a section's keys.
  void ReadWholeList(const char* section, TStrings* names) const;

  std::string fileName_;
};

// One section of an INI file read at once: each read answers as the same read of the
// TIniFile did when the section was read; later writes to the file are not seen.
class TIniSection {
 public:
  TIniSection(const TIniFile& file, const std::string& section);

  std::string ReadString(const std::string& key, const std::string& def) const;
  int32_t ReadInteger(const std::string& key, int32_t def) const;
  // Every key in file order, as TIniFile::ReadAllKeys lists them.
  void ReadKeys(TStrings* keys) const;

 private:
  platform::ProfileSection section_;
};
