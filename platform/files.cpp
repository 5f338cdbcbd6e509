#include "platform/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <vector>

#include "platform/atomicfile.h"
#include "platform/oserror.h"
#include "platform/process.h"

namespace platform {

// Share modes.
//
// Two lock families together give the Windows rules:
//  - flock() carries what others are denied, and is what other programs (the flock
//    command, for one) see: an exclusive opener holds LOCK_EX, a deny-write opener
//    LOCK_SH, a deny-none opener nothing. An open that writes, a delete and a replace
//    need that nobody holds a flock; any open needs that nobody holds LOCK_EX.
//  - Open-file-description locks on two bytes far beyond any real data say who has the
//    file open for reading or writing, so that an exclusive opener also sees deny-none
//    openers and a deny-write opener sees writers.
// Both belong to the open file description and vanish when the handle is closed.
// Checking and taking are two steps, so two openers racing each other may both fail;
// they never both succeed against each other's share mode: each puts up its own
// markers before it looks at the flocks, and looks at the others' markers only once its
// flock is held. An exclusive opener puts up none: whoever reads markers holds a flock
// for as long as the file is open, and cannot hold one beside its LOCK_EX.

namespace {

constexpr off_t kReadMarker = off_t(1) << 62;
constexpr off_t kWriteMarker = kReadMarker + 1;

bool ValidHandle(HANDLE h) { return h >= 0 && h <= INT_MAX; }

bool FailHandle() {
  SetLastError(ERROR_INVALID_HANDLE);
  return false;
}

int64_t BadHandle() {
  SetLastError(ERROR_INVALID_HANDLE);
  return -1;
}

bool HasWriteBits(mode_t mode) { return (mode & 0222) != 0; }

bool MarkOpen(int fd, off_t marker) {
  struct flock fl = {};
  fl.l_type = F_RDLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = marker;
  fl.l_len = 1;
  return fcntl(fd, F_OFD_SETLK, &fl) == 0;
}

// Another handle holds a marker in [first, first + count).
bool MarkedByOthers(int fd, off_t first, off_t count) {
  struct flock fl = {};
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = first;
  fl.l_len = count;
  if (fcntl(fd, F_OFD_GETLK, &fl) != 0) return false;
  return fl.l_type != F_UNLCK;
}

bool TryFlock(int fd, int operation) {
  while (flock(fd, operation | LOCK_NB) != 0) {
    if (errno != EINTR) return false;
  }
  return true;
}

bool SharingViolation() {
  SetLastError(ERROR_SHARING_VIOLATION);
  return false;
}

// Takes the locks of one opener on a freshly opened descriptor. `markers` is false when
// the descriptor cannot carry read locks (opened write-only).
bool AcquireShare(int fd, UINT access, UINT sharing, bool markers) {
  const bool reads = access != OPEN_WRITE;
  const bool writes = access != OPEN_READ;
  if (markers && sharing != SHARE_EXCLUSIVE &&
      ((reads && !MarkOpen(fd, kReadMarker)) || (writes && !MarkOpen(fd, kWriteMarker)))) {
    SetLastErrorFromErrno(errno);
    return false;
  }
  switch (sharing) {
    case SHARE_EXCLUSIVE:
      if (!TryFlock(fd, LOCK_EX)) return SharingViolation();
      break;
    case SHARE_DENY_WRITE:
      // A writer must first see that nobody else denies writing.
      if (writes && !TryFlock(fd, LOCK_EX)) return SharingViolation();
      if (!TryFlock(fd, LOCK_SH)) return SharingViolation();
      break;
    default:  // SHARE_DENY_NONE: nothing to deny, only the others' denials to honour
      if (!TryFlock(fd, writes ? LOCK_EX : LOCK_SH)) return SharingViolation();
      flock(fd, LOCK_UN);
      break;
  }
  if (markers) {
    // Both markers are adjacent: one query covers readers and writers.
    if (sharing == SHARE_EXCLUSIVE && MarkedByOthers(fd, kReadMarker, 2)) return SharingViolation();
    if (sharing == SHARE_DENY_WRITE && MarkedByOthers(fd, kWriteMarker, 1)) return SharingViolation();
  }
  return true;
}

bool SplitMode(UINT mode, UINT* access, UINT* sharing) {
  *access = mode & 0x0F;
  *sharing = mode & 0xF0;
  if (*sharing == 0) *sharing = SHARE_EXCLUSIVE;
  if (*access > OPEN_READWRITE) return false;
  return *sharing == SHARE_EXCLUSIVE || *sharing == SHARE_DENY_WRITE ||
         *sharing == SHARE_DENY_NONE;
}

// Opens path (creating it with `create`) and takes the share locks; -1 with the last
// error set on failure. Read-only files refuse write access even to root, as on Windows.
// size, when given, receives the file's size at opening.
int OpenShared(const std::string& path, UINT access, UINT sharing, bool create,
               off_t* size = nullptr) {
  // Nothing is changed before the checks on the opened file below: no O_TRUNC, and a
  // folder refuses O_RDWR by itself.
  int flags = O_CLOEXEC | O_NOCTTY | (create ? O_CREAT : 0);
  // Write-only openers still read-open when they may, so that they can carry markers.
  flags |= access == OPEN_READ ? O_RDONLY : O_RDWR;
  int fd = open(path.c_str(), flags, 0666);
  bool markers = true;
  if (fd < 0 && errno == EACCES && access == OPEN_WRITE) {
    fd = open(path.c_str(), (flags & ~O_RDWR) | O_WRONLY, 0666);
    markers = false;
  }
  if (fd < 0) {
    SetLastErrorFromErrno(errno, path);
    return -1;
  }
  struct stat st;
  if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode) ||
      (access != OPEN_READ && !HasWriteBits(st.st_mode))) {
    close(fd);
    SetLastError(ERROR_ACCESS_DENIED);
    return -1;
  }
  if (!AcquireShare(fd, access, sharing, markers)) {
    const DWORD error = GetLastError();
    close(fd);
    SetLastError(error);
    return -1;
  }
  if (size) *size = st.st_size;
  return fd;
}

