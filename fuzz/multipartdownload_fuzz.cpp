// The segmented downloader against scripted answers: a loopback server answers each
// request (the probe and every range, in whatever order they come) with the next piece
// of the input. The first byte chooses one or two parts; the rest is split at
// "\n=====\n" into the answers. Relocations are renamed away so that every request stays
// on loopback and no name is looked up.
// Checked: the download ends once; nothing is written outside the announced length; a
// download reported complete has every byte of it written.
#include "download/multiparthttpdownloader.h"
#include "fuzz/scripted_peer.h"

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using Writes = std::vector<std::pair<int64_t, int64_t>>;

// Whether [0, length) is written without a gap.
bool Covers(Writes writes, int64_t length) {
  std::sort(writes.begin(), writes.end());
  int64_t reached = 0;
  for (const auto& [from, to] : writes) {
    if (from > reached) return false;
    reached = std::max(reached, to);
  }
  return reached == length;
}

// Remembers which bytes were written where (in a log that outlives it), without
// keeping them.
class TCoverageStream : public TStream {
 public:
  explicit TCoverageStream(Writes* log, bool* freed) : writes(*log), freed_(freed) {}
  ~TCoverageStream() override { *freed_ = true; }
  int64_t Read(void*, int64_t) override { return 0; }
  int64_t Write(const void*, int64_t count) override {
    if (count > 0) writes.emplace_back(position_, position_ + count);
    position_ += count;
    size_ = std::max(size_, position_);
    return count;
  }
  int64_t Seek(int64_t offset, TSeekOrigin origin) override {
    if (origin == TSeekOrigin::soBeginning) position_ = offset;
    else if (origin == TSeekOrigin::soCurrent) position_ += offset;
    else position_ = size_ + offset;
    return position_;
  }
  // What lay past the new end is gone from the file.
  void SetSize(int64_t size) override {
    size_ = size;
    Writes kept;
    for (const auto& [from, to] : writes)
      if (from < size) kept.emplace_back(from, std::min(to, size));
    writes = kept;
  }
  Writes& writes;
  bool* freed_;
  int64_t position_ = 0;
  int64_t size_ = 0;
};

void RenameRelocations(std::string& s) {
  for (size_t at = 0; (at = s.find("ocation", at)) != std::string::npos; at += 7)
    if (at > 0 && (s[at - 1] == 'L' || s[at - 1] == 'l')) s[at - 1] = 'X';
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static fuzzpeer::Server* server = new fuzzpeer::Server();
  if (size < 1) return 0;
  const uint8_t options = data[0];
  std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
  RenameRelocations(rest);
  server->Script(fuzzpeer::SplitAnswers(rest));

  int doneCount = 0;
  int32_t code = 0;
  Writes writes;
  bool freed = false;
  bool freedAtDone = false;
  {
    TMultipartHttpDownloader d(nullptr);
    d.URL = "http://127.0.0.1:" + std::to_string(server->Port()) + "/pkg.7z";
    d.PartCount = 1 + (options & 1);
    // Pauses and the stall limit short enough for many inputs a second.
    d.RetryDelayMs = 1;
    d.MaxRetryDelayMs = 2;
    d.MaxRetryAfterMs = 5;
    d.StallTimeoutMs = 200;
    d.FileStream = new TCoverageStream(&writes, &freed);
    d.OnRequestDone = [&](TObject*, int32_t c, const std::string&) {
      ++doneCount;
      code = c;
      freedAtDone = freed && d.FileStream == nullptr;
    };
    d.Start();
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (doneCount == 0 && std::chrono::steady_clock::now() < until) {
      platform::MsgWaitForInput(10);
      fuzzpeer::Pump();
    }
    for (int i = 0; i < 3; ++i) fuzzpeer::Pump();
    if (doneCount > 1) std::abort();  // one download ends once
    for (const auto& [from, to] : writes)
      if (from < 0 || to > d.ContentLength) std::abort();  // outside the document
    if (code == 200 && !Covers(writes, d.ContentLength)) std::abort();  // "complete" with a gap
    if ((code == 200) != freedAtDone) std::abort();  // freed on success only
    delete d.FileStream;
    d.FileStream = nullptr;
  }
  fuzzpeer::Pump();
  server->Script({});
  return 0;
}
