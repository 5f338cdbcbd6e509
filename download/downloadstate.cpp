#include "download/downloadstate.h"

#include <algorithm>

#include "download/multiparthttpdownloader.h"

namespace {

constexpr const char* kMagic = "segmented-download 1";

// A decimal number without sign or leading zeros, at most kMaxDocumentLength.
bool ParseCount(const std::string& text, int64_t& value) {
  // One spelling per number, as FormatDownloadState writes it.
  if (text.empty() || text.size() > 19 || (text.size() > 1 && text[0] == '0')) return false;
  uint64_t v = 0;  // 19 digits fit
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  if (v > static_cast<uint64_t>(kMaxDocumentLength)) return false;
  value = static_cast<int64_t>(v);
  return true;
}

bool HasLineBreak(const std::string& s) { return s.find_first_of("\r\n") != std::string::npos; }

}  // namespace

std::string FormatDownloadState(const TDownloadState& state) {
  std::string out = std::string(kMagic) + "\n";
  out += "url " + state.URL + "\n";
  out += "length " + std::to_string(state.Length) + "\n";
  out += "validator " + state.Validator + "\n";
  for (const TDownloadPartState& p : state.Parts)
    out += "part " + std::to_string(p.StartOffset) + " " + std::to_string(p.EndOffset) + " " +
           std::to_string(p.Held) + "\n";
  out += "end\n";
  return out;
}

bool ParseDownloadState(const std::string& text, TDownloadState& state) {
  state = TDownloadState();
  std::vector<std::string> lines;
  size_t at = 0;
  while (at < text.size()) {
    const size_t nl = text.find('\n', at);
    if (nl == std::string::npos) return false;  // cut short
    lines.push_back(text.substr(at, nl - at));
    at = nl + 1;
  }
  if (lines.size() < 6 || lines.size() > 5 + kMaxStateParts) return false;
  if (lines[0] != kMagic || lines.back() != "end") return false;
  auto field = [](const std::string& line, const std::string& name, std::string& value) {
    if (line.compare(0, name.size() + 1, name + " ") != 0) return false;
    value = line.substr(name.size() + 1);
    return true;
  };
  std::string length;
  if (!field(lines[1], "url", state.URL) || !field(lines[2], "length", length) ||
      !field(lines[3], "validator", state.Validator))
    return false;
  if (state.URL.empty() || state.Validator.empty() || HasLineBreak(state.URL) || HasLineBreak(state.Validator))
    return false;
  if (!ParseCount(length, state.Length) || state.Length < 1) return false;

  // The parts tile the document as the downloader lays them out: from 0, each starting
  // one past the previous end, the last one asking up to the length itself.
  int64_t next = 0;
  for (size_t i = 4; i + 1 < lines.size(); ++i) {
    std::string rest;
    if (!field(lines[i], "part", rest)) return false;
    const size_t a = rest.find(' ');
    const size_t b = a == std::string::npos ? a : rest.find(' ', a + 1);
    if (b == std::string::npos) return false;
    TDownloadPartState p;
    if (!ParseCount(rest.substr(0, a), p.StartOffset) || !ParseCount(rest.substr(a + 1, b - a - 1), p.EndOffset) ||
        !ParseCount(rest.substr(b + 1), p.Held))
      return false;
    if (p.StartOffset != next || p.EndOffset < p.StartOffset || p.EndOffset > state.Length) return false;
    const int64_t span = std::min(p.EndOffset + 1, state.Length) - p.StartOffset;
    if (p.Held > span) return false;
    next = p.EndOffset + 1;
    state.Parts.push_back(p);
  }
  return next == state.Length + 1;
}
