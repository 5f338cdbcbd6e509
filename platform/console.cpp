#include "platform/console.h"

#include <cerrno>
#include <unistd.h>

#include "platform/types.h"

namespace platform {

HANDLE GetStdHandle(DWORD which) {
  switch (which) {
    case STD_INPUT_HANDLE: return STDIN_FILENO;
    case STD_OUTPUT_HANDLE: return STDOUT_FILENO;
    case STD_ERROR_HANDLE: return STDERR_FILENO;
  }
  SetLastError(ERROR_INVALID_PARAMETER);
  return INVALID_HANDLE;
}

bool IsTerminal(HANDLE h) { return h >= 0 && h <= INT32_MAX && isatty(static_cast<int>(h)) == 1; }

int64_t ReadDescriptor(int fd, void* buffer, size_t size) {
  for (;;) {
    ssize_t got = ::read(fd, buffer, size);
    if (got >= 0) return got;
    if (errno == EINTR) continue;
    SetLastError(errno == EBADF ? ERROR_INVALID_HANDLE : ERROR_INVALID_FUNCTION);
    return -1;
  }
}

bool WriteStdOut(const std::string& text) {
  const char* p = text.data();
  size_t left = text.size();
  while (left > 0) {
    ssize_t put = ::write(STDOUT_FILENO, p, left);
    if (put < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += put;
    left -= static_cast<size_t>(put);
  }
  return true;
}

}  // namespace platform
