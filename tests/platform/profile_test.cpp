#include "platform/profile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "platform/durablefile.h"
#include "platform/files.h"
#include "tests/platform/testutil.h"

using namespace platform;
using testutil::ReadFile;
using testutil::TempDir;
using testutil::WriteFile;

namespace {

std::string Get(const std::string& file, const char* section, const char* key,
                const char* def = "") {
  char buffer[2048];
  const DWORD n = GetPrivateProfileString(section, key, def, buffer, sizeof buffer, file.c_str());
  return std::string(buffer, n);
}

// A double-zero-terminated list as its names.
std::vector<std::string> List(const std::string& file, const char* section) {
  char buffer[4096];
  const DWORD n = GetPrivateProfileString(section, nullptr, "unused", buffer, sizeof buffer,
                                          file.c_str());
  std::vector<std::string> names;
  for (const char* p = buffer; *p != '\0'; p += strlen(p) + 1) names.emplace_back(p);
  EXPECT_EQ(buffer[n], '\0');
  return names;
}

bool Write(const std::string& file, const char* section, const char* key, const char* value) {
  return WritePrivateProfileString(section, key, value, file.c_str());
}

using Names = std::vector<std::string>;

const char kSample[] =
    "\xEF\xBB\xBF"
    "orphan=before any section\r\n"
    "[ Main ]\r\n"
    "; Key=commented out\r\n"
    "  Key  =  value with blanks  \r\n"
    "Quoted = \"  padded  \"\r\n"
    "Single='x'\r\n"
    "Mismatch=\"abc'\r\n"
    "Twice=\"\"inner\"\"\r\n"
    "Semi=a ; b\r\n"
    "Bare\r\n"
    "Empty=\r\n"
    "key=duplicate\r\n"
    "[broken\r\n"
    "AfterBroken=still main\r\n"
    "[Other]\r\n"
    "Key=other\r\n"
    "[main]\r\n"
    "Key=second section\r\n"
    "Late=from second\r\n";

}  // namespace

TEST(Profile, ReadsByWindowsRules) {
  TempDir dir;
  const std::string f = dir / "a.ini";
  WriteFile(f, kSample);
  EXPECT_EQ(Get(f, "MAIN", "key"), "value with blanks");
  EXPECT_EQ(Get(f, " main ", " KEY "), "value with blanks");
  EXPECT_EQ(Get(f, "Main", "Quoted"), "  padded  ");
  EXPECT_EQ(Get(f, "Main", "Single"), "x");
  EXPECT_EQ(Get(f, "Main", "Mismatch"), "\"abc'");
  EXPECT_EQ(Get(f, "Main", "Twice"), "\"inner\"");
  EXPECT_EQ(Get(f, "Main", "Semi"), "a ; b");
  EXPECT_EQ(Get(f, "Main", "Bare", "def"), "");
  EXPECT_EQ(Get(f, "Main", "Empty", "def"), "");
  EXPECT_EQ(Get(f, "Main", "AfterBroken"), "still main");
  EXPECT_EQ(Get(f, "Main", "orphan", "def"), "def");
  EXPECT_EQ(Get(f, "Main", "; Key", "def"), "def");
  EXPECT_EQ(Get(f, "Other", "key"), "other");
  // A section written twice reads as one; the first value of a key wins.
  EXPECT_EQ(Get(f, "Main", "Late"), "from second");
  EXPECT_EQ(Get(f, "Main", "Missing", "def  "), "def");
  EXPECT_EQ(Get(f, "Main", "Missing", "  def"), "  def");
  EXPECT_EQ(Get(f, "Main", "Missing", nullptr), "");
  EXPECT_EQ(Get(f, "Nowhere", "Key", "d"), "d");

  EXPECT_EQ(List(f, nullptr), (Names{"Main", "Other"}));
  EXPECT_EQ(List(f, "main"), (Names{"Key", "Quoted", "Single", "Mismatch", "Twice", "Semi", "Bare",
                                    "Empty", "AfterBroken", "Late"}));
  EXPECT_EQ(List(f, "Nowhere"), Names{});
}

