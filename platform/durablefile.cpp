#include "platform/durablefile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "platform/atomicfile.h"
#include "platform/oserror.h"

namespace platform {

bool WriteFileAtomically(const std::string& path, const std::string& content) {
  AtomicFile file;
  return file.Create(path) && file.Write(content.data(), content.size()) && file.Commit(true);
}

bool ReadSmallFile(const std::string& path, size_t maxSize, std::string* content) {
  content->clear();
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    SetLastErrorFromErrno(errno, path);
    return false;
  }
  char buffer[4096];
  bool ok = true;
  for (;;) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      SetLastErrorFromErrno(errno);
      ok = false;
      break;
    }
    if (n == 0) break;
    if (content->size() + static_cast<size_t>(n) > maxSize) {
      ok = false;
      break;
    }
    content->append(buffer, static_cast<size_t>(n));
  }
  close(fd);
  return ok;
}

bool FlushFileToDisk(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    SetLastErrorFromErrno(errno, path);
    return false;
  }
  const bool ok = fdatasync(fd) == 0;
  if (!ok) SetLastErrorFromErrno(errno);
  close(fd);
  return ok;
}

bool RemoveDirectoryTree(const std::string& path) {
  std::error_code ec;
  std::filesystem::remove_all(path, ec);
  if (ec) SetLastErrorFromErrno(ec.value(), path);
  return !ec;
}

}  // namespace platform
