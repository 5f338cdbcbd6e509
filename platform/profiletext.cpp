#include "platform/profiletext.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace platform::profiletext {

namespace {

constexpr std::string_view kBlanks = " \t\r\v\f";
constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

}  // namespace

std::string_view TrimBlanks(std::string_view s) {
  const size_t first = s.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  return s.substr(first, s.find_last_not_of(kBlanks) - first + 1);
}

namespace {

std::string_view TrimRightBlanks(std::string_view s) {
  const size_t last = s.find_last_not_of(kBlanks);
  return last == std::string_view::npos ? std::string_view() : s.substr(0, last + 1);
}

// Names compare case-insensitively in ASCII; other bytes (UTF-8) must match exactly.
bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]);
    unsigned char y = static_cast<unsigned char>(b[i]);
    if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x + 32);
    if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y + 32);
    if (x != y) return false;
  }
  return true;
}

// One pair of matching quotes around a value is not part of it.
std::string_view Unquote(std::string_view v) {
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
    return v.substr(1, v.size() - 2);
  return v;
}

enum class Kind { Other, Section, Entry };

struct Line {
  std::string text;
  std::string eol;  // "\n", "\r\n", or empty for a last line without one
};

struct Item {
  Kind kind = Kind::Other;
  std::string name;
  std::string value;
  std::string section;  // entries: the section they belong to
};

// The file as lines, kept byte for byte so that a write changes only what it must.
class Profile {
 public:
  Profile(const std::string& content, const char* newline) {
    size_t pos = 0;
    if (content.compare(0, kUtf8Bom.size(), kUtf8Bom) == 0) {
      bom_ = kUtf8Bom;
      pos = kUtf8Bom.size();
    }
    while (pos < content.size()) {
      const size_t nl = content.find('\n', pos);
      if (nl == std::string::npos) {
        lines_.push_back({content.substr(pos), ""});
        break;
      }
      Line line{content.substr(pos, nl - pos), "\n"};
      if (!line.text.empty() && line.text.back() == '\r') {
        line.text.pop_back();
        line.eol = "\r\n";
      }
      if (newline_.empty()) newline_ = line.eol;
      lines_.push_back(std::move(line));
      pos = nl + 1;
    }
    if (newline_.empty()) newline_ = newline;
    Reindex();
  }

  std::string Text() const {
    std::string out = bom_;
    for (const Line& line : lines_) out += line.text + line.eol;
    return out;
  }

  std::vector<std::string> SectionNames() const {
    std::vector<std::string> names;
    for (const Item& item : items_)
      if (item.kind == Kind::Section) AddDistinct(&names, item.name);
    return names;
  }

  std::vector<std::string> KeyNames(std::string_view section) const {
    std::vector<std::string> names;
    for (const Item& item : items_)
      if (IsEntryOf(item, section)) AddDistinct(&names, item.name);
    return names;
  }

  // A section that appears twice reads as one; the first occurrence of a key wins.
  const Item* Find(std::string_view section, std::string_view key) const {
    for (const Item& item : items_)
      if (IsEntryOf(item, section) && SameName(item.name, key)) return &item;
    return nullptr;
  }

  void SetValue(std::string_view section, std::string_view key, std::string_view value) {
    if (const Item* item = Find(section, key)) {
      lines_[static_cast<size_t>(item - items_.data())].text = item->name + "=" + std::string(value);
      Reindex();
      return;
    }
    const std::string entry = std::string(key) + "=" + std::string(value);
    for (size_t i = 0; i < items_.size(); ++i) {
      if (items_[i].kind != Kind::Section || !SameName(items_[i].name, section)) continue;
      // After the section's last entry, so that comments and blank lines that close
      // the section stay where they are.
      size_t at = i + 1;
      for (size_t j = i + 1; j < items_.size() && items_[j].kind != Kind::Section; ++j)
        if (items_[j].kind == Kind::Entry) at = j + 1;
      Insert(at, entry);
      Reindex();
      return;
    }
    Insert(lines_.size(), "[" + std::string(section) + "]");
    Insert(lines_.size(), entry);
    Reindex();
  }

