// A new version of a file, written beside it and renamed over it in one step, so that a
// reader or a crash sees either the old or the complete new file. Internal to platform/.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

namespace platform {

// A fresh hidden name in the folder of target, for a file that will be renamed over it.
std::string TempNameBeside(const std::string& target);

class AtomicFile {
 public:
  AtomicFile() = default;
  ~AtomicFile();  // removes a temporary file that was not committed
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;

  // Creates the temporary file in the target's folder (mode 0666 less the umask). A
  // target that is a symbolic link stays one: the file it points to is replaced.
  bool Create(const std::string& target);
  int Descriptor() const { return fd_; }
  bool Write(const void* data, size_t size);
  // Flushes the data and renames the file over the target. Without replace an existing
  // target is left alone and the call fails with ERROR_FILE_EXISTS.
  bool Commit(bool replace);

 private:
  void Discard();

  std::string target_;
  std::string temp_;
  int fd_ = -1;
};

}  // namespace platform
