#include "http/contentrange.h"

namespace {

// A decimal number of at most 18 digits (no sign, no blanks); false otherwise.
bool Number(const std::string& text, int64_t& value) {
  if (text.empty() || text.size() > 18) return false;
  value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  return true;
}

}  // namespace

TContentRange ParseContentRange(const std::string& value) {
  TContentRange r;
  const size_t dash = value.find('-');
  const size_t slash = value.find('/');
  if (dash != std::string::npos && dash > 6) r.First = value.substr(6, dash - 6);
  if (dash != std::string::npos && slash != std::string::npos && slash > dash)
    r.Last = value.substr(dash + 1, slash - dash - 1);

  if (value.compare(0, 6, "bytes ") != 0 || slash == std::string::npos || slash < dash) return r;
  int64_t first, last, total = -1;
  const std::string totalText = value.substr(slash + 1);
  if (!Number(r.First, first) || !Number(r.Last, last) || first > last) return r;
  if (totalText != "*" && (!Number(totalText, total) || last >= total)) return r;
  r.Valid = true;
  r.FirstByte = first;
  r.LastByte = last;
  r.Total = total;
  return r;
}
