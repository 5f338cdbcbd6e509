// TOutputFileStream: where a command-line program writes what it fetched, named the way
// such programs take it. "-" is standard output; an existing device or pipe (the null
// device, a terminal, a named pipe) is written as it is; any other name is a regular
// file, written under a hidden name beside it and renamed over it by Commit, so that
// nothing half-written ever stands under the final name. Without Commit the hidden file
// is removed and an existing file keeps its old contents.
#pragma once

#include <cstdint>
#include <string>

#include "base/classes.h"

class TOutputFileStream : public TStream {
 public:
  // EFCreateError naming the file, and the folder when that is missing or cannot be
  // written. With needsSeek a destination that cannot seek (a pipe, a terminal) is
  // spooled to a temporary file and copied out by Commit, so that blocks can be written
  // at any offset.
  explicit TOutputFileStream(const std::string& name, bool needsSeek = false);
  ~TOutputFileStream() override;
  const char* ClassName() const override { return "TOutputFileStream"; }

  int64_t Read(void* buffer, int64_t count) override;
  // Fewer bytes than asked (0) when the destination refuses them; WriteError says why.
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;
  // A device or pipe written directly has no size of its own: Size is 0 and SetSize
  // does nothing there.
  void SetSize(int64_t size) override;
  int64_t Size() override;

  // Puts the data under the final name (or copies the spool out). EFCreateError naming
  // the file when that fails; the hidden file is removed then.
  void Commit();

  const std::string& FileName() const { return name_; }
  // Written straight to standard output, a device or a pipe (spooled or not).
  bool Direct() const { return direct_ != kNoHandle; }
  // The system's text for the first write that failed; empty while none has.
  const std::string& WriteError() const { return writeError_; }

 private:
  static constexpr intptr_t kNoHandle = -1;
  // Where writes go now: the hidden file, the spool or the destination itself.
  intptr_t Target() const;
  [[noreturn]] void FailCreate(const std::string& reason);
  void CopySpoolOut();
  void Discard();

  std::string name_;
  std::string temp_;   // the hidden file beside the final name, or the spool
  intptr_t file_ = kNoHandle;    // handle of temp_
  intptr_t direct_ = kNoHandle;  // standard output, device or pipe
  bool ownsDirect_ = false;      // standard output stays open
  bool spooled_ = false;
  bool committed_ = false;
  std::string writeError_;
};
