// The HTTP response parser: a server's answer is untrusted. Besides not crashing, the
// parser must read the bytes the same wherever the network cuts them.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/support/http_transcript.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  for (bool head : {false, true}) {
    const std::string whole = testsupport::HttpTranscript({input}, head);
    if (size < 2) continue;
    // Cuts taken from the input itself, so each input tries its own.
    size_t hash = 0;
    for (uint8_t b : input) hash = hash * 131 + b;
    const size_t first = 1 + hash % (size - 1);
    const size_t second = first + (hash / 7) % (size - first + 1);
    const std::string cut = testsupport::HttpTranscript(
        {input.substr(0, first), input.substr(first, second - first), input.substr(second)}, head);
    if (cut != whole) {
      std::fprintf(stderr, "cut at %zu and %zu reads otherwise:\n%s\n---\n%s\n", first, second,
                   whole.c_str(), cut.c_str());
      std::abort();
    }
  }
  return 0;
}