TEST(Profile, MissingFileReadsAsDefaults) {
  TempDir dir;
  const std::string f = dir / "none.ini";
  EXPECT_EQ(Get(f, "s", "k", "0"), "0");
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(List(f, nullptr), Names{});
  EXPECT_EQ(List(f, "s"), Names{});
  EXPECT_FALSE(testutil::fs::exists(f));
}

// What a call with a small buffer leaves in it: the returned count, then the buffer's
// bytes up to one past the given size (the buffer starts as all 'x').
std::string Small(const std::string& file, const char* section, const char* key, DWORD size) {
  char buf[16];
  memset(buf, 'x', sizeof buf);
  const DWORD n = GetPrivateProfileString(section, key, "default", buf, size, file.c_str());
  return std::to_string(n) + ":" + std::string(buf, size + 1);
}

TEST(Profile, TruncatesLikeWindows) {
  TempDir dir;
  const std::string f = dir / "t.ini";
  WriteFile(f, "[ab]\nkey=abcdef\nk2=x\n[cd]\n");
  using namespace std::string_literals;
  EXPECT_EQ(Small(f, "ab", "key", 4), "3:abc\0x"s);
  EXPECT_EQ(Small(f, "ab", "key", 7), "6:abcdef\0x"s);
  EXPECT_EQ(Small(f, "ab", "nokey", 4), "3:def\0x"s);
  // Sections "ab" and "cd": six characters with their zeros, seven with the final one.
  EXPECT_EQ(Small(f, nullptr, nullptr, 7), "6:ab\0cd\0\0x"s);
  EXPECT_EQ(Small(f, nullptr, nullptr, 6), "4:ab\0c\0\0x"s);
  EXPECT_EQ(Small(f, "ab", nullptr, 5), "3:key\0\0x"s);
  EXPECT_EQ(Small(f, "cd", nullptr, 2), "0:\0\0x"s);
  EXPECT_EQ(Small(f, "ab", "key", 0), "0:x"s);
}

TEST(Profile, WritesCreateFileSectionAndKey) {
  TempDir dir;
  const std::string f = dir / "new.ini";
  ASSERT_TRUE(Write(f, "设置", "检测更新日期", "20240301"));
  EXPECT_EQ(ReadFile(f), "[设置]\n检测更新日期=20240301\n");
  ASSERT_TRUE(Write(f, "设置", "软件类别", "3"));
  ASSERT_TRUE(Write(f, "Other", "K", "v"));
  EXPECT_EQ(ReadFile(f), "[设置]\n检测更新日期=20240301\n软件类别=3\n[Other]\nK=v\n");
  EXPECT_EQ(Get(f, "设置", "软件类别"), "3");
  EXPECT_EQ(Get(f, "other", "k"), "v");
  EXPECT_EQ(List(f, "设置"), (Names{"检测更新日期", "软件类别"}));
}

TEST(Profile, ManyKeysInOneWriteLeaveWhatOneWriteEachWould) {
  TempDir dir;
  const std::string one = dir / "one.ini";
  const std::string many = dir / "many.ini";
  const std::string start = "[更新日期]\r\nA.dll=1\r\n[设置]\r\n更新日期=20240101\r\n";
  WriteFile(one, start);
  WriteFile(many, start);
  const std::vector<std::pair<std::string, std::string>> entries = {
      {"b\\x.dat", "3"}, {"a.DLL", "2"}, {"c", "4"}, {"B\\X.dat", "5"}};
  for (const auto& [key, value] : entries) ASSERT_TRUE(Write(one, "更新日期", key.c_str(), value.c_str()));
  ASSERT_TRUE(WritePrivateProfileStrings("更新日期", entries, many.c_str()));
  EXPECT_EQ(ReadFile(many), ReadFile(one));
  EXPECT_EQ(Get(many, "更新日期", "b\\x.dat"), "5");

  // Created when missing; one refused entry and nothing of the others is written.
  const std::string fresh = dir / "fresh.ini";
  ASSERT_TRUE(WritePrivateProfileStrings("s", {{"k", "v"}}, fresh.c_str()));
  EXPECT_EQ(Get(fresh, "s", "k"), "v");
  EXPECT_FALSE(WritePrivateProfileStrings("s", {{"k2", "v2"}, {"bad\nkey", "x"}}, fresh.c_str()));
  EXPECT_EQ(Get(fresh, "s", "k2", "<none>"), "<none>");
}