// True when no other opener denies deleting or replacing the file (nobody holds a
// flock on it). On success the returned descriptor holds LOCK_EX so that nobody can take
// the file in between; close it after the operation. -2 when the file cannot even be
// opened for the test (then there is nothing to hold).
int HoldForRemoval(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return -2;
  if (!TryFlock(fd, LOCK_EX)) {
    close(fd);
    SetLastError(ERROR_SHARING_VIOLATION);
    return -1;
  }
  return fd;
}

}  // namespace

HANDLE FileOpen(const std::string& path, UINT mode) {
  UINT access, sharing;
  if (!SplitMode(mode, &access, &sharing)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE;
  }
  const int fd = OpenShared(path, access, sharing, false);
  return fd < 0 ? INVALID_HANDLE : fd;
}

HANDLE FileCreate(const std::string& path, UINT sharing) {
  UINT access, share;
  if (!SplitMode(sharing & 0xF0, &access, &share)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE;
  }
  // Emptied only once the locks are held: a file in use keeps its contents. An empty one
  // (a new one, mostly) is left alone: on ext4 truncating marks the file for a writeback
  // when it is closed, a tenth of the time of unpacking thousands of small files.
  off_t size = 0;
  const int fd = OpenShared(path, OPEN_READWRITE, share, true, &size);
  if (fd < 0) return INVALID_HANDLE;
  if (size != 0 && ftruncate(fd, 0) != 0) {
    const int err = errno;
    close(fd);
    SetLastErrorFromErrno(err);
    return INVALID_HANDLE;
  }
  return fd;
}

int64_t FileRead(HANDLE h, void* buffer, int64_t count) {
  if (!ValidHandle(h)) return BadHandle();
  if (count < 0 || (count > 0 && buffer == nullptr)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return -1;
  }
  char* p = static_cast<char*>(buffer);
  int64_t done = 0;
  while (done < count) {
    const ssize_t n = read(static_cast<int>(h), p + done, static_cast<size_t>(count - done));
    if (n < 0) {
      if (errno == EINTR) continue;
      SetLastErrorFromErrno(errno);
      return -1;
    }
    if (n == 0) break;
    done += n;
  }
  return done;
}

int64_t FileWrite(HANDLE h, const void* buffer, int64_t count) {
  if (!ValidHandle(h)) return BadHandle();
  if (count < 0 || (count > 0 && buffer == nullptr)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return -1;
  }
  const char* p = static_cast<const char*>(buffer);
  int64_t done = 0;
  while (done < count) {
    const ssize_t n = write(static_cast<int>(h), p + done, static_cast<size_t>(count - done));
    if (n < 0) {
      if (errno == EINTR) continue;
      SetLastErrorFromErrno(errno);
      return -1;
    }
    done += n;
  }
  return done;
}

