// The Win32 implementation against the system itself: INI files in the encodings
// Windows writes them in, real share modes, long and non-ASCII paths.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "platform/durablefile.h"
#include "platform/files.h"
#include "platform/profile.h"
#include "platform/types.h"

// The system's ANSI code page; <windows.h> would rename our functions with its macros.
extern "C" __declspec(dllimport) unsigned int __stdcall GetACP();

namespace {

namespace fs = std::filesystem;

class Win32Test : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    dir_ = fs::path(TEST_BINARY_DIR) / "test-files" / (std::string("w32.") + info->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  static fs::path U8(const std::string& s) { return fs::path(std::u8string(s.begin(), s.end())); }
  std::string Path(const std::string& name) const {
    const std::u8string p = (dir_ / U8(name)).u8string();
    return std::string(p.begin(), p.end());
  }
  static void Put(const std::string& path, const std::string& bytes) {
    std::ofstream(U8(path), std::ios::binary) << bytes;
  }
  static std::string Get(const std::string& path) {
    std::ifstream in(U8(path), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  static std::string Read(const char* section, const char* key, const std::string& file) {
    char buffer[256];
    const platform::DWORD n = platform::GetPrivateProfileString(section, key, "<none>", buffer, sizeof buffer, file.c_str());
    return std::string(buffer, n);
  }
  static bool Chinese() { return GetACP() == 936; }

  fs::path dir_;
};

// "升级" and "更新日期" in GBK, as the system's profile functions write them on a
// Chinese Windows.
const std::string kGbkSection = "\xC9\xFD\xBC\xB6";
const std::string kGbkKey = "\xB8\xFC\xD0\xC2\xC8\xD5\xC6\xDA";

TEST_F(Win32Test, AnAnsiFileIsReadAndWrittenInTheSystemCodePage) {
  const std::string file = Path("record.ini");
  Put(file, "[" + kGbkSection + "]\r\n" + kGbkKey + "=20240101\r\n");
  if (Chinese()) {
    EXPECT_EQ(Read("升级", "更新日期", file), "20240101");
    ASSERT_TRUE(platform::WritePrivateProfileString("升级", "软件类别", "演示", file.c_str()));
    // 软件类别=演示 in GBK, after the existing entry, line ends kept.
    EXPECT_EQ(Get(file), "[" + kGbkSection + "]\r\n" + kGbkKey + "=20240101\r\n" +
                             "\xC8\xED\xBC\xFE\xC0\xE0\xB1\xF0=\xD1\xDD\xCA\xBE\r\n");
    EXPECT_EQ(Read("升级", "软件类别", file), "演示");
  } else {
    // An English system reads the same bytes as Latin-1 letters, as Windows does.
    EXPECT_EQ(Read("\xC3\x89\xC3\xBD\xC2\xBC\xC2\xB6", nullptr, file).substr(0, 4), "\xC2\xB8\xC3\xBC");
    // A Chinese value has no place in code page 1252: refused, the file unchanged.
    const std::string before = Get(file);
    EXPECT_FALSE(platform::WritePrivateProfileString("s", "k", "演示", file.c_str()));
    EXPECT_EQ(platform::GetLastError(), 1113u);  // ERROR_NO_UNICODE_TRANSLATION
    EXPECT_EQ(Get(file), before);
  }
}

TEST_F(Win32Test, ASectionReadAtOnceDecodesAsEachRead) {
  const std::string file = Path("list.ini");
  Put(file, "[" + kGbkSection + "]\r\n" + kGbkKey + "=20240101\r\nplain=\"x\"\r\n");
  // The section's name as this system's code page reads the bytes.
  const char* name = Chinese() ? "升级" : "\xC3\x89\xC3\xBD\xC2\xBC\xC2\xB6";
  platform::ProfileSection section;
  ASSERT_TRUE(section.Read(name, file.c_str()));
  ASSERT_EQ(section.KeyNames().size(), 2u);
  const std::string key = section.KeyNames()[0];
  if (Chinese()) {
    EXPECT_EQ(key, "更新日期");
  }
  char buffer[64];
  EXPECT_EQ(std::string(buffer, section.Get(key.c_str(), "", buffer, sizeof buffer)), "20240101");
  EXPECT_EQ(std::string(buffer, section.Get("PLAIN", "", buffer, sizeof buffer)), "x");
  EXPECT_EQ(Read(name, key.c_str(), file), "20240101");
}

TEST_F(Win32Test, AUtf16FileStaysUtf16WithItsMark) {
  const std::string file = Path("wide.ini");
  // [升级]\r\n更新日期=20240101\r\n in UTF-16LE with its mark.
  const std::u16string text = u"[升级]\r\n更新日期=20240101\r\n";
  Put(file, std::string("\xFF\xFE") + std::string(reinterpret_cast<const char*>(text.data()), text.size() * 2));
  EXPECT_EQ(Read("升级", "更新日期", file), "20240101");
  ASSERT_TRUE(platform::WritePrivateProfileString("升级", "更新日期", "20240301", file.c_str()));
  const std::u16string after = u"[升级]\r\n更新日期=20240301\r\n";
  EXPECT_EQ(Get(file), std::string("\xFF\xFE") +
                           std::string(reinterpret_cast<const char*>(after.data()), after.size() * 2));
  // Characters beyond any code page are fine in a Unicode file.
  ASSERT_TRUE(platform::WritePrivateProfileString("升级", "名", "😀", file.c_str()));
  EXPECT_EQ(Read("升级", "名", file), "😀");
}

TEST_F(Win32Test, ANewFileIsWrittenInTheCodePageAndNoTemporaryFileRemains) {
  const std::string file = Path("new.ini");
  if (!Chinese()) {
    // Code page 1252 has no Chinese: the write is refused and no file is left behind.
    EXPECT_FALSE(platform::WritePrivateProfileString("设置", "更新日期", "20240101", file.c_str()));
    EXPECT_FALSE(fs::exists(U8(file)));
    ASSERT_TRUE(platform::WritePrivateProfileString("setup", "date", "20240101", file.c_str()));
    EXPECT_EQ(Get(file), "[setup]\r\ndate=20240101\r\n");
    return;
  }
  ASSERT_TRUE(platform::WritePrivateProfileString("设置", "更新日期", "20240101", file.c_str()));
  if (Chinese()) {
    EXPECT_EQ(Get(file), "[\xC9\xE8\xD6\xC3]\r\n" + kGbkKey + "=20240101\r\n");
  }
  // Written as the system would: a value beyond the code page is refused, nothing lost.
  EXPECT_FALSE(platform::WritePrivateProfileString("设置", "名", "😀", file.c_str()));
  EXPECT_EQ(Read("设置", "更新日期", file), "20240101");
  EXPECT_EQ(Read("设置", "更新日期", file), "20240101");
  int entries = 0;
  for (const auto& e : fs::directory_iterator(dir_)) entries += e.is_regular_file();
  EXPECT_EQ(entries, 1);
}

TEST_F(Win32Test, UnmarkedUtf8IsTakenAsUtf8AndStaysSo) {
  const std::string file = Path("utf8.ini");
  Put(file, "[文件更新日期]\nlist.ini=20240301\n");
  EXPECT_EQ(Read("文件更新日期", "list.ini", file), "20240301");
  ASSERT_TRUE(platform::WritePrivateProfileString("文件更新日期", "app.exe", "20240302", file.c_str()));
  EXPECT_EQ(Get(file), "[文件更新日期]\nlist.ini=20240301\napp.exe=20240302\n");
}

TEST_F(Win32Test, AWriteToAFileInUseOrReadOnlyFailsAndChangesNothing) {
  const std::string file = Path("busy.ini");
  Put(file, "[a]\r\nk=1\r\n");
  platform::HANDLE h = platform::FileOpen(file, platform::OPEN_READWRITE | platform::SHARE_EXCLUSIVE);
  ASSERT_NE(h, platform::INVALID_HANDLE);
  EXPECT_FALSE(platform::WritePrivateProfileString("a", "k", "2", file.c_str()));
  platform::FileClose(h);
  EXPECT_EQ(Get(file), "[a]\r\nk=1\r\n");
  ASSERT_TRUE(platform::SetFileAttributes(file, platform::FILE_ATTRIBUTE_READONLY));
  EXPECT_FALSE(platform::WritePrivateProfileString("a", "k", "2", file.c_str()));
  EXPECT_EQ(platform::GetLastError(), platform::ERROR_ACCESS_DENIED);
  ASSERT_TRUE(platform::SetFileAttributes(file, platform::FILE_ATTRIBUTE_NORMAL));
  EXPECT_EQ(Read("a", "k", file), "1");
}

TEST_F(Win32Test, AFileHeldExclusivelyIsReallyInUse) {
  const std::string file = Path("held.bin");
  platform::HANDLE h = platform::FileCreate(file, platform::SHARE_EXCLUSIVE);
  ASSERT_NE(h, platform::INVALID_HANDLE);
  EXPECT_EQ(platform::FileWrite(h, "data", 4), 4);
  EXPECT_EQ(platform::FileOpen(file, platform::OPEN_READ | platform::SHARE_DENY_NONE), platform::INVALID_HANDLE);
  EXPECT_EQ(platform::GetLastError(), platform::ERROR_SHARING_VIOLATION);
  EXPECT_FALSE(platform::DeleteFile(file));
  EXPECT_EQ(platform::GetLastError(), platform::ERROR_SHARING_VIOLATION);
  EXPECT_FALSE(platform::CopyFile(Path("missing"), file, false));
  // Only the holder's own handle can bring what it wrote to the disk.
  EXPECT_FALSE(platform::FlushFileToDisk(file));
  EXPECT_TRUE(platform::FileFlush(h));
  platform::FileClose(h);
  // Readers that allow others still share.
  platform::HANDLE a = platform::FileOpen(file, platform::OPEN_READ | platform::SHARE_DENY_NONE);
  platform::HANDLE b = platform::FileOpen(file, platform::OPEN_READ | platform::SHARE_DENY_NONE);
  EXPECT_NE(a, platform::INVALID_HANDLE);
  EXPECT_NE(b, platform::INVALID_HANDLE);
  platform::FileClose(a);
  platform::FileClose(b);
  EXPECT_TRUE(platform::DeleteFile(file));
}

TEST_F(Win32Test, LongAndNonAsciiPathsWork) {
  std::string deep = Path("中文目录");
  while (deep.size() < 300) deep += "\\" + std::string(40, 'd');
  ASSERT_TRUE(platform::ForceDirectories(deep));
  EXPECT_TRUE(platform::DirectoryExists(deep));
  const std::string file = deep + "\\文件.txt";
  platform::HANDLE h = platform::FileCreate(file);
  ASSERT_NE(h, platform::INVALID_HANDLE);
  EXPECT_EQ(platform::FileWrite(h, "abc", 3), 3);
  EXPECT_EQ(platform::FileSize(h), 3);
  platform::FileClose(h);
  EXPECT_TRUE(platform::FileExists(file));
  ASSERT_TRUE(platform::CopyFile(file, deep + "\\副本.txt", true));
  EXPECT_FALSE(platform::CopyFile(file, deep + "\\副本.txt", true));
  EXPECT_EQ(platform::GetLastError(), platform::ERROR_FILE_EXISTS);
  ASSERT_TRUE(platform::WritePrivateProfileString("s", "k", "v", (deep + "\\设置.ini").c_str()));
  EXPECT_EQ(Read("s", "k", deep + "\\设置.ini"), "v");
  // The C++ library cannot remove what lies beyond 260 characters: the platform can.
  for (const char* name : {"文件.txt", "副本.txt", "设置.ini"}) EXPECT_TRUE(platform::DeleteFile(deep + "\\" + name));
  while (deep.size() > Path("").size()) {
    EXPECT_TRUE(platform::RemoveDirectory(deep)) << deep;
    deep.erase(deep.find_last_of('\\'));
  }
}

}  // namespace
