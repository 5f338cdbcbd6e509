// Files and directories, shaped after the Windows calls (CreateFile-style open with
// share modes, DeleteFile, CopyFile, file attributes, CreateDirectory).
//
// Paths are native paths (UTF-8; '/' on Linux, '\' or '/' on Windows). Failures return false / INVALID_HANDLE
// and set the calling thread's last error to a Windows error code (ERROR_FILE_NOT_FOUND,
// ERROR_ACCESS_DENIED, ERROR_SHARING_VIOLATION, ...).
//
// Share modes are honoured between all openers that go through this layer (on Linux
// with open-file-description locks): a file held with exclusive access cannot be opened
// again, deleted or overwritten until it is closed, as on Windows. That is how "a file in
// use by another program" looks on every platform.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/types.h"

namespace platform {

#ifdef _WIN32
constexpr char PathDelim = '\\';
#else
constexpr char PathDelim = '/';
#endif

using HANDLE = intptr_t;
constexpr HANDLE INVALID_HANDLE = -1;

// Access.
constexpr UINT OPEN_READ = 0x0;
constexpr UINT OPEN_WRITE = 0x1;
constexpr UINT OPEN_READWRITE = 0x2;
// Sharing granted to other openers.
constexpr UINT SHARE_EXCLUSIVE = 0x10;   // nobody else may open, delete or replace it
constexpr UINT SHARE_DENY_WRITE = 0x20;  // others may read
constexpr UINT SHARE_DENY_NONE = 0x40;   // others may do anything

// Opens an existing file. mode = access | sharing (sharing 0 is taken as SHARE_EXCLUSIVE).
HANDLE FileOpen(const std::string& path, UINT mode);
// Creates a file, emptying an existing one, opened for reading and writing.
// sharing = one of the SHARE_ values (0 is taken as SHARE_EXCLUSIVE).
HANDLE FileCreate(const std::string& path, UINT sharing = SHARE_EXCLUSIVE);
// Bytes read or written, -1 on failure.
int64_t FileRead(HANDLE h, void* buffer, int64_t count);
int64_t FileWrite(HANDLE h, const void* buffer, int64_t count);
// origin 0 begin, 1 current, 2 end. Returns the new position, -1 on failure.
int64_t FileSeek(HANDLE h, int64_t offset, int origin);
bool FileTruncate(HANDLE h, int64_t size);  // sets the size, position unchanged
// What was written through the handle, on the disk (the data, not necessarily the times).
bool FileFlush(HANDLE h);
int64_t FileSize(HANDLE h);
bool FileClose(HANDLE h);

// What an open handle or a path stands for, as GetFileType tells them apart.
constexpr DWORD FILE_TYPE_UNKNOWN = 0;  // nothing there, or something else (a folder)
constexpr DWORD FILE_TYPE_DISK = 1;     // a regular file
constexpr DWORD FILE_TYPE_CHAR = 2;     // a character device: a terminal, the null device
constexpr DWORD FILE_TYPE_PIPE = 3;     // a pipe, a named pipe or a socket
DWORD GetFileType(HANDLE h);
// The same for a path, without opening it (a named pipe would wait for its other end).
// FILE_TYPE_UNKNOWN with the last error set when nothing is there.
DWORD GetPathFileType(const std::string& path);
// Opens an existing device or pipe for writing as it is: no share modes, nothing
// emptied, no seeking needed. A named pipe waits here for its reader.
HANDLE DeviceOpenForWrite(const std::string& path);
// Creates a new file under a fresh hidden name in target's folder, opened for reading
// and writing with exclusive access, for a new version of target that ReplaceFile then
// puts in its place. tempName receives the name. A missing folder fails with
// ERROR_PATH_NOT_FOUND, one that cannot be written with ERROR_ACCESS_DENIED.
HANDLE FileCreateBeside(const std::string& target, std::string& tempName);
// Renames source over target in one step (MoveFileEx with MOVEFILE_REPLACE_EXISTING on
// the same volume): target is either the old file or the whole of source, never a part.
bool ReplaceFile(const std::string& source, const std::string& target);
// The folder for temporary files (TMPDIR, else /tmp), without a trailing separator.
std::string GetTempPath();

// A regular file (not a directory) exists at path.
bool FileExists(const std::string& path);
bool DirectoryExists(const std::string& path);
// Creates one directory; the parent must exist.
bool CreateDirectory(const std::string& path);
// Creates the directory and every missing parent. True when it exists afterwards.
bool ForceDirectories(const std::string& path);
bool RemoveDirectory(const std::string& path);

// Fails for a missing file, a directory, a read-only file (ERROR_ACCESS_DENIED) and a file
// held with exclusive access (ERROR_SHARING_VIOLATION).
bool DeleteFile(const std::string& path);
// Copies contents, attributes (permission bits) and the modification time. With
// failIfExists an existing target is left untouched and the call fails
// (ERROR_FILE_EXISTS); otherwise an existing target is replaced unless it is read-only
// or in use.
bool CopyFile(const std::string& source, const std::string& target, bool failIfExists);
bool MoveFile(const std::string& source, const std::string& target);

// Creates a file that must not exist yet (ERROR_FILE_EXISTS otherwise), opened for
// writing with exclusive access. ownerOnly: nobody but the owner may read it, from the
// first byte on.
HANDLE FileCreateNew(const std::string& path, bool ownerOnly);

// The process's current directory, without a trailing separator.
std::string GetCurrentDirectory();

struct FIND_DATA {
  std::string cFileName;
  DWORD dwFileAttributes = 0;
};
// The entries of a directory, without "." and "..", sorted by name. False when it cannot
// be read.
bool ListDirectory(const std::string& path, std::vector<FIND_DATA>* entries);

constexpr DWORD FILE_ATTRIBUTE_READONLY = 0x01;
constexpr DWORD FILE_ATTRIBUTE_HIDDEN = 0x02;
constexpr DWORD FILE_ATTRIBUTE_SYSTEM = 0x04;
constexpr DWORD FILE_ATTRIBUTE_DIRECTORY = 0x10;
constexpr DWORD FILE_ATTRIBUTE_ARCHIVE = 0x20;
constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x80;
constexpr DWORD INVALID_FILE_ATTRIBUTES = 0xFFFFFFFF;

// Read-only maps to "no write permission bits"; a plain file reports
// FILE_ATTRIBUTE_NORMAL. INVALID_FILE_ATTRIBUTES when the path does not exist.
DWORD GetFileAttributes(const std::string& path);
// READONLY clears every write bit; its absence gives the owner write permission back.
bool SetFileAttributes(const std::string& path, DWORD attributes);

// POSIX permission bits of a file (for platforms that have them; 0 when unknown) and
// their setter. Used to carry the bits stored in archives.
uint32_t GetFileMode(const std::string& path);
bool SetFileMode(const std::string& path, uint32_t mode);

}  // namespace platform