TEST(Profile, WritesChangeOnlyWhatTheyMust) {
  TempDir dir;
  const std::string f = dir / "w.ini";
  WriteFile(f,
            "; header comment\n"
            "[a]\n"
            "  X = 1 \n"
            "y=2\n"
            "\n"
            "; closes a\n"
            "[b]\n"
            "z=3");
  ASSERT_TRUE(Write(f, "A", "new", "n"));  // after the last entry of [a]
  ASSERT_TRUE(Write(f, "a", "x", "9"));    // in place, keeping the stored name
  ASSERT_TRUE(Write(f, "b", "w", "4"));    // the file had no final line break
  EXPECT_EQ(ReadFile(f),
            "; header comment\n"
            "[a]\n"
            "X=9\n"
            "y=2\n"
            "new=n\n"
            "\n"
            "; closes a\n"
            "[b]\n"
            "z=3\n"
            "w=4\n");
}

TEST(Profile, WritesKeepCrLfAndBom) {
  TempDir dir;
  const std::string f = dir / "crlf.ini";
  WriteFile(f, "\xEF\xBB\xBF[a]\r\nx=1\r\n");
  ASSERT_TRUE(Write(f, "a", "y", "2"));
  ASSERT_TRUE(Write(f, "b", "z", "3"));
  EXPECT_EQ(ReadFile(f), "\xEF\xBB\xBF[a]\r\nx=1\r\ny=2\r\n[b]\r\nz=3\r\n");
}

TEST(Profile, DeletesKeysAndSections) {
  TempDir dir;
  const std::string f = dir / "d.ini";
  WriteFile(f, "[a]\nx=1\nX=2\ny=3\n[b]\nz=1\n[A]\nx=4\nq=1\n");
  ASSERT_TRUE(Write(f, "a", "x", nullptr));  // every copy, so no older value shows through
  EXPECT_EQ(ReadFile(f), "[a]\ny=3\n[b]\nz=1\n[A]\nq=1\n");
  EXPECT_EQ(Get(f, "a", "x", "gone"), "gone");
  ASSERT_TRUE(Write(f, "a", nullptr, nullptr));
  EXPECT_EQ(ReadFile(f), "[b]\nz=1\n");
  ASSERT_TRUE(Write(f, "missing", nullptr, nullptr));
  ASSERT_TRUE(Write(f, "b", "missing", nullptr));
  EXPECT_EQ(ReadFile(f), "[b]\nz=1\n");

  // Erasing in a file that does not exist creates nothing.
  EXPECT_TRUE(Write(dir / "none.ini", "file", nullptr, nullptr));
  EXPECT_TRUE(Write(dir / "none.ini", "file", "k", nullptr));
  EXPECT_TRUE(Write(dir / "nodir/none.ini", "file", nullptr, nullptr));
  EXPECT_FALSE(testutil::fs::exists(dir / "none.ini"));
}

