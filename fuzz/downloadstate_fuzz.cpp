// A download's state file and an installation's journal, as a crash, a full disk or a
// hand may leave them. Checked: whatever is accepted is written back to the same text
// and reads back the same; accepted states tile their document.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "download/downloadstate.h"
#include "updater/installjournal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  TDownloadState state;
  if (ParseDownloadState(text, state)) {
    if (FormatDownloadState(state) != text) std::abort();
    int64_t next = 0;
    for (const TDownloadPartState& p : state.Parts) {
      if (p.StartOffset != next || p.Held < 0 || p.StartOffset + p.Held > state.Length) std::abort();
      next = p.EndOffset + 1;
    }
  }
  TInstallJournal journal;
  if (ParseInstallJournal(text, journal)) {
    TInstallJournal again;
    if (!ParseInstallJournal(FormatInstallJournal(journal), again) || FormatInstallJournal(again) != FormatInstallJournal(journal))
      std::abort();
  }
  return 0;
}