int64_t FileSeek(HANDLE h, int64_t offset, int origin) {
  if (!ValidHandle(h)) return BadHandle();
  static constexpr int kWhence[] = {SEEK_SET, SEEK_CUR, SEEK_END};
  if (origin < 0 || origin > 2) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return -1;
  }
  const off_t pos = lseek(static_cast<int>(h), offset, kWhence[origin]);
  if (pos < 0) {
    SetLastErrorFromErrno(errno);
    return -1;
  }
  return pos;
}

bool FileTruncate(HANDLE h, int64_t size) {
  if (!ValidHandle(h)) return FailHandle();
  if (ftruncate(static_cast<int>(h), size) != 0) {
    SetLastErrorFromErrno(errno);
    return false;
  }
  return true;
}

bool FileFlush(HANDLE h) {
  if (!ValidHandle(h)) return FailHandle();
  if (fdatasync(static_cast<int>(h)) != 0) {
    SetLastErrorFromErrno(errno);
    return false;
  }
  return true;
}

int64_t FileSize(HANDLE h) {
  if (!ValidHandle(h)) return BadHandle();
  struct stat st;
  if (fstat(static_cast<int>(h), &st) != 0) {
    SetLastErrorFromErrno(errno);
    return -1;
  }
  return st.st_size;
}

bool FileClose(HANDLE h) {
  if (!ValidHandle(h)) return FailHandle();
  if (close(static_cast<int>(h)) != 0 && errno == EBADF) return FailHandle();
  return true;
}

namespace {

DWORD TypeOfMode(mode_t mode) {
  if (S_ISREG(mode)) return FILE_TYPE_DISK;
  if (S_ISCHR(mode)) return FILE_TYPE_CHAR;
  if (S_ISFIFO(mode) || S_ISSOCK(mode)) return FILE_TYPE_PIPE;
  return FILE_TYPE_UNKNOWN;
}

}  // namespace

DWORD GetFileType(HANDLE h) {
  if (!ValidHandle(h)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FILE_TYPE_UNKNOWN;
  }
  struct stat st;
  if (fstat(static_cast<int>(h), &st) != 0) {
    SetLastErrorFromErrno(errno);
    return FILE_TYPE_UNKNOWN;
  }
  return TypeOfMode(st.st_mode);
}

DWORD GetPathFileType(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    SetLastErrorFromErrno(errno, path);
    return FILE_TYPE_UNKNOWN;
  }
  if (S_ISDIR(st.st_mode)) SetLastError(ERROR_ACCESS_DENIED);
  return TypeOfMode(st.st_mode);
}

HANDLE DeviceOpenForWrite(const std::string& path) {
  int fd;
  do {
    fd = open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    SetLastErrorFromErrno(errno, path);
    return INVALID_HANDLE;
  }
  return fd;
}

HANDLE FileCreateBeside(const std::string& target, std::string& tempName) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name = TempNameBeside(target);
    const int fd = open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) {
      // Nobody else knows the name yet, so the exclusive lock cannot be contended.
      if (!AcquireShare(fd, OPEN_READWRITE, SHARE_EXCLUSIVE, true)) {
        const DWORD error = GetLastError();
        close(fd);
        unlink(name.c_str());
        SetLastError(error);
        return INVALID_HANDLE;
      }
      tempName = std::move(name);
      return fd;
    }
    if (errno != EEXIST) {
      SetLastErrorFromErrno(errno, target);
      return INVALID_HANDLE;
    }
  }
  SetLastErrorFromErrno(EEXIST);
  return INVALID_HANDLE;
}

bool ReplaceFile(const std::string& source, const std::string& target) {
  if (rename(source.c_str(), target.c_str()) != 0) {
    SetLastErrorFromErrno(errno, target);
    return false;
  }
  return true;
}

std::string GetTempPath() {
  std::string path = GetEnvironmentVariable("TMPDIR").value_or("");
  if (path.empty()) path = "/tmp";
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

bool FileExists(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    SetLastErrorFromErrno(errno, path);
    return false;
  }
  return !S_ISDIR(st.st_mode);
}

bool DirectoryExists(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    SetLastErrorFromErrno(errno, path);
    return false;
  }
  return S_ISDIR(st.st_mode);
}

