// Small durable files through the wide calls.
#include "platform/durablefile.h"

#include <vector>

#include "platform/files.h"
#include "platform/win32/winapi.h"
#include "platform/win32/wintext.h"

namespace platform {

using win32::WidePath;

bool WriteFileAtomically(const std::string& path, const std::string& content) {
  std::string temp;
  const HANDLE h = FileCreateBeside(path, temp);
  if (h == INVALID_HANDLE) return false;
  bool ok = FileWrite(h, content.data(), static_cast<int64_t>(content.size())) ==
            static_cast<int64_t>(content.size());
  ok = ok && FlushFileBuffers(reinterpret_cast<::HANDLE>(h));
  ::DWORD error = ::GetLastError();
  FileClose(h);
  ok = ok && ReplaceFile(temp, path);
  if (!ok) {
    if (error == ERROR_SUCCESS) error = ::GetLastError();
    DeleteFileW(WidePath(temp).c_str());
    ::SetLastError(error);
  }
  return ok;
}

bool ReadSmallFile(const std::string& path, size_t maxSize, std::string* content) {
  const HANDLE h = FileOpen(path, OPEN_READ | SHARE_DENY_NONE);
  if (h == INVALID_HANDLE) return false;
  const int64_t size = FileSize(h);
  bool ok = size >= 0 && static_cast<uint64_t>(size) <= maxSize;
  if (ok) {
    content->assign(static_cast<size_t>(size), '\0');
    ok = FileRead(h, content->data(), size) == size;
  }
  FileClose(h);
  return ok;
}

bool FlushFileToDisk(const std::string& path) {
  // Opened for writing with every sharing right, so another opener's mode does not
  // stand in the way; nothing is written through it.
  const ::HANDLE h = CreateFileW(WidePath(path).c_str(), GENERIC_WRITE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == win32::InvalidHandle()) return false;
  const bool ok = FlushFileBuffers(h) != 0;
  CloseHandle(h);
  return ok;
}

// Windows flushes a whole volume only for administrators: file by file here.
bool FlushFilesToDisk(const std::vector<std::string>& paths) {
  bool ok = true;
  for (const std::string& path : paths) ok = FlushFileToDisk(path) && ok;
  return ok;
}

bool RemoveDirectoryTree(const std::string& path) {
  std::vector<FIND_DATA> entries;
  if (!DirectoryExists(path)) return !FileExists(path);
  if (ListDirectory(path, &entries)) {
    for (const FIND_DATA& e : entries) {
      const std::string child = path + "\\" + e.cFileName;
      if (e.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveDirectoryTree(child);
      } else {
        SetFileAttributesW(WidePath(child).c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(WidePath(child).c_str());
      }
    }
  }
  RemoveDirectoryW(WidePath(path).c_str());
  return !DirectoryExists(path);
}

}  // namespace platform
