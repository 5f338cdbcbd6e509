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
#include "platform/profilerules.h"
#include "platform/inidocument.h"

namespace platform {

namespace {

using profilerules::ValidWrite;


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

// Writes of this process to profiles go one at a time; other processes meet the share
// locks.
std::mutex writeMutex;

}  // namespace

DWORD profilerules::LoadProfileText(const char* fileName, std::string* text) {
  text->clear();
  if (LoadFile(fileName, text)) return ERROR_SUCCESS;
  text->clear();
  return GetLastError();
}

namespace {

// One replacement of the file for every edit: a (key, value) pair sets the key, a null
// value deletes it, a null key deletes the section.
bool WriteProfile(const char* section, const std::vector<std::pair<const char*, const char*>>& edits,
                  const char* fileName) {
  if (fileName == nullptr || *fileName == '\0' || section == nullptr ||
      !std::all_of(edits.begin(), edits.end(), [&](const auto& e) {
        return ValidWrite(TrimIniBlanks(section), e.first, e.second);
      })) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  const std::string_view sectionName = TrimIniBlanks(section);
  const bool erasing = std::all_of(edits.begin(), edits.end(),
                                   [](const auto& e) { return e.first == nullptr || e.second == nullptr; });
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
  profilerules::ApplyEdits(profile, sectionName, edits);
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

}  // namespace

bool WritePrivateProfileString(const char* section, const char* key, const char* value,
                               const char* fileName) {
  return WriteProfile(section, {{key, value}}, fileName);
}

bool WritePrivateProfileStrings(const char* section, const std::vector<std::pair<std::string, std::string>>& entries,
                                const char* fileName) {
  std::vector<std::pair<const char*, const char*>> edits;
  edits.reserve(entries.size());
  for (const auto& [key, value] : entries) edits.emplace_back(key.c_str(), value.c_str());
  return WriteProfile(section, edits, fileName);
}

}  // namespace platform
