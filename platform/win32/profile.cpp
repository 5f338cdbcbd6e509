// The profile functions with our own reader and the system's code pages: a file in the
// ANSI code page (GBK on a Chinese system), UTF-16 with a byte-order mark or UTF-8
// with one is read as Windows reads it and written back in the encoding it had. Text
// that is valid UTF-8 without a mark (what editors save today) is taken as UTF-8,
// where the system's functions would show it garbled. A new
// file is written in the ANSI code page, as the system's own functions do. A value the
// file's encoding cannot hold fails the write (ERROR_NO_UNICODE_TRANSLATION) instead
// of turning into question marks. Every write replaces the file in one step.
#include "platform/profile.h"

#include <algorithm>

#include <atomic>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/inidocument.h"
#include "platform/profilerules.h"
#include "platform/win32/winapi.h"
#include "platform/win32/wintext.h"

namespace platform {

namespace {

using win32::Narrow;
using win32::Widen;
using win32::WidePath;

enum class Encoding { Ansi, Utf8, Utf16 };

const std::string kUtf16Bom = "\xFF\xFE";
const std::string kUtf8Bom = "\xEF\xBB\xBF";

// Text that is UTF-8 and not plain ASCII: what editors write today without a mark. GBK
// text almost never passes, since its second bytes are not all continuation bytes.
bool IsUtf8Text(const std::string& bytes) {
  bool wide = false;
  size_t i = 0;
  while (i < bytes.size()) {
    const unsigned char c = static_cast<unsigned char>(bytes[i]);
    if (c < 0x80) {
      ++i;
      continue;
    }
    size_t n;
    if (c >= 0xC2 && c <= 0xDF) {
      n = 1;
    } else if ((c & 0xF0) == 0xE0) {
      n = 2;
    } else if (c >= 0xF0 && c <= 0xF4) {
      n = 3;
    } else {
      return false;
    }
    if (i + n >= bytes.size()) return false;
    for (size_t k = 1; k <= n; ++k) {
      if ((static_cast<unsigned char>(bytes[i + k]) & 0xC0) != 0x80) return false;
    }
    wide = true;
    i += n + 1;
  }
  return wide;
}

Encoding EncodingOf(const std::string& bytes) {
  if (bytes.compare(0, kUtf16Bom.size(), kUtf16Bom) == 0) return Encoding::Utf16;
  if (bytes.compare(0, kUtf8Bom.size(), kUtf8Bom) == 0) return Encoding::Utf8;
  if (GetACP() == CP_UTF8 || IsUtf8Text(bytes)) return Encoding::Utf8;
  return Encoding::Ansi;
}

// The file's text as UTF-8 (a UTF-8 byte-order mark stays: the text keeps it).
std::string Decode(const std::string& bytes, Encoding encoding) {
  switch (encoding) {
    case Encoding::Utf16: {
      std::wstring wide((bytes.size() - 2) / 2, L'\0');
      if (!wide.empty()) memcpy(wide.data(), bytes.data() + 2, wide.size() * 2);
      return Narrow(wide);
    }
    case Encoding::Utf8:
      return bytes;
    case Encoding::Ansi:
      break;
  }
  if (bytes.empty()) return bytes;
  const int n = MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()), wide.data(), n);
  return Narrow(wide);
}

bool Encode(const std::string& text, Encoding encoding, std::string* bytes) {
  if (encoding == Encoding::Utf8) {
    *bytes = text;
    return true;
  }
  const std::wstring wide = Widen(text);
  if (encoding == Encoding::Utf16) {
    bytes->assign(kUtf16Bom);
    bytes->append(reinterpret_cast<const char*>(wide.data()), wide.size() * 2);
    return true;
  }
  if (wide.empty()) {
    bytes->clear();
    return true;
  }
  BOOL lossy = FALSE;
  const int n = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), static_cast<int>(wide.size()),
                                    nullptr, 0, nullptr, &lossy);
  if (lossy || n <= 0) {
    ::SetLastError(ERROR_NO_UNICODE_TRANSLATION);
    return false;
  }
  bytes->assign(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), static_cast<int>(wide.size()), bytes->data(), n,
                      nullptr, nullptr);
  return true;
}

bool ReadAll(::HANDLE h, std::string* content) {
  char buffer[65536];
  for (;;) {
    ::DWORD got = 0;
    if (!ReadFile(h, buffer, sizeof buffer, &got, nullptr)) return false;
    if (got == 0) return true;
    content->append(buffer, got);
  }
}

