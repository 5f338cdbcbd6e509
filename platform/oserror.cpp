#include "platform/oserror.h"

#include <sys/stat.h>

#include <cerrno>

namespace platform {

namespace {

struct ErrnoMapping {
  int err;
  DWORD code;
};

constexpr ErrnoMapping kErrnoTable[] = {
    {ENOENT, ERROR_FILE_NOT_FOUND},
    {ENOTDIR, ERROR_PATH_NOT_FOUND},
    {ELOOP, ERROR_PATH_NOT_FOUND},
    {EACCES, ERROR_ACCESS_DENIED},
    {EPERM, ERROR_ACCESS_DENIED},
    {EISDIR, ERROR_ACCESS_DENIED},
    {EROFS, ERROR_WRITE_PROTECT},
    {EWOULDBLOCK, ERROR_SHARING_VIOLATION},
    {ETXTBSY, ERROR_SHARING_VIOLATION},
    {EBUSY, ERROR_SHARING_VIOLATION},
    {EEXIST, ERROR_ALREADY_EXISTS},
    {ENOTEMPTY, ERROR_DIR_NOT_EMPTY},
    {EMFILE, ERROR_TOO_MANY_OPEN_FILES},
    {ENFILE, ERROR_TOO_MANY_OPEN_FILES},
    {EBADF, ERROR_INVALID_HANDLE},
    {ENOMEM, ERROR_NOT_ENOUGH_MEMORY},
    {ENOSPC, ERROR_DISK_FULL},
    {EFBIG, ERROR_DISK_FULL},
    {EDQUOT, ERROR_NOT_ENOUGH_QUOTA},
    {ENAMETOOLONG, ERROR_FILENAME_EXCED_RANGE},
    {EINVAL, ERROR_INVALID_PARAMETER},
    {EFAULT, ERROR_INVALID_PARAMETER},
    {E2BIG, ERROR_INVALID_PARAMETER},
    {ENOEXEC, ERROR_BAD_FORMAT},
    {ELIBBAD, ERROR_BAD_FORMAT},
    {ENOSYS, ERROR_NOT_SUPPORTED},
    {EOPNOTSUPP, ERROR_NOT_SUPPORTED},
    {EXDEV, ERROR_NOT_SAME_DEVICE},
};

}  // namespace

DWORD ErrorFromErrno(int err) {
  if (err == 0) return ERROR_SUCCESS;
  for (const auto& m : kErrnoTable)
    if (m.err == err) return m.code;
  return ERRNO_ERROR_BASE + (static_cast<DWORD>(err) & 0xFFFF);
}

std::string ParentDirectory(const std::string& path) {
  std::string p = path;
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  const size_t slash = p.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return p.substr(0, slash);
}

void SetLastErrorFromErrno(int err, const std::string& path) {
  DWORD code = ErrorFromErrno(err);
  if (err == ENOENT && !path.empty()) {
    struct stat st;
    if (stat(ParentDirectory(path).c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
      code = ERROR_PATH_NOT_FOUND;
  }
  SetLastError(code);
}

}  // namespace platform
