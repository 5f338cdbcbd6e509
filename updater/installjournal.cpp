#include "updater/installjournal.h"

namespace {

constexpr const char* kMagic = "install-journal 1";

bool ParseIndex(const std::string& text, int& value) {
  if (text.empty() || text.size() > 6 || text.find_first_not_of("0123456789") != std::string::npos) return false;
  value = std::stoi(text);
  return true;
}

}  // namespace

std::string FormatInstallJournal(const TInstallJournal& journal) {
  std::string out = std::string(kMagic) + "\n";
  out += std::string("record ") + (journal.RecordExisted ? "1" : "0") + "\n";
  for (const TJournalEntry& e : journal.Entries)
    out += "file " + std::to_string(e.Index) + " " + (e.Existed ? "1" : "0") + " " + e.Target + "\n";
  out += "end\n";
  return out;
}

bool ParseInstallJournal(const std::string& text, TInstallJournal& journal) {
  journal = TInstallJournal();
  std::vector<std::string> lines;
  for (size_t at = 0; at < text.size();) {
    const size_t nl = text.find('\n', at);
    if (nl == std::string::npos) return false;
    lines.push_back(text.substr(at, nl - at));
    at = nl + 1;
  }
  if (lines.size() < 3 || lines[0] != kMagic || lines.back() != "end") return false;
  if (lines[1] != "record 0" && lines[1] != "record 1") return false;
  journal.RecordExisted = lines[1] == "record 1";
  for (size_t i = 2; i + 1 < lines.size(); ++i) {
    const std::string& line = lines[i];
    if (line.compare(0, 5, "file ") != 0) return false;
    const size_t a = line.find(' ', 5);
    if (a == std::string::npos || a + 3 > line.size() || line[a + 2] != ' ') return false;
    TJournalEntry e;
    if (!ParseIndex(line.substr(5, a - 5), e.Index)) return false;
    if (line[a + 1] != '0' && line[a + 1] != '1') return false;
    e.Existed = line[a + 1] == '1';
    e.Target = line.substr(a + 3);
    if (e.Target.empty()) return false;
    journal.Entries.push_back(e);
  }
  return true;
}
