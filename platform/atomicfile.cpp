#include "platform/atomicfile.h"

#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <stdio.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "platform/oserror.h"

namespace platform {

namespace {

std::string UniqueSuffix() {
  static std::atomic<unsigned> counter{0};
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  char text[64];
  snprintf(text, sizeof text, ".%x%x%lx.tmp", static_cast<unsigned>(getpid()),
           counter.fetch_add(1), static_cast<unsigned long>(ts.tv_nsec));
  return text;
}

// Makes a completed rename durable.
void SyncDirectory(const std::string& dir) {
  const int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

}  // namespace

std::string TempNameBeside(const std::string& target) {
  const size_t slash = target.rfind('/');
  const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
  return ParentDirectory(target) + "/." + base + UniqueSuffix();
}

AtomicFile::~AtomicFile() { Discard(); }

void AtomicFile::Discard() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  if (!temp_.empty()) unlink(temp_.c_str());
  temp_.clear();
}

bool AtomicFile::Create(const std::string& target) {
  Discard();
  // A file reached through a symbolic link is replaced where it really lives.
  target_ = target;
  struct stat st;
  char real[PATH_MAX];
  if (lstat(target.c_str(), &st) == 0 && S_ISLNK(st.st_mode) &&
      realpath(target.c_str(), real) != nullptr)
    target_ = real;
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name = TempNameBeside(target_);
    fd_ = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd_ >= 0) {
      temp_ = std::move(name);
      return true;
    }
    if (errno != EEXIST) {
      // Report against the target so that a missing folder reads as such.
      SetLastErrorFromErrno(errno, target);
      return false;
    }
  }
  SetLastErrorFromErrno(EEXIST);
  return false;
}

bool AtomicFile::Write(const void* data, size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = write(fd_, p, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      SetLastErrorFromErrno(errno);
      return false;
    }
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool AtomicFile::Commit(bool replace) {
  if (fd_ < 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  if (fsync(fd_) != 0 || close(fd_) != 0) {
    SetLastErrorFromErrno(errno);
    fd_ = -1;
    Discard();
    return false;
  }
  fd_ = -1;
  int result;
  if (replace) {
    result = rename(temp_.c_str(), target_.c_str());
  } else {
    result = renameat2(AT_FDCWD, temp_.c_str(), AT_FDCWD, target_.c_str(), RENAME_NOREPLACE);
    // File systems without the flag: a hard link fails just as atomically when the name
    // is taken.
    if (result != 0 && (errno == EINVAL || errno == ENOSYS)) {
      result = link(temp_.c_str(), target_.c_str());
      if (result == 0) unlink(temp_.c_str());
    }
  }
  if (result != 0) {
    if (errno == EEXIST) {
      SetLastError(ERROR_FILE_EXISTS);
    } else {
      SetLastErrorFromErrno(errno, target_);
    }
    Discard();
    return false;
  }
  temp_.clear();
  SyncDirectory(ParentDirectory(target_));
  return true;
}

}  // namespace platform
