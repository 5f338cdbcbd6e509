// An INI file's text as lines, read from bytes without any I/O and kept byte for byte,
// so that an edit changes only what it must. The rules are those of the private-profile
// functions: ';' comment lines, "[name]" section headers, "name=value" entries of the
// section above them (lines before the first section belong to none), blanks trimmed
// around names and values, one pair of surrounding quotes removed from a value, names
// compared case-insensitively in ASCII, a UTF-8 byte order mark kept. Lines end in LF or
// CR LF; the bytes may be cut anywhere, the result is the same.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace platform {

enum class IniLineKind { Other, Section, Entry };

struct IniLine {
  std::string text;  // without its line end
  std::string eol;   // "\n", "\r\n", or empty for a last line without one
  IniLineKind kind = IniLineKind::Other;
  std::string name;     // section or key name, trimmed
  std::string value;    // entries: trimmed and unquoted
  std::string section;  // entries: the section they belong to
};

// Reads the bytes of a file as they come. Put takes every byte it is given; Finish ends
// the last line when the file has no line end after it.
class IniReader {
 public:
  enum class State {
    Bom,     // the first bytes may still turn out to be a byte order mark
    Line,    // inside a line
    CrSeen,  // a CR that ends the line if an LF follows
    Done     // Finish has run; nothing more is taken
  };

  size_t Put(const char* data, size_t size);
  void Finish();
  State CurrentState() const { return state_; }
  const std::string& Bom() const { return bom_; }
  // The complete lines so far, classified.
  const std::vector<IniLine>& Lines() const { return lines_; }
  std::vector<IniLine> TakeLines() { return std::move(lines_); }

 private:
  void EndLine(const char* eol);

  State state_ = State::Bom;
  std::string bom_;
  std::string pending_;  // the line being read
  std::string section_;  // the section of the lines now read
  bool inSection_ = false;
  std::vector<IniLine> lines_;
};

// Classifies one line: the section state is that of the lines above it and is updated
// by a section header.
void ClassifyIniLine(IniLine& line, bool& inSection, std::string& section);

bool SameIniName(std::string_view a, std::string_view b);
// The form in which names that SameIniName takes for one are equal: ASCII folded.
std::string IniNameKey(std::string_view name);

// The whole file, with the lookups and edits the profile functions make.
class IniDocument {
 public:
  explicit IniDocument(std::string_view content);

  std::string Text() const;
  std::vector<std::string> SectionNames() const;
  std::vector<std::string> KeyNames(std::string_view section) const;
  // The entries Find answers with, in file order: a key's first occurrence, and only names
  // the key listing can show.
  std::vector<const IniLine*> Entries(std::string_view section) const;
  // A section that appears twice reads as one; the first occurrence of a key wins.
  const IniLine* Find(std::string_view section, std::string_view key) const;
  // Sets an existing key where it stands, else appends it to its section (after the
  // section's last entry) or a new section at the end.
  void SetValue(std::string_view section, std::string_view key, std::string_view value);
  // What SetValue for each pair in turn would leave, in one pass over the lines.
  void SetValues(std::string_view section, const std::vector<std::pair<std::string_view, std::string_view>>& values);
  void DeleteKey(std::string_view section, std::string_view key);
  void DeleteSection(std::string_view section);
  const std::vector<IniLine>& Lines() const { return lines_; }

 private:
  void Insert(size_t at, std::string text);
  void Reindex();

  std::string bom_;
  std::string newline_;
  std::vector<IniLine> lines_;
};

// Blanks as the profile functions trim them around names and values.
std::string_view TrimIniBlanks(std::string_view s);

}  // namespace platform