bool CreateDirectory(const std::string& path) {
  if (mkdir(path.c_str(), 0777) != 0) {
    SetLastErrorFromErrno(errno, path);
    return false;
  }
  return true;
}

bool ForceDirectories(const std::string& path) {
  if (path.empty()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  // Mostly the folder is there already (the previous file's).
  if (DirectoryExists(path)) return true;
  // Every prefix that ends a component, the whole path last.
  for (size_t end = 1; end <= path.size(); ++end) {
    if (end < path.size() && path[end] != '/') continue;
    if (path[end - 1] == '/') continue;
    const std::string prefix = path.substr(0, end);
    struct stat st;
    if (stat(prefix.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) continue;
    if (mkdir(prefix.c_str(), 0777) != 0 && errno != EEXIST) {
      SetLastErrorFromErrno(errno, prefix);
      return false;
    }
  }
  if (!DirectoryExists(path)) {
    SetLastError(ERROR_ALREADY_EXISTS);  // a file stands where the folder should be
    return false;
  }
  return true;
}

bool RemoveDirectory(const std::string& path) {
  if (rmdir(path.c_str()) != 0) {
    if (errno == ENOTDIR && FileExists(path)) {
      SetLastError(ERROR_DIRECTORY);
    } else {
      SetLastErrorFromErrno(errno, path);
    }
    return false;
  }
  return true;
}

bool DeleteFile(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) {
    SetLastErrorFromErrno(errno, path);
    return false;
  }
  if (S_ISDIR(st.st_mode) || (!S_ISLNK(st.st_mode) && !HasWriteBits(st.st_mode))) {
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  int hold = -2;
  if (S_ISREG(st.st_mode)) {
    hold = HoldForRemoval(path);
    if (hold == -1) return false;
  }
  const bool ok = unlink(path.c_str()) == 0;
  if (!ok) SetLastErrorFromErrno(errno, path);
  if (hold >= 0) close(hold);
  return ok;
}

bool CopyFile(const std::string& source, const std::string& target, bool failIfExists) {
  // Readers may share the source; a writer may not change it under the copy.
  const HANDLE src = FileOpen(source, OPEN_READ | SHARE_DENY_WRITE);
  if (src == INVALID_HANDLE) return false;
  struct stat srcStat;
  if (fstat(static_cast<int>(src), &srcStat) != 0) {
    SetLastErrorFromErrno(errno);
    FileClose(src);
    return false;
  }

  // The existing target is held exclusively until the new one has replaced it; this
  // also stops a file from being copied onto itself.
  HANDLE held = INVALID_HANDLE;
  struct stat st;
  if (stat(target.c_str(), &st) == 0) {
    if (failIfExists) {
      FileClose(src);
      SetLastError(ERROR_FILE_EXISTS);
      return false;
    }
    held = FileOpen(target, OPEN_READWRITE | SHARE_EXCLUSIVE);
    if (held == INVALID_HANDLE) {
      const DWORD error = GetLastError();
      FileClose(src);
      SetLastError(error);
      return false;
    }
  }

  // Replace by rename: the target is never seen half-written, and a running program
  // being replaced keeps its old image.
  AtomicFile out;
  bool ok = out.Create(target);
  std::vector<char> buffer(1 << 17);
  while (ok) {
    const int64_t n = FileRead(src, buffer.data(), static_cast<int64_t>(buffer.size()));
    if (n < 0) ok = false;
    if (n <= 0) break;
    ok = out.Write(buffer.data(), static_cast<size_t>(n));
  }
  if (ok) {
    const timespec times[2] = {srcStat.st_atim, srcStat.st_mtim};
    if (fchmod(out.Descriptor(), srcStat.st_mode & 0777) != 0 ||
        futimens(out.Descriptor(), times) != 0) {
      SetLastErrorFromErrno(errno);
      ok = false;
    }
  }
  if (ok) ok = out.Commit(!failIfExists);
  const DWORD error = GetLastError();
  FileClose(src);
  if (held != INVALID_HANDLE) FileClose(held);
  SetLastError(ok ? ERROR_SUCCESS : error);
  return ok;
}

bool MoveFile(const std::string& source, const std::string& target) {
  struct stat st;
  if (lstat(source.c_str(), &st) != 0) {
    SetLastErrorFromErrno(errno, source);
    return false;
  }
  int hold = -2;
  if (S_ISREG(st.st_mode)) {
    hold = HoldForRemoval(source);
    if (hold == -1) return false;
  }
  bool ok = renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0;
  int err = ok ? 0 : errno;
  if (!ok && (err == EINVAL || err == ENOSYS)) {
    // No atomic no-replace rename on this file system.
    struct stat existing;
    if (lstat(target.c_str(), &existing) == 0) {
      err = EEXIST;
    } else {
      ok = rename(source.c_str(), target.c_str()) == 0;
      err = ok ? 0 : errno;
    }
  }
  if (hold >= 0) close(hold);
  if (!ok && err == EXDEV && S_ISREG(st.st_mode)) {
    // Another file system: copy, then remove the original, as Windows does.
    if (!CopyFile(source, target, true)) return false;
    if (unlink(source.c_str()) != 0) {
      SetLastErrorFromErrno(errno, source);
      return false;
    }
    return true;
  }
  if (!ok) {
    SetLastErrorFromErrno(err, target);
    return false;
  }
  return true;
}

DWORD GetFileAttributes(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    SetLastErrorFromErrno(errno, path);
    return INVALID_FILE_ATTRIBUTES;
  }
  DWORD attributes = 0;
  if (S_ISDIR(st.st_mode)) attributes |= FILE_ATTRIBUTE_DIRECTORY;
  if (!HasWriteBits(st.st_mode)) attributes |= FILE_ATTRIBUTE_READONLY;
  return attributes == 0 ? FILE_ATTRIBUTE_NORMAL : attributes;
}

bool SetFileAttributes(const std::string& path, DWORD attributes) {
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    SetLastErrorFromErrno(errno, path);
    return false;
  }
  // On a folder the read-only flag means nothing on Windows; keep its permissions.
  if (S_ISDIR(st.st_mode)) return true;
  mode_t mode = st.st_mode & 07777;
  if (attributes & FILE_ATTRIBUTE_READONLY) {
    mode &= ~mode_t(0222);
  } else if (!HasWriteBits(mode)) {
    mode |= S_IWUSR;
  }
  if (mode != (st.st_mode & 07777) && chmod(path.c_str(), mode) != 0) {
    SetLastErrorFromErrno(errno, path);
    return false;
  }
  return true;
}

