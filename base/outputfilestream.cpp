#include "base/outputfilestream.h"

#include <vector>

#include "base/sysutils.h"
#include "platform/console.h"
#include "platform/files.h"
#include "platform/types.h"

namespace {

std::string FolderOf(const std::string& name) {
  std::string dir = ExtractFileDir(name);
  return dir.empty() ? "." : dir;
}

}  // namespace

TOutputFileStream::TOutputFileStream(const std::string& name, bool needsSeek) : name_(name) {
  using namespace platform;
  if (name == "-") {
    direct_ = GetStdHandle(STD_OUTPUT_HANDLE);
  } else {
    const DWORD type = GetPathFileType(name);
    if (type == FILE_TYPE_CHAR || type == FILE_TYPE_PIPE) {
      direct_ = DeviceOpenForWrite(name);
      if (direct_ == INVALID_HANDLE) FailCreate(SysErrorMessage(GetLastError()));
      ownsDirect_ = true;
    } else if (DirectoryExists(name)) {
      FailCreate("It is a folder.");
    } else {
      // A read-only file is not replaced behind its owner's back.
      const DWORD attributes = GetFileAttributes(name);
      if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY))
        FailCreate(SysErrorMessage(ERROR_ACCESS_DENIED));
      file_ = FileCreateBeside(name, temp_);
      if (file_ == INVALID_HANDLE) {
        file_ = kNoHandle;
        const DWORD error = GetLastError();
        if (error == ERROR_PATH_NOT_FOUND)
          FailCreate("The folder \"" + FolderOf(name) + "\" does not exist.");
        if (error == ERROR_ACCESS_DENIED || error == ERROR_WRITE_PROTECT)
          FailCreate("The folder \"" + FolderOf(name) + "\" cannot be written: " +
                     SysErrorMessage(error));
        FailCreate(SysErrorMessage(error));
      }
      return;
    }
  }
  if (needsSeek && FileSeek(direct_, 0, 1) < 0) {
    file_ = FileCreateBeside(GetTempPath() + "/output", temp_);
    if (file_ == INVALID_HANDLE) {
      file_ = kNoHandle;
      const DWORD error = GetLastError();
      Discard();
      throw EFCreateError("Cannot create a temporary file in \"" + GetTempPath() + "\". " +
                          SysErrorMessage(error));
    }
    spooled_ = true;
  }
}

TOutputFileStream::~TOutputFileStream() { Discard(); }

void TOutputFileStream::Discard() {
  if (file_ != kNoHandle) platform::FileClose(file_);
  file_ = kNoHandle;
  if (!temp_.empty()) platform::DeleteFile(temp_);
  temp_.clear();
  if (ownsDirect_ && direct_ != kNoHandle) platform::FileClose(direct_);
  direct_ = kNoHandle;
  ownsDirect_ = false;
}

void TOutputFileStream::FailCreate(const std::string& reason) {
  Discard();
  throw EFCreateError("Cannot create file \"" + name_ + "\". " + reason);
}

intptr_t TOutputFileStream::Target() const { return file_ != kNoHandle ? file_ : direct_; }

int64_t TOutputFileStream::Read(void* buffer, int64_t count) {
  if (count <= 0 || file_ == kNoHandle) return 0;
  const int64_t n = platform::FileRead(file_, buffer, count);
  return n < 0 ? 0 : n;
}

int64_t TOutputFileStream::Write(const void* buffer, int64_t count) {
  if (count <= 0) return 0;
  const int64_t n = platform::FileWrite(Target(), buffer, count);
  if (n == count) return n;
  if (writeError_.empty()) writeError_ = SysErrorMessage(platform::GetLastError());
  return n < 0 ? 0 : n;
}

int64_t TOutputFileStream::Seek(int64_t offset, TSeekOrigin origin) {
  return platform::FileSeek(Target(), offset, static_cast<int>(origin));
}

void TOutputFileStream::SetSize(int64_t size) {
  if (file_ == kNoHandle) return;
  if (size < 0 || !platform::FileTruncate(file_, size))
    throw EStreamError("Cannot set the size of file \"" + name_ + "\". " +
                       SysErrorMessage(size < 0 ? platform::ERROR_INVALID_PARAMETER
                                                : platform::GetLastError()));
  if (Position() > size) SetPosition(size);
}

int64_t TOutputFileStream::Size() { return file_ == kNoHandle ? 0 : platform::FileSize(file_); }

void TOutputFileStream::CopySpoolOut() {
  std::vector<char> block(1 << 16);
  if (platform::FileSeek(file_, 0, 0) != 0) FailCreate(SysErrorMessage(platform::GetLastError()));
  for (;;) {
    const int64_t got = platform::FileRead(file_, block.data(), static_cast<int64_t>(block.size()));
    if (got < 0) FailCreate(SysErrorMessage(platform::GetLastError()));
    if (got == 0) break;
    if (platform::FileWrite(direct_, block.data(), got) != got)
      FailCreate(SysErrorMessage(platform::GetLastError()));
  }
}

void TOutputFileStream::Commit() {
  if (committed_) return;
  if (!writeError_.empty()) FailCreate(writeError_);
  if (spooled_) {
    CopySpoolOut();
  } else if (file_ != kNoHandle) {
    platform::FileClose(file_);
    file_ = kNoHandle;
    // A file that is replaced keeps its permissions (an executable stays one).
    if (const uint32_t mode = platform::GetFileMode(name_)) platform::SetFileMode(temp_, mode);
    if (!platform::ReplaceFile(temp_, name_)) FailCreate(SysErrorMessage(platform::GetLastError()));
    temp_.clear();
  }
  committed_ = true;
  Discard();
}
