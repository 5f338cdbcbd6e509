// Content-Range of a ranged answer: the segmented downloader places bytes by it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "http/contentrange.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string value(reinterpret_cast<const char*>(data), size);
  const TContentRange r = ParseContentRange(value);
  // A range said to be valid is a real one, and its texts are its numbers.
  if (r.Valid) {
    if (r.FirstByte < 0 || r.LastByte < r.FirstByte) std::abort();
    if (r.Total != -1 && r.LastByte >= r.Total) std::abort();
    if (std::to_string(r.FirstByte).size() > r.First.size()) std::abort();
  }
  if (r.First.size() > value.size() || r.Last.size() > value.size()) std::abort();
  return 0;
}
