#include "platform/durablefile.h"

#include <fcntl.h>
#include <sys/stat.h>
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

bool FlushFilesToDisk(const std::vector<std::string>& paths) {
  // One descriptor per file system: syncfs() writes out everything dirty on it, which a
  // file-by-file fdatasync() would do with one journal commit per file.
  std::vector<std::pair<dev_t, int>> systems;
  bool ok = true;
  for (const std::string& path : paths) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st = {};
    if (fd < 0 || fstat(fd, &st) != 0) {
      SetLastErrorFromErrno(errno, path);
      if (fd >= 0) close(fd);
      ok = false;
      continue;
    }
    bool seen = false;
    for (const auto& s : systems) seen = seen || s.first == st.st_dev;
    if (seen) {
      close(fd);
    } else {
      systems.emplace_back(st.st_dev, fd);
    }
  }
  for (const auto& [dev, fd] : systems) {
    if (syncfs(fd) != 0) {
      SetLastErrorFromErrno(errno);
      ok = false;
    }
    close(fd);
  }
  return ok;
}

bool RemoveDirectoryTree(const std::string& path) {
  std::error_code ec;
  std::filesystem::remove_all(path, ec);
  if (ec) SetLastErrorFromErrno(ec.value(), path);
  return !ec;
}

}  // namespace platform
