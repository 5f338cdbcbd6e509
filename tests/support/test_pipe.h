// A pipe whose read end stands in for standard input, on either system.
#pragma once

#include <cstdint>
#include <string>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#else
#include <unistd.h>
#endif

namespace testsupport {

class TestPipe {
 public:
  TestPipe() {
#ifdef _WIN32
    ok_ = _pipe(fds_, 65536, _O_BINARY) == 0;
#else
    ok_ = pipe(fds_) == 0;
#endif
  }
  ~TestPipe() {
    CloseWrite();
    if (fds_[0] >= 0) Close(fds_[0]);
  }
  TestPipe(const TestPipe&) = delete;
  TestPipe& operator=(const TestPipe&) = delete;

  bool Ok() const { return ok_; }
  // The read end as the platform's input handle.
  intptr_t Input() const {
#ifdef _WIN32
    return _get_osfhandle(fds_[0]);
#else
    return fds_[0];
#endif
  }
  bool Write(const std::string& text) {
#ifdef _WIN32
    return _write(fds_[1], text.data(), static_cast<unsigned>(text.size())) == static_cast<int>(text.size());
#else
    return write(fds_[1], text.data(), text.size()) == static_cast<ssize_t>(text.size());
#endif
  }
  void CloseWrite() {
    if (fds_[1] >= 0) Close(fds_[1]);
    fds_[1] = -1;
  }

 private:
  static void Close(int fd) {
#ifdef _WIN32
    _close(fd);
#else
    close(fd);
#endif
  }
  int fds_[2] = {-1, -1};
  bool ok_ = false;
};

}  // namespace testsupport