TEST(Profile, WriteReplacesTheFileAtomically) {
  TempDir dir;
  const std::string f = dir / "r.ini";
  WriteFile(f, "[s]\nk=old\n; keep me\n");
  ASSERT_EQ(chmod(f.c_str(), 0640), 0);
  struct stat before, after;
  ASSERT_EQ(stat(f.c_str(), &before), 0);
  // A reader that opened the file before the write keeps a complete old version.
  const HANDLE reader = FileOpen(f, OPEN_READ | SHARE_DENY_NONE);
  ASSERT_NE(reader, INVALID_HANDLE);

  ASSERT_TRUE(Write(f, "s", "k", "new"));
  char buf[64] = {};
  EXPECT_EQ(FileRead(reader, buf, sizeof buf - 1), 20);
  EXPECT_STREQ(buf, "[s]\nk=old\n; keep me\n");
  FileClose(reader);

  EXPECT_EQ(ReadFile(f), "[s]\nk=new\n; keep me\n");
  ASSERT_EQ(stat(f.c_str(), &after), 0);
  EXPECT_NE(after.st_ino, before.st_ino);
  EXPECT_EQ(after.st_mode & 07777, 0640u);
  std::vector<std::string> entries;
  for (const auto& e : testutil::fs::directory_iterator(dir.path()))
    entries.push_back(e.path().filename().string());
  EXPECT_EQ(entries, std::vector<std::string>{"r.ini"});
}

TEST(Profile, WriteThroughSymbolicLinkUpdatesTheTarget) {
  TempDir dir;
  WriteFile(dir / "real.ini", "[s]\nk=1\n");
  ASSERT_EQ(symlink((dir / "real.ini").c_str(), (dir / "link.ini").c_str()), 0);
  ASSERT_TRUE(Write(dir / "link.ini", "s", "k", "2"));
  EXPECT_TRUE(testutil::fs::is_symlink(dir / "link.ini"));
  EXPECT_EQ(ReadFile(dir / "real.ini"), "[s]\nk=2\n");
}

TEST(Profile, WriteFailuresLeaveTheFileAlone) {
  TempDir dir;
  EXPECT_FALSE(Write(dir / "nodir/x.ini", "s", "k", "v"));
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);

  const std::string f = dir / "f.ini";
  const std::string content = "[s]\nk=1\n";
  WriteFile(f, content);
  ASSERT_TRUE(SetFileAttributes(f, FILE_ATTRIBUTE_READONLY));
  EXPECT_FALSE(Write(f, "s", "k", "2"));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_FALSE(Write(f, "s", nullptr, nullptr));
  ASSERT_TRUE(SetFileAttributes(f, FILE_ATTRIBUTE_NORMAL));

  const HANDLE h = FileOpen(f, OPEN_READ | SHARE_EXCLUSIVE);
  EXPECT_FALSE(Write(f, "s", "k", "2"));
  EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
  EXPECT_EQ(Get(f, "s", "k", "locked"), "locked");
  FileClose(h);
  {
    testutil::ExternalLock lock(f, true, dir / "ready");
    ASSERT_TRUE(lock.ready());
    EXPECT_FALSE(Write(f, "s", "k", "2"));
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
  }
  // Text that would break the file's lines is refused.
  EXPECT_FALSE(Write(f, "s", "k", "2\n[evil]\nx=1"));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(Write(f, "s", "a=b", "1"));
  EXPECT_FALSE(Write(f, "s]x", "a", "1"));
  EXPECT_EQ(ReadFile(f), content);
  EXPECT_TRUE(Write(f, "s", "k", "2"));
  EXPECT_EQ(Get(f, "s", "k"), "2");
}

namespace {

TEST(DurableFiles, FlushingManyReportsAMissingOneButStillFlushesTheRest) {
  TempDir dir;
  WriteFile(dir / "a", "a");
  WriteFile(dir / "b", "b");
  EXPECT_TRUE(FlushFilesToDisk({dir / "a", dir / "b"}));
  EXPECT_TRUE(FlushFilesToDisk({}));
  SetLastError(ERROR_SUCCESS);
  EXPECT_FALSE(FlushFilesToDisk({dir / "a", dir / "missing", dir / "b"}));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

}  // namespace