uint32_t GetFileMode(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    SetLastErrorFromErrno(errno, path);
    return 0;
  }
  return st.st_mode & 07777;
}

bool SetFileMode(const std::string& path, uint32_t mode) {
  if (chmod(path.c_str(), static_cast<mode_t>(mode & 07777)) != 0) {
    SetLastErrorFromErrno(errno, path);
    return false;
  }
  return true;
}

}  // namespace platform

namespace platform {

HANDLE FileCreateNew(const std::string& path, bool ownerOnly) {
  // The mode is given at creation: a key file is never readable by others, not even for
  // the moment between creating and restricting it.
  const int fd = open(path.c_str(), O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, ownerOnly ? 0600 : 0666);
  if (fd < 0) {
    SetLastErrorFromErrno(errno, path);
    return INVALID_HANDLE;
  }
  // Nobody can have it open yet; the lock keeps it so while it is written.
  flock(fd, LOCK_EX | LOCK_NB);
  return fd;
}

std::string GetCurrentDirectory() {
  std::vector<char> buffer(PATH_MAX + 1);
  if (!getcwd(buffer.data(), buffer.size())) {
    SetLastErrorFromErrno(errno);
    return {};
  }
  return buffer.data();
}

bool ListDirectory(const std::string& path, std::vector<FIND_DATA>* entries) {
  DIR* dir = opendir(path.c_str());
  if (!dir) {
    SetLastErrorFromErrno(errno, path);
    return false;
  }
  std::vector<FIND_DATA> found;
  while (const dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    FIND_DATA data;
    data.cFileName = name;
    data.dwFileAttributes = GetFileAttributes(path + PathDelim + name);
    if (data.dwFileAttributes == INVALID_FILE_ATTRIBUTES) continue;  // gone meanwhile, or a dangling link
    found.push_back(std::move(data));
  }
  closedir(dir);
  std::sort(found.begin(), found.end(),
            [](const FIND_DATA& a, const FIND_DATA& b) { return a.cFileName < b.cFileName; });
  *entries = std::move(found);
  SetLastError(ERROR_SUCCESS);
  return true;
}

}  // namespace platform