// Writes the bytes to a new file beside the target and moves it over the target.
bool Replace(const std::wstring& target, const std::string& bytes) {
  static std::atomic<unsigned> counter{0};
  const std::wstring temp = target + L"." + std::to_wstring(GetCurrentProcessId()) + L"-" +
                            std::to_wstring(counter.fetch_add(1)) + L".tmp";
  const ::HANDLE h = CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == win32::InvalidHandle()) return false;
  ::DWORD put = 0;
  bool ok = bytes.empty() || (WriteFile(h, bytes.data(), static_cast<::DWORD>(bytes.size()), &put, nullptr) &&
                              put == bytes.size());
  ok = ok && FlushFileBuffers(h);
  ::DWORD error = ::GetLastError();
  CloseHandle(h);
  ok = ok && MoveFileExW(temp.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
  if (!ok) {
    error = error ? error : ::GetLastError();
    if (error == ERROR_SUCCESS) error = ::GetLastError();
    DeleteFileW(temp.c_str());
    ::SetLastError(error);
  }
  return ok;
}

std::mutex writeMutex;

}  // namespace

DWORD profilerules::LoadProfileText(const char* fileName, std::string* text) {
  text->clear();
  const ::HANDLE h = CreateFileW(WidePath(fileName).c_str(), GENERIC_READ,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == win32::InvalidHandle()) return ::GetLastError();
  std::string bytes;
  ::DWORD error = ERROR_SUCCESS;
  if (ReadAll(h, &bytes))
    *text = Decode(bytes, EncodingOf(bytes));
  else
    error = ::GetLastError();
  CloseHandle(h);
  return error;
}

namespace {

// One replacement of the file for every edit: a (key, value) pair sets the key, a null
// value deletes it, a null key deletes the section.
bool WriteProfile(const char* section, const std::vector<std::pair<const char*, const char*>>& edits,
                  const char* fileName) {
  if (fileName == nullptr || *fileName == '\0' || section == nullptr ||
      !std::all_of(edits.begin(), edits.end(), [&](const auto& e) {
        return profilerules::ValidWrite(TrimIniBlanks(section), e.first, e.second);
      })) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  const bool erasing = std::all_of(edits.begin(), edits.end(),
                                   [](const auto& e) { return e.first == nullptr || e.second == nullptr; });
  const std::lock_guard<std::mutex> lock(writeMutex);
  const std::wstring path = WidePath(fileName);

  // Held while the new version is made: another writer meanwhile fails with a sharing
  // violation instead of losing this update; readers go on reading the old version.
  const ::HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  std::string bytes;
  if (h == win32::InvalidHandle()) {
    const ::DWORD error = ::GetLastError();
    if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) return false;
    if (erasing) {  // nothing there to erase; nothing to create either
      ::SetLastError(ERROR_SUCCESS);
      return true;
    }
  } else if (!ReadAll(h, &bytes)) {
    const ::DWORD error = ::GetLastError();
    CloseHandle(h);
    ::SetLastError(error);
    return false;
  } else if (GetFileAttributesW(path.c_str()) & FILE_ATTRIBUTE_READONLY) {
    // Replacing would remove a read-only file (Wine allows it): refused as Windows does.
    CloseHandle(h);
    ::SetLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  const Encoding encoding = h == win32::InvalidHandle() ? (GetACP() == CP_UTF8 ? Encoding::Utf8 : Encoding::Ansi)
                                                      : EncodingOf(bytes);
  const std::string content = Decode(bytes, encoding);
  const std::string_view sectionName = TrimIniBlanks(section);
  IniDocument profile(content);
  profilerules::ApplyEdits(profile, sectionName, edits);
  std::string text = profile.Text();
  // A file without a line end yet gets the system's own.
  if (content.find('\n') == std::string::npos) {
    std::string crlf;
    for (char c : text) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    text = crlf;
  }
  bool ok = true;
  if (h == win32::InvalidHandle() || text != content) {
    std::string out;
    ok = Encode(text, encoding, &out);
    // The file may only be replaced once nobody holds it open.
    if (h != win32::InvalidHandle()) CloseHandle(h);
    ok = ok && Replace(path, out);
  } else if (h != win32::InvalidHandle()) {
    CloseHandle(h);
  }
  const ::DWORD error = ::GetLastError();
  ::SetLastError(ok ? ERROR_SUCCESS : error);
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
