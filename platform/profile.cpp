#include "platform/profile.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/atomicfile.h"
#include "platform/files.h"
#include "platform/inidocument.h"

namespace platform {

namespace {

std::string_view TrimRightBlanks(std::string_view s) {
  const size_t last = s.find_last_not_of(" \t\r\v\f");
  return last == std::string_view::npos ? std::string_view() : s.substr(0, last + 1);
}

bool ReadAll(HANDLE h, std::string* content) {
  char buffer[65536];
  for (;;) {
    const int64_t n = FileRead(h, buffer, sizeof buffer);
    if (n < 0) return false;
    if (n == 0) return true;
    content->append(buffer, static_cast<size_t>(n));
  }
}

// False (last error set) when the file cannot be read; a missing file is one of those.
bool LoadFile(const char* fileName, std::string* content) {
  const HANDLE h = FileOpen(fileName, OPEN_READ | SHARE_DENY_NONE);
  if (h == INVALID_HANDLE) return false;
  const bool ok = ReadAll(h, content);
  FileClose(h);
  return ok;
}

DWORD CopyString(std::string_view s, char* buffer, DWORD size) {
  const DWORD n = static_cast<DWORD>(std::min<size_t>(s.size(), size - 1));
  if (n > 0) memcpy(buffer, s.data(), n);
  buffer[n] = '\0';
  return n;
}

// Names each followed by a zero, then one more zero. A list that does not fit is cut
// at size - 2 characters and closed with two zeros.
DWORD CopyList(const std::vector<std::string>& names, char* buffer, DWORD size) {
  std::string all;
  for (const std::string& name : names) {
    all += name;
    all += '\0';
  }
  if (all.size() + 1 <= size) {
    memcpy(buffer, all.data(), all.size());
    buffer[all.size()] = '\0';
    if (all.empty() && size >= 2) buffer[1] = '\0';
    return static_cast<DWORD>(all.size());
  }
  if (size < 2) {
    buffer[0] = '\0';
    return 0;
  }
  memcpy(buffer, all.data(), size - 2);
  buffer[size - 2] = '\0';
  buffer[size - 1] = '\0';
  return size - 2;
}

// Text that would change the file's structure when written.
bool BreaksLine(std::string_view s) { return s.find_first_of("\r\n") != std::string_view::npos; }

bool ValidWrite(std::string_view section, const char* key, const char* value) {
  if (BreaksLine(section) || section.find(']') != std::string_view::npos) return false;
  if (key == nullptr) return true;
  const std::string_view k = TrimIniBlanks(key);
  if (k.empty() || BreaksLine(k) || k.find('=') != std::string_view::npos || k.front() == ';' ||
      k.front() == '[')
    return false;
  return value == nullptr || !BreaksLine(value);
}

// Writes of this process to profiles go one at a time; other processes meet the share
// locks.
std::mutex writeMutex;

}  // namespace

bool IsWritableProfileEntry(const std::string& section, const std::string& key, const std::string& value) {
  // A NUL would cut the texts short on their way through the profile functions.
  if (section.find('\0') != std::string::npos || key.find('\0') != std::string::npos ||
      value.find('\0') != std::string::npos)
    return false;
  return ValidWrite(TrimIniBlanks(section), key.c_str(), value.c_str());
}

DWORD GetPrivateProfileString(const char* section, const char* key, const char* def,
                              char* buffer, DWORD size, const char* fileName) {
  if (buffer == nullptr || size == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::string content;
  DWORD error = ERROR_SUCCESS;
  if (fileName == nullptr) {
    error = ERROR_INVALID_PARAMETER;
  } else if (!LoadFile(fileName, &content)) {
    error = GetLastError();
    content.clear();
  }
  const IniDocument profile(content);
  DWORD result;
  if (section == nullptr) {
    result = CopyList(profile.SectionNames(), buffer, size);
  } else if (key == nullptr) {
    result = CopyList(profile.KeyNames(TrimIniBlanks(section)), buffer, size);
  } else if (const IniLine* item = profile.Find(TrimIniBlanks(section), TrimIniBlanks(key))) {
    result = CopyString(item->value, buffer, size);
  } else {
    result = CopyString(TrimRightBlanks(def ? def : ""), buffer, size);
  }
  SetLastError(error);
  return result;
}

bool WritePrivateProfileString(const char* section, const char* key, const char* value,
                               const char* fileName) {
  if (fileName == nullptr || *fileName == '\0' || section == nullptr ||
      !ValidWrite(TrimIniBlanks(section), key, value)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  const std::string_view sectionName = TrimIniBlanks(section);
  const bool erasing = key == nullptr || value == nullptr;
  const std::lock_guard<std::mutex> lock(writeMutex);
  const std::string path(fileName);

  // Held while the new version is made: another writer meanwhile fails with a sharing
  // violation instead of losing this update; readers go on reading the old version.
  const HANDLE h = FileOpen(path, OPEN_READWRITE | SHARE_DENY_WRITE);
  std::string content;
  struct stat original = {};
  if (h == INVALID_HANDLE) {
    const DWORD error = GetLastError();
    if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) return false;
    if (erasing) {  // nothing there to erase; nothing to create either
      SetLastError(ERROR_SUCCESS);
      return true;
    }
  } else if (!ReadAll(h, &content) || fstat(static_cast<int>(h), &original) != 0) {
    const DWORD error = GetLastError();
    FileClose(h);
    SetLastError(error);
    return false;
  }

  IniDocument profile(content);
  if (key == nullptr) {
    profile.DeleteSection(sectionName);
  } else if (value == nullptr) {
    profile.DeleteKey(sectionName, TrimIniBlanks(key));
  } else {
    profile.SetValue(sectionName, TrimIniBlanks(key), value);
  }
  const std::string text = profile.Text();

  bool ok = true;
  if (h == INVALID_HANDLE || text != content) {
    AtomicFile file;
    ok = file.Create(path);
    if (ok && h != INVALID_HANDLE) {
      // Same owner and permissions as the file it replaces (ownership as far as allowed).
      [[maybe_unused]] const int owned =
          fchown(file.Descriptor(), original.st_uid, original.st_gid);
      [[maybe_unused]] const int moded = fchmod(file.Descriptor(), original.st_mode & 07777);
    }
    ok = ok && file.Write(text.data(), text.size()) && file.Commit(true);
  }
  const DWORD error = GetLastError();
  if (h != INVALID_HANDLE) FileClose(h);
  SetLastError(ok ? ERROR_SUCCESS : error);
  return ok;
}

}  // namespace platform
