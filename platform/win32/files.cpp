// Files through the wide calls with the system's own share modes: a file held with
// exclusive access is really in use for every program.
#include "platform/files.h"

#include <algorithm>
#include <atomic>
#include <cwchar>
#include <vector>

#include "platform/win32/winapi.h"
#include "platform/win32/wintext.h"

namespace platform {

using win32::WidePath;

namespace {

::HANDLE Native(HANDLE h) { return reinterpret_cast<::HANDLE>(h); }

::DWORD ShareOf(UINT sharing) {
  switch (sharing & 0xF0) {
    case SHARE_DENY_WRITE:
      return FILE_SHARE_READ;
    case SHARE_DENY_NONE:
      return FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    default:
      return 0;
  }
}

HANDLE Open(const std::string& path, ::DWORD access, ::DWORD share, ::DWORD disposition) {
  const ::HANDLE h = CreateFileW(WidePath(path).c_str(), access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL,
                                 nullptr);
  return h == win32::InvalidHandle() ? INVALID_HANDLE : reinterpret_cast<HANDLE>(h);
}

}  // namespace

HANDLE FileOpen(const std::string& path, UINT mode) {
  ::DWORD access = GENERIC_READ;
  if ((mode & 0x3) == OPEN_WRITE) access = GENERIC_WRITE;
  if ((mode & 0x3) == OPEN_READWRITE) access = GENERIC_READ | GENERIC_WRITE;
  return Open(path, access, ShareOf(mode), OPEN_EXISTING);
}

HANDLE FileCreate(const std::string& path, UINT sharing) {
  return Open(path, GENERIC_READ | GENERIC_WRITE, ShareOf(sharing), CREATE_ALWAYS);
}

int64_t FileRead(HANDLE h, void* buffer, int64_t count) {
  int64_t total = 0;
  auto* p = static_cast<char*>(buffer);
  while (total < count) {
    const ::DWORD want = static_cast<::DWORD>(std::min<int64_t>(count - total, 1 << 30));
    ::DWORD got = 0;
    if (!ReadFile(Native(h), p + total, want, &got, nullptr)) {
      if (::GetLastError() == ERROR_BROKEN_PIPE) break;  // a pipe's end is the end of the data
      return -1;
    }
    if (got == 0) break;
    total += got;
    if (got < want) break;
  }
  return total;
}

int64_t FileWrite(HANDLE h, const void* buffer, int64_t count) {
  int64_t total = 0;
  const auto* p = static_cast<const char*>(buffer);
  while (total < count) {
    const ::DWORD want = static_cast<::DWORD>(std::min<int64_t>(count - total, 1 << 30));
    ::DWORD put = 0;
    if (!WriteFile(Native(h), p + total, want, &put, nullptr)) return -1;
    total += put;
  }
  return total;
}

int64_t FileSeek(HANDLE h, int64_t offset, int origin) {
  LARGE_INTEGER distance, position;
  distance.QuadPart = offset;
  const ::DWORD method = origin == 1 ? FILE_CURRENT : origin == 2 ? FILE_END : FILE_BEGIN;
  if (!SetFilePointerEx(Native(h), distance, &position, method)) return -1;
  return position.QuadPart;
}

bool FileTruncate(HANDLE h, int64_t size) {
  const int64_t position = FileSeek(h, 0, 1);
  if (position < 0 || FileSeek(h, size, 0) < 0) return false;
  const bool ok = SetEndOfFile(Native(h)) != 0;
  const ::DWORD error = ::GetLastError();
  FileSeek(h, position, 0);
  ::SetLastError(ok ? ERROR_SUCCESS : error);
  return ok;
}

bool FileFlush(HANDLE h) { return FlushFileBuffers(Native(h)) != 0; }

int64_t FileSize(HANDLE h) {
  LARGE_INTEGER size;
  return GetFileSizeEx(Native(h), &size) ? size.QuadPart : -1;
}

bool FileClose(HANDLE h) { return CloseHandle(Native(h)) != 0; }

bool FileExists(const std::string& path) {
  const ::DWORD a = GetFileAttributesW(WidePath(path).c_str());
  return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}

bool DirectoryExists(const std::string& path) {
  const ::DWORD a = GetFileAttributesW(WidePath(path).c_str());
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

bool CreateDirectory(const std::string& path) { return CreateDirectoryW(WidePath(path).c_str(), nullptr) != 0; }

bool ForceDirectories(const std::string& path) {
  std::string p = path;
  while (p.size() > 1 && (p.back() == '\\' || p.back() == '/')) p.pop_back();
  if (p.empty()) {
    ::SetLastError(ERROR_INVALID_NAME);
    return false;
  }
  if (DirectoryExists(p)) return true;
  const size_t cut = p.find_last_of("\\/");
  // A drive ("C:") or a share root ends the climb.
  if (cut != std::string::npos && cut > 0 && !(cut == 2 && p[1] == ':')) {
    if (!ForceDirectories(p.substr(0, cut))) return false;
  }
  return CreateDirectory(p) || (::GetLastError() == ERROR_ALREADY_EXISTS && DirectoryExists(p));
}

bool RemoveDirectory(const std::string& path) { return RemoveDirectoryW(WidePath(path).c_str()) != 0; }

bool DeleteFile(const std::string& path) { return DeleteFileW(WidePath(path).c_str()) != 0; }

bool CopyFile(const std::string& source, const std::string& target, bool failIfExists) {
  return CopyFileW(WidePath(source).c_str(), WidePath(target).c_str(), failIfExists) != 0;
}

bool MoveFile(const std::string& source, const std::string& target) {
  return MoveFileExW(WidePath(source).c_str(), WidePath(target).c_str(), MOVEFILE_COPY_ALLOWED) != 0;
}

DWORD GetFileAttributes(const std::string& path) { return GetFileAttributesW(WidePath(path).c_str()); }

bool SetFileAttributes(const std::string& path, DWORD attributes) {
  return SetFileAttributesW(WidePath(path).c_str(), attributes) != 0;
}

// Windows files carry no permission bits: nothing to report, nothing to apply.
uint32_t GetFileMode(const std::string&) { return 0; }
bool SetFileMode(const std::string&, uint32_t) { return true; }

}  // namespace platform

namespace platform {

DWORD GetFileType(HANDLE h) {
  switch (::GetFileType(Native(h))) {
    case FILE_TYPE_DISK:
      return FILE_TYPE_DISK;
    case FILE_TYPE_CHAR:
      return FILE_TYPE_CHAR;
    case FILE_TYPE_PIPE:
      return FILE_TYPE_PIPE;
    default:
      return FILE_TYPE_UNKNOWN;
  }
}

DWORD GetPathFileType(const std::string& path) {
  const std::wstring wide = WidePath(path);
  // Named pipes and devices live in their own name spaces.
  if (wide.rfind(L"\\\\.\\pipe\\", 0) == 0) return FILE_TYPE_PIPE;
  if (wide.rfind(L"\\\\.\\", 0) == 0 || _wcsicmp(wide.c_str(), L"NUL") == 0) return FILE_TYPE_CHAR;
  const ::DWORD a = GetFileAttributesW(wide.c_str());
  if (a == INVALID_FILE_ATTRIBUTES) return FILE_TYPE_UNKNOWN;
  return (a & FILE_ATTRIBUTE_DIRECTORY) ? FILE_TYPE_UNKNOWN : FILE_TYPE_DISK;
}

HANDLE DeviceOpenForWrite(const std::string& path) {
  return Open(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING);
}

HANDLE FileCreateBeside(const std::string& target, std::string& tempName) {
  static std::atomic<unsigned> counter{0};
  const size_t cut = target.find_last_of("\\/");
  const std::string folder = cut == std::string::npos ? std::string() : target.substr(0, cut + 1);
  const std::string name = cut == std::string::npos ? target : target.substr(cut + 1);
  for (int attempt = 0; attempt < 100; ++attempt) {
    tempName = folder + "." + name + "." + std::to_string(GetCurrentProcessId()) + "-" +
               std::to_string(counter.fetch_add(1)) + ".tmp";
    const ::HANDLE h = CreateFileW(WidePath(tempName).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                   CREATE_NEW, FILE_ATTRIBUTE_HIDDEN, nullptr);
    if (h != win32::InvalidHandle()) return reinterpret_cast<HANDLE>(h);
    if (::GetLastError() != ERROR_FILE_EXISTS) return INVALID_HANDLE;
  }
  return INVALID_HANDLE;
}

bool ReplaceFile(const std::string& source, const std::string& target) {
  return MoveFileExW(WidePath(source).c_str(), WidePath(target).c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

std::string GetTempPath() {
  wchar_t buffer[MAX_PATH + 1];
  const ::DWORD n = GetTempPathW(MAX_PATH + 1, buffer);
  std::string path = win32::Narrow(buffer, n);
  while (path.size() > 3 && (path.back() == '\\' || path.back() == '/')) path.pop_back();
  return path;
}

HANDLE FileCreateNew(const std::string& path, bool) {
  // A new file takes the folder's access rules; under a user's own temporary folder
  // those already keep other users out.
  const HANDLE h = Open(path, GENERIC_WRITE, 0, CREATE_NEW);
  if (h == INVALID_HANDLE && ::GetLastError() == ERROR_ALREADY_EXISTS) ::SetLastError(ERROR_FILE_EXISTS);
  return h;
}

std::string GetCurrentDirectory() {
  std::wstring buffer(GetCurrentDirectoryW(0, nullptr), L'\0');
  const ::DWORD n = GetCurrentDirectoryW(static_cast<::DWORD>(buffer.size()), buffer.data());
  buffer.resize(n);
  std::string path = win32::Narrow(buffer);
  while (path.size() > 3 && (path.back() == '\\' || path.back() == '/')) path.pop_back();
  return path;
}

bool ListDirectory(const std::string& path, std::vector<FIND_DATA>* entries) {
  entries->clear();
  std::wstring pattern = WidePath(path);
  if (!pattern.empty() && pattern.back() != L'\\') pattern += L'\\';
  pattern += L'*';
  WIN32_FIND_DATAW data;
  const ::HANDLE h = FindFirstFileW(pattern.c_str(), &data);
  if (h == win32::InvalidHandle()) return ::GetLastError() == ERROR_FILE_NOT_FOUND;
  do {
    const std::string name = win32::Narrow(data.cFileName, wcslen(data.cFileName));
    if (name == "." || name == "..") continue;
    entries->push_back(FIND_DATA{name, data.dwFileAttributes});
  } while (FindNextFileW(h, &data));
  FindClose(h);
  std::sort(entries->begin(), entries->end(),
            [](const FIND_DATA& a, const FIND_DATA& b) { return a.cFileName < b.cFileName; });
  return true;
}

}  // namespace platform