  void DeleteKey(std::string_view section, std::string_view key) {
    for (size_t i = items_.size(); i-- > 0;)
      if (IsEntryOf(items_[i], section) && SameName(items_[i].name, key))
        lines_.erase(lines_.begin() + static_cast<ptrdiff_t>(i));
    Reindex();
  }

  void DeleteSection(std::string_view section) {
    std::vector<bool> drop(items_.size(), false);
    bool inside = false;
    for (size_t i = 0; i < items_.size(); ++i) {
      if (items_[i].kind == Kind::Section) inside = SameName(items_[i].name, section);
      drop[i] = inside;
    }
    for (size_t i = items_.size(); i-- > 0;)
      if (drop[i]) lines_.erase(lines_.begin() + static_cast<ptrdiff_t>(i));
    Reindex();
  }

 private:
  static void AddDistinct(std::vector<std::string>* names, const std::string& name) {
    if (name.empty()) return;  // an empty name would end a zero-separated list early
    for (const std::string& n : *names)
      if (SameName(n, name)) return;
    names->push_back(name);
  }

  static bool IsEntryOf(const Item& item, std::string_view section) {
    return item.kind == Kind::Entry && SameName(item.section, section);
  }

  void Insert(size_t at, std::string text) {
    if (at > 0 && lines_[at - 1].eol.empty()) lines_[at - 1].eol = newline_;
    lines_.insert(lines_.begin() + static_cast<ptrdiff_t>(at), Line{std::move(text), newline_});
  }

  // Classifies every line: a section header, an entry of a section, or anything else
  // (blank lines, ';' comments, lines before the first section, a '[' without ']').
  void Reindex() {
    items_.assign(lines_.size(), Item());
    bool inSection = false;
    std::string section;
    for (size_t i = 0; i < lines_.size(); ++i) {
      Item& item = items_[i];
      const std::string_view text = TrimBlanks(lines_[i].text);
      if (text.empty() || text.front() == ';') continue;
      if (text.front() == '[') {
        const size_t close = text.find(']');
        if (close == std::string_view::npos) continue;
        item.kind = Kind::Section;
        item.name = TrimBlanks(text.substr(1, close - 1));
        section = item.name;
        inSection = true;
        continue;
      }
      if (!inSection) continue;
      const size_t eq = text.find('=');
      item.name = TrimBlanks(text.substr(0, eq));
      if (item.name.empty()) continue;
      item.kind = Kind::Entry;
      if (eq != std::string_view::npos) item.value = Unquote(TrimBlanks(text.substr(eq + 1)));
      item.section = section;
    }
  }

  std::string bom_;
  std::string newline_;
  std::vector<Line> lines_;
  std::vector<Item> items_;  // one per line
};

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

// Text that would change the file's structure when written.
bool BreaksLine(std::string_view s) { return s.find_first_of("\r\n") != std::string_view::npos; }

}  // namespace

bool ValidWrite(std::string_view section, const char* key, const char* value) {
  if (BreaksLine(section) || section.find(']') != std::string_view::npos) return false;
  if (key == nullptr) return true;
  const std::string_view k = TrimBlanks(key);
  if (k.empty() || BreaksLine(k) || k.find('=') != std::string_view::npos || k.front() == ';' ||
      k.front() == '[')
    return false;
  return value == nullptr || !BreaksLine(value);
}

DWORD Read(const std::string& content, const char* section, const char* key, const char* def, char* buffer,
           DWORD size) {
  const Profile profile(content, "\n");
  if (section == nullptr) return CopyList(profile.SectionNames(), buffer, size);
  if (key == nullptr) return CopyList(profile.KeyNames(TrimBlanks(section)), buffer, size);
  if (const Item* item = profile.Find(TrimBlanks(section), TrimBlanks(key))) {
    return CopyString(item->value, buffer, size);
  }
  return CopyString(TrimRightBlanks(def ? def : ""), buffer, size);
}

std::string Write(const std::string& content, std::string_view section, const char* key, const char* value,
                  const char* newline) {
  Profile profile(content, newline);
  if (key == nullptr) {
    profile.DeleteSection(section);
  } else if (value == nullptr) {
    profile.DeleteKey(section, TrimBlanks(key));
  } else {
    profile.SetValue(section, TrimBlanks(key), value);
  }
  return profile.Text();
}

}  // namespace platform::profiletext
