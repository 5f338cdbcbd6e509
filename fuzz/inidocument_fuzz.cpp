// INI text: the first two bytes choose where the rest is cut in two. Checked: the cut
// does not change the lines; the document gives back every byte it read; every listed
// name is found; a write the profile functions accept reads back as written, and an
// erased section is gone.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/inidocument.h"
#include "platform/profile.h"

using namespace platform;

namespace {

bool SameLines(const std::vector<IniLine>& a, const std::vector<IniLine>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i].text != b[i].text || a[i].eol != b[i].eol || a[i].kind != b[i].kind || a[i].name != b[i].name ||
        a[i].value != b[i].value || a[i].section != b[i].section)
      return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const std::string text(reinterpret_cast<const char*>(data + 2), size - 2);
  const size_t cut = (static_cast<size_t>(data[0]) << 8 | data[1]) % (text.size() + 1);

  IniReader whole;
  if (whole.Put(text.data(), text.size()) != text.size()) std::abort();
  whole.Finish();
  IniReader pieces;
  pieces.Put(text.data(), cut);
  pieces.Put(text.data() + cut, text.size() - cut);
  pieces.Finish();
  if (whole.Bom() != pieces.Bom() || !SameLines(whole.Lines(), pieces.Lines())) std::abort();

  IniDocument doc(text);
  if (doc.Text() != text) std::abort();
  for (const std::string& section : doc.SectionNames())
    for (const std::string& key : doc.KeyNames(section))
      if (doc.Find(section, key) == nullptr) std::abort();

  // A write into the first section (or a new one), as the profile functions make it.
  const std::vector<std::string> sections = doc.SectionNames();
  const std::string section = sections.empty() ? "new" : sections.front();
  const std::string key = "Fuzz.Key";
  const std::string value = text.substr(0, std::min<size_t>(cut, 16));
  if (IsWritableProfileEntry(section, key, value)) {
    doc.SetValue(section, key, value);
    const IniDocument again(doc.Text());
    const IniLine* found = again.Find(section, key);
    // The value reads as it would on a line of its own.
    const IniDocument alone("[s]\nk=" + value);
    if (found == nullptr || found->value != alone.Find("s", "k")->value) std::abort();
    doc.DeleteSection(section);
    const IniDocument erased(doc.Text());
    if (erased.Find(section, key) != nullptr || !erased.KeyNames(section).empty()) std::abort();
  }
  return 0;
}
