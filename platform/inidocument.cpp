#include "platform/inidocument.h"

#include <unordered_map>
#include <unordered_set>

namespace platform {

namespace {

constexpr std::string_view kBlanks = " \t\r\v\f";
constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

// One pair of matching quotes around a value is not part of it.
std::string_view Unquote(std::string_view v) {
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
    return v.substr(1, v.size() - 2);
  return v;
}

bool IsEntryOf(const IniLine& line, std::string_view section) {
  return line.kind == IniLineKind::Entry && SameIniName(line.section, section);
}

// An empty name would end a zero-separated list early, and one holding a zero would come
// out as two names, neither of which is in the file.
bool Listable(const std::string& name) { return !name.empty() && name.find('\0') == std::string::npos; }

void AddDistinct(std::vector<std::string>* names, const std::string& name) {
  if (!Listable(name)) return;
  for (const std::string& n : *names)
    if (SameIniName(n, name)) return;
  names->push_back(name);
}

}  // namespace

std::string_view TrimIniBlanks(std::string_view s) {
  const size_t first = s.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  return s.substr(first, s.find_last_not_of(kBlanks) - first + 1);
}

// Names compare case-insensitively in ASCII; other bytes (UTF-8) must match exactly.
bool SameIniName(std::string_view a, std::string_view b) {
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

std::string IniNameKey(std::string_view name) {
  std::string key(name);
  for (char& c : key)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  return key;
}

// A section header, an entry of a section, or anything else (blank lines, ';' comments,
// lines before the first section, a '[' without ']').
void ClassifyIniLine(IniLine& line, bool& inSection, std::string& section) {
  line.kind = IniLineKind::Other;
  line.name.clear();
  line.value.clear();
  line.section.clear();
  const std::string_view text = TrimIniBlanks(line.text);
  if (text.empty() || text.front() == ';') return;
  if (text.front() == '[') {
    const size_t close = text.find(']');
    if (close == std::string_view::npos) return;
    line.kind = IniLineKind::Section;
    line.name = TrimIniBlanks(text.substr(1, close - 1));
    section = line.name;
    inSection = true;
    return;
  }
  if (!inSection) return;
  const size_t eq = text.find('=');
  line.name = TrimIniBlanks(text.substr(0, eq));
  if (line.name.empty()) return;
  line.kind = IniLineKind::Entry;
  if (eq != std::string_view::npos) line.value = Unquote(TrimIniBlanks(text.substr(eq + 1)));
  line.section = section;
}

// ---------------------------------------------------------------------------------------
// IniReader

size_t IniReader::Put(const char* data, size_t size) {
  for (size_t i = 0; i < size; ++i) {
    const char c = data[i];
    switch (state_) {
      case State::Done:
        return i;
      case State::Bom:
        pending_ += c;
        if (kUtf8Bom.compare(0, pending_.size(), pending_) == 0) {
          if (pending_.size() == kUtf8Bom.size()) {
            bom_ = pending_;
            pending_.clear();
            state_ = State::Line;
          }
          continue;
        }
        // Not a mark after all: the bytes so far start the first line.
        {
          std::string start;
          start.swap(pending_);
          state_ = State::Line;
          Put(start.data(), start.size());
        }
        continue;
      case State::CrSeen:
        if (c == '\n') {
          EndLine("\r\n");
          state_ = State::Line;
          continue;
        }
        pending_ += '\r';
        state_ = State::Line;
        [[fallthrough]];
      case State::Line:
        if (c == '\n')
          EndLine("\n");
        else if (c == '\r')
          state_ = State::CrSeen;
        else
          pending_ += c;
        continue;
    }
  }
  return size;
}

void IniReader::Finish() {
  if (state_ == State::Done) return;
  if (state_ == State::CrSeen) pending_ += '\r';
  if (!pending_.empty()) EndLine("");
  state_ = State::Done;
}

void IniReader::EndLine(const char* eol) {
  IniLine line;
  line.text.swap(pending_);
  line.eol = eol;
  ClassifyIniLine(line, inSection_, section_);
  lines_.push_back(std::move(line));
}

// ---------------------------------------------------------------------------------------
// IniDocument

IniDocument::IniDocument(std::string_view content) {
  IniReader reader;
  reader.Put(content.data(), content.size());
  reader.Finish();
  bom_ = reader.Bom();
  lines_ = reader.TakeLines();
  newline_ = lines_.empty() || lines_.front().eol.empty() ? "\n" : lines_.front().eol;
}

std::string IniDocument::Text() const {
  std::string out = bom_;
  for (const IniLine& line : lines_) out += line.text + line.eol;
  return out;
}

std::vector<std::string> IniDocument::SectionNames() const {
  std::vector<std::string> names;
  for (const IniLine& line : lines_)
    if (line.kind == IniLineKind::Section) AddDistinct(&names, line.name);
  return names;
}

std::vector<std::string> IniDocument::KeyNames(std::string_view section) const {
  std::vector<std::string> names;
  for (const IniLine* line : Entries(section)) names.push_back(line->name);
  return names;
}

std::vector<const IniLine*> IniDocument::Entries(std::string_view section) const {
  // Hashed: a manifest section holds thousands of keys.
  std::vector<const IniLine*> entries;
  std::unordered_set<std::string> seen;
  for (const IniLine& line : lines_)
    if (IsEntryOf(line, section) && Listable(line.name) && seen.insert(IniNameKey(line.name)).second)
      entries.push_back(&line);
  return entries;
}

const IniLine* IniDocument::Find(std::string_view section, std::string_view key) const {
  for (const IniLine& line : lines_)
    if (IsEntryOf(line, section) && SameIniName(line.name, key)) return &line;
  return nullptr;
}

void IniDocument::SetValue(std::string_view section, std::string_view key, std::string_view value) {
  if (const IniLine* found = Find(section, key)) {
    lines_[static_cast<size_t>(found - lines_.data())].text = found->name + "=" + std::string(value);
    Reindex();
    return;
  }
  const std::string entry = std::string(key) + "=" + std::string(value);
  for (size_t i = 0; i < lines_.size(); ++i) {
    if (lines_[i].kind != IniLineKind::Section || !SameIniName(lines_[i].name, section)) continue;
    // After the section's last entry, so that comments and blank lines that close the
    // section stay where they are.
    size_t at = i + 1;
    for (size_t j = i + 1; j < lines_.size() && lines_[j].kind != IniLineKind::Section; ++j)
      if (lines_[j].kind == IniLineKind::Entry) at = j + 1;
    Insert(at, entry);
    Reindex();
    return;
  }
  Insert(lines_.size(), "[" + std::string(section) + "]");
  Insert(lines_.size(), entry);
  Reindex();
}

void IniDocument::SetValues(std::string_view section,
                            const std::vector<std::pair<std::string_view, std::string_view>>& values) {
  // Each SetValue would search and reclassify every line: a record's thousands of file
  // dates made that quadratic. Keys already there are set in place; the others go, in
  // order, after the last entry of the section's first block, or into a new section.
  std::unordered_map<std::string, size_t> existing;
  for (size_t i = 0; i < lines_.size(); ++i)
    if (IsEntryOf(lines_[i], section)) existing.emplace(IniNameKey(lines_[i].name), i);
  std::vector<IniLine> added;
  std::unordered_map<std::string, size_t> addedAt;
  for (const auto& [key, value] : values) {
    const std::string folded = IniNameKey(key);
    if (const auto it = existing.find(folded); it != existing.end()) {
      lines_[it->second].text = lines_[it->second].name + "=" + std::string(value);
    } else if (const auto at = addedAt.find(folded); at != addedAt.end()) {
      added[at->second].text = added[at->second].name + "=" + std::string(value);
    } else {
      IniLine line;
      line.name = std::string(key);
      line.text = line.name + "=" + std::string(value);
      line.eol = newline_;
      addedAt.emplace(folded, added.size());
      added.push_back(std::move(line));
    }
  }
  if (added.empty()) {
    Reindex();
    return;
  }
  size_t at = lines_.size();
  bool found = false;
  for (size_t i = 0; i < lines_.size() && !found; ++i) {
    if (lines_[i].kind != IniLineKind::Section || !SameIniName(lines_[i].name, section)) continue;
    found = true;
    at = i + 1;
    for (size_t j = i + 1; j < lines_.size() && lines_[j].kind != IniLineKind::Section; ++j)
      if (lines_[j].kind == IniLineKind::Entry) at = j + 1;
  }
  if (!found) {
    Insert(lines_.size(), "[" + std::string(section) + "]");
    at = lines_.size();
  }
  if (at > 0 && lines_[at - 1].eol.empty()) lines_[at - 1].eol = newline_;
  lines_.insert(lines_.begin() + static_cast<ptrdiff_t>(at), std::make_move_iterator(added.begin()),
                std::make_move_iterator(added.end()));
  Reindex();
}

void IniDocument::DeleteKey(std::string_view section, std::string_view key) {
  for (size_t i = lines_.size(); i-- > 0;)
    if (IsEntryOf(lines_[i], section) && SameIniName(lines_[i].name, key))
      lines_.erase(lines_.begin() + static_cast<ptrdiff_t>(i));
  Reindex();
}

void IniDocument::DeleteSection(std::string_view section) {
  std::vector<bool> drop(lines_.size(), false);
  bool inside = false;
  for (size_t i = 0; i < lines_.size(); ++i) {
    if (lines_[i].kind == IniLineKind::Section) inside = SameIniName(lines_[i].name, section);
    drop[i] = inside;
  }
  for (size_t i = lines_.size(); i-- > 0;)
    if (drop[i]) lines_.erase(lines_.begin() + static_cast<ptrdiff_t>(i));
  Reindex();
}

void IniDocument::Insert(size_t at, std::string text) {
  if (at > 0 && lines_[at - 1].eol.empty()) lines_[at - 1].eol = newline_;
  IniLine line;
  line.text = std::move(text);
  line.eol = newline_;
  lines_.insert(lines_.begin() + static_cast<ptrdiff_t>(at), std::move(line));
}

void IniDocument::Reindex() {
  bool inSection = false;
  std::string section;
  for (IniLine& line : lines_) ClassifyIniLine(line, inSection, section);
}

}  // namespace platform
