// What an installation is about to change, kept beside the update record until it is
// complete: every file it replaces or adds (with where its old version was copied) and
// the record's own copy. Found at the next start, it means the installation was cut off
// and is to be undone. The text is read and written without I/O here.
#pragma once

#include <string>
#include <vector>

struct TJournalEntry {
  std::string Target;   // relative to the application directory, as the manifest names it
  bool Existed = false;  // a copy of the old file is kept as backup number Index
  int Index = 0;
};

struct TInstallJournal {
  bool RecordExisted = false;  // the record's old version is kept as a backup
  std::vector<TJournalEntry> Entries;
};

std::string FormatInstallJournal(const TInstallJournal& journal);
// False for a damaged or cut-short text.
bool ParseInstallJournal(const std::string& text, TInstallJournal& journal);
