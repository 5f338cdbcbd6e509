#include "platform/files.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "tests/platform/testutil.h"

using namespace platform;
using testutil::ReadFile;
using testutil::TempDir;
using testutil::WriteFile;

namespace {

mode_t ModeOf(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

std::vector<std::string> Entries(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir))
    names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace

TEST(Files, ReadWriteSeekTruncate) {
  TempDir dir;
  const HANDLE h = FileCreate(dir / "data");
  ASSERT_NE(h, INVALID_HANDLE);
  EXPECT_EQ(FileWrite(h, "hello world", 11), 11);
  EXPECT_EQ(FileSize(h), 11);
  EXPECT_EQ(FileSeek(h, 6, 0), 6);
  char buf[16] = {};
  EXPECT_EQ(FileRead(h, buf, sizeof buf), 5);
  EXPECT_STREQ(buf, "world");
  EXPECT_TRUE(FileTruncate(h, 5));
  EXPECT_EQ(FileSeek(h, 0, 1), 11);  // truncating leaves the position alone
  EXPECT_EQ(FileSeek(h, 0, 2), 5);
  EXPECT_TRUE(FileClose(h));
  EXPECT_EQ(ReadFile(dir / "data"), "hello");
  EXPECT_EQ(FileRead(-1, buf, 1), -1);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

// Pairs of openers through this layer: the second open succeeds exactly when the
// access and sharing of both allow each other, as on Windows.
TEST(Files, ShareModesBetweenOpeners) {
  struct Case {
    UINT first, second;
    bool secondOpens;
  };
  const Case cases[] = {
      {OPEN_READ | SHARE_EXCLUSIVE, OPEN_READ | SHARE_DENY_NONE, false},
      {OPEN_READ, OPEN_READ | SHARE_DENY_NONE, false},  // sharing 0 is exclusive
      {OPEN_READ | SHARE_DENY_NONE, OPEN_READ | SHARE_EXCLUSIVE, false},
      {OPEN_READ | SHARE_DENY_NONE, OPEN_READ | SHARE_DENY_WRITE, true},
      {OPEN_READ | SHARE_DENY_NONE, OPEN_READWRITE | SHARE_DENY_NONE, true},
      {OPEN_READ | SHARE_DENY_WRITE, OPEN_READ | SHARE_DENY_WRITE, true},
      {OPEN_READ | SHARE_DENY_WRITE, OPEN_WRITE | SHARE_DENY_NONE, false},
      {OPEN_WRITE | SHARE_DENY_NONE, OPEN_READ | SHARE_DENY_WRITE, false},
      {OPEN_WRITE | SHARE_DENY_NONE, OPEN_READWRITE | SHARE_DENY_NONE, true},
      {OPEN_READWRITE | SHARE_DENY_NONE, OPEN_READWRITE | SHARE_EXCLUSIVE, false},
      {OPEN_READWRITE | SHARE_DENY_WRITE, OPEN_READ | SHARE_DENY_WRITE, false},
      {OPEN_READ | SHARE_DENY_WRITE, OPEN_READWRITE | SHARE_DENY_WRITE, false},
      {OPEN_READWRITE | SHARE_EXCLUSIVE, OPEN_READ | SHARE_DENY_WRITE, false},
  };
  TempDir dir;
  WriteFile(dir / "f", "x");
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.first << " then " << c.second);
    const HANDLE a = FileOpen(dir / "f", c.first);
    ASSERT_NE(a, INVALID_HANDLE);
    const HANDLE b = FileOpen(dir / "f", c.second);
    EXPECT_EQ(b != INVALID_HANDLE, c.secondOpens);
    if (b == INVALID_HANDLE) {
      EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    } else {
      FileClose(b);
    }
    FileClose(a);
    // Closing gives the file back.
    const HANDLE again = FileOpen(dir / "f", OPEN_READWRITE | SHARE_EXCLUSIVE);
    EXPECT_NE(again, INVALID_HANDLE);
    FileClose(again);
  }
}

// An empty file is not truncated again; anything else is emptied.
TEST(Files, CreateEmptiesAnExistingFileAndKeepsAnEmptyOne) {
  TempDir dir;
  WriteFile(dir / "old", "old contents");
  WriteFile(dir / "empty", "");
  for (const char* name : {"old", "empty", "new"}) {
    SCOPED_TRACE(name);
    const HANDLE h = FileCreate(dir / name);
    ASSERT_NE(h, INVALID_HANDLE);
    EXPECT_EQ(FileSize(h), 0);
    EXPECT_EQ(FileWrite(h, "ab", 2), 2);
    FileClose(h);
    EXPECT_EQ(ReadFile(dir / name), "ab");
  }
}

TEST(Files, FileInUseCannotBeDeletedReplacedOrEmptied) {
  TempDir dir;
  WriteFile(dir / "target", "in use");
  WriteFile(dir / "source", "new");
  const HANDLE h = FileOpen(dir / "target", OPEN_READ | SHARE_EXCLUSIVE);
  ASSERT_NE(h, INVALID_HANDLE);

  EXPECT_FALSE(DeleteFile(dir / "target"));
  EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
  EXPECT_FALSE(CopyFile(dir / "source", dir / "target", false));
  EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
  EXPECT_EQ(FileCreate(dir / "target"), INVALID_HANDLE);
  EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
  EXPECT_FALSE(MoveFile(dir / "target", dir / "moved"));
  EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
  EXPECT_EQ(ReadFile(dir / "target"), "in use");
  EXPECT_EQ(Entries(dir.path()), (std::vector<std::string>{"source", "target"}));

  FileClose(h);
  EXPECT_TRUE(CopyFile(dir / "source", dir / "target", false));
  EXPECT_EQ(ReadFile(dir / "target"), "new");
  EXPECT_TRUE(DeleteFile(dir / "target"));
  EXPECT_FALSE(FileExists(dir / "target"));
}

TEST(Files, SharedReadersAllowDeleteOnlyWhenTheyShareEverything) {
  TempDir dir;
  WriteFile(dir / "a", "a");
  WriteFile(dir / "b", "b");
  const HANDLE denyNone = FileOpen(dir / "a", OPEN_READ | SHARE_DENY_NONE);
  const HANDLE denyWrite = FileOpen(dir / "b", OPEN_READ | SHARE_DENY_WRITE);
  EXPECT_TRUE(DeleteFile(dir / "a"));
  EXPECT_FALSE(DeleteFile(dir / "b"));
  EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
  FileClose(denyNone);
  FileClose(denyWrite);
}

TEST(Files, LockOfTheFlockCommandIsHonouredBothWays) {
  TempDir dir;
  WriteFile(dir / "f", "locked");
  WriteFile(dir / "src", "new");
  {
    testutil::ExternalLock lock(dir / "f", true, dir / "ready");
    ASSERT_TRUE(lock.ready());
    EXPECT_EQ(FileOpen(dir / "f", OPEN_READ | SHARE_DENY_NONE), INVALID_HANDLE);
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    EXPECT_FALSE(DeleteFile(dir / "f"));
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    EXPECT_FALSE(CopyFile(dir / "src", dir / "f", false));
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    EXPECT_EQ(ReadFile(dir / "f"), "locked");
  }
  {
    testutil::ExternalLock shared(dir / "f", false, dir / "ready2");
    ASSERT_TRUE(shared.ready());
    const HANDLE reader = FileOpen(dir / "f", OPEN_READ | SHARE_DENY_NONE);
    EXPECT_NE(reader, INVALID_HANDLE);
    FileClose(reader);
    EXPECT_FALSE(DeleteFile(dir / "f"));
  }
  // Our exclusive opener is visible to the command; a deny-none reader is not in its way.
  const HANDLE h = FileOpen(dir / "f", OPEN_READ | SHARE_EXCLUSIVE);
  EXPECT_EQ(testutil::RunProgram({"flock", "-n", "-s", dir / "f", "true"}), 1);
  FileClose(h);
  const HANDLE reader = FileOpen(dir / "f", OPEN_READ | SHARE_DENY_NONE);
  EXPECT_EQ(testutil::RunProgram({"flock", "-n", "-x", dir / "f", "true"}), 0);
  FileClose(reader);
  EXPECT_TRUE(DeleteFile(dir / "f"));
}

// Tests run as root, who may write anything: read-only must still hold.
TEST(Files, ReadOnlyFilesAreProtected) {
  TempDir dir;
  WriteFile(dir / "ro", "keep");
  WriteFile(dir / "src", "new");
  ASSERT_TRUE(SetFileAttributes(dir / "ro", FILE_ATTRIBUTE_READONLY));
  EXPECT_EQ(GetFileAttributes(dir / "ro"), FILE_ATTRIBUTE_READONLY);

  EXPECT_FALSE(DeleteFile(dir / "ro"));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_FALSE(CopyFile(dir / "src", dir / "ro", false));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_EQ(FileOpen(dir / "ro", OPEN_WRITE | SHARE_DENY_NONE), INVALID_HANDLE);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_EQ(FileCreate(dir / "ro"), INVALID_HANDLE);
  EXPECT_EQ(ReadFile(dir / "ro"), "keep");
  const HANDLE reader = FileOpen(dir / "ro", OPEN_READ | SHARE_DENY_NONE);
  EXPECT_NE(reader, INVALID_HANDLE);
  FileClose(reader);

  ASSERT_TRUE(SetFileAttributes(dir / "ro", FILE_ATTRIBUTE_NORMAL));
  EXPECT_EQ(GetFileAttributes(dir / "ro"), FILE_ATTRIBUTE_NORMAL);
  EXPECT_TRUE(DeleteFile(dir / "ro"));
}

TEST(Files, AttributesFollowWriteBits) {
  TempDir dir;
  WriteFile(dir / "f", "");
  ASSERT_TRUE(SetFileMode(dir / "f", 0666));
  EXPECT_EQ(GetFileAttributes(dir / "f"), FILE_ATTRIBUTE_NORMAL);
  EXPECT_TRUE(SetFileAttributes(dir / "f", FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE));
  EXPECT_EQ(GetFileMode(dir / "f"), 0444u);
  EXPECT_TRUE(SetFileAttributes(dir / "f", FILE_ATTRIBUTE_NORMAL));
  EXPECT_EQ(GetFileMode(dir / "f"), 0644u);  // owner write back, nothing more
  ASSERT_TRUE(SetFileMode(dir / "f", 0664));
  EXPECT_TRUE(SetFileAttributes(dir / "f", FILE_ATTRIBUTE_NORMAL));
  EXPECT_EQ(GetFileMode(dir / "f"), 0664u);

  EXPECT_EQ(GetFileAttributes(dir.path()), FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_EQ(GetFileAttributes(dir / "missing"), INVALID_FILE_ATTRIBUTES);
}

TEST(Files, FailuresCarryWindowsCodes) {
  TempDir dir;
  ASSERT_TRUE(CreateDirectory(dir / "sub"));
  EXPECT_EQ(FileOpen(dir / "missing", OPEN_READ), INVALID_HANDLE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(FileCreate(dir / "no/file"), INVALID_HANDLE);
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(FileOpen(dir / "sub", OPEN_READ | SHARE_DENY_NONE), INVALID_HANDLE);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_EQ(FileOpen(dir / "sub", OPEN_READWRITE | SHARE_DENY_NONE), INVALID_HANDLE);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_EQ(FileCreate(dir / "sub"), INVALID_HANDLE);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_FALSE(DeleteFile(dir / "missing"));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(DeleteFile(dir / "nodir/missing"));
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  EXPECT_FALSE(DeleteFile(dir / "sub"));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_TRUE(DirectoryExists(dir / "sub"));
}

TEST(Files, CopyCarriesContentsModeAndTime) {
  TempDir dir;
  std::string data(300000, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 + i / 1000);
  WriteFile(dir / "src", data);
  ASSERT_TRUE(SetFileMode(dir / "src", 0750));
  const timespec times[2] = {{1600000000, 0}, {1700000000, 123456789}};
  ASSERT_EQ(utimensat(AT_FDCWD, (dir / "src").c_str(), times, 0), 0);
  ASSERT_TRUE(CreateDirectory(dir / "out"));

  ASSERT_TRUE(CopyFile(dir / "src", dir / "out/dst", true));
  EXPECT_EQ(ReadFile(dir / "out/dst"), data);
  EXPECT_EQ(ModeOf(dir / "out/dst"), 0750u);
  struct stat st;
  ASSERT_EQ(stat((dir / "out/dst").c_str(), &st), 0);
  EXPECT_EQ(st.st_mtim.tv_sec, 1700000000);
  EXPECT_EQ(st.st_mtim.tv_nsec, 123456789);
  EXPECT_EQ(Entries(dir / "out"), std::vector<std::string>{"dst"});  // no temporary left

  // A read-only source gives a read-only copy.
  ASSERT_TRUE(SetFileAttributes(dir / "src", FILE_ATTRIBUTE_READONLY));
  ASSERT_TRUE(CopyFile(dir / "src", dir / "ro", false));
  EXPECT_EQ(GetFileAttributes(dir / "ro"), FILE_ATTRIBUTE_READONLY);
}

TEST(Files, CopyOntoExistingTarget) {
  TempDir dir;
  WriteFile(dir / "src", "new");
  WriteFile(dir / "dst", "old");
  EXPECT_FALSE(CopyFile(dir / "src", dir / "dst", true));
  EXPECT_EQ(GetLastError(), ERROR_FILE_EXISTS);
  EXPECT_EQ(ReadFile(dir / "dst"), "old");
  EXPECT_TRUE(CopyFile(dir / "src", dir / "dst", false));
  EXPECT_EQ(ReadFile(dir / "dst"), "new");

  // Onto itself: refused, and the file survives.
  EXPECT_FALSE(CopyFile(dir / "src", dir / "src", false));
  EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
  EXPECT_EQ(ReadFile(dir / "src"), "new");

  EXPECT_FALSE(CopyFile(dir / "missing", dir / "x", false));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(CopyFile(dir / "src", dir / "nodir/x", false));
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(Entries(dir.path()), (std::vector<std::string>{"dst", "src"}));
}

TEST(Files, MoveRefusesToReplace) {
  TempDir dir;
  WriteFile(dir / "a", "a");
  WriteFile(dir / "b", "b");
  EXPECT_FALSE(MoveFile(dir / "a", dir / "b"));
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_EQ(ReadFile(dir / "b"), "b");
  EXPECT_TRUE(MoveFile(dir / "a", dir / "c"));
  EXPECT_EQ(ReadFile(dir / "c"), "a");
  EXPECT_FALSE(FileExists(dir / "a"));
}

TEST(Files, Directories) {
  TempDir dir;
  EXPECT_TRUE(ForceDirectories(dir / "a/b/c/"));
  EXPECT_TRUE(DirectoryExists(dir / "a/b/c"));
  EXPECT_FALSE(FileExists(dir / "a/b/c"));
  EXPECT_TRUE(ForceDirectories(dir / "a/b"));
  EXPECT_FALSE(CreateDirectory(dir / "a"));
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);

  WriteFile(dir / "file", "");
  EXPECT_TRUE(FileExists(dir / "file"));
  EXPECT_FALSE(DirectoryExists(dir / "file"));
  EXPECT_FALSE(ForceDirectories(dir / "file/sub"));
  EXPECT_FALSE(ForceDirectories(dir / "file"));

  EXPECT_FALSE(RemoveDirectory(dir / "a"));
  EXPECT_EQ(GetLastError(), ERROR_DIR_NOT_EMPTY);
  EXPECT_FALSE(RemoveDirectory(dir / "file"));
  EXPECT_EQ(GetLastError(), ERROR_DIRECTORY);
  EXPECT_TRUE(RemoveDirectory(dir / "a/b/c"));
}

TEST(Files, TypesOfWhatAPathOrHandleStandsFor) {
  TempDir dir;
  WriteFile(dir / "plain", "x");
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
  EXPECT_EQ(GetPathFileType(dir / "plain"), FILE_TYPE_DISK);
  EXPECT_EQ(GetPathFileType("/dev/null"), FILE_TYPE_CHAR);
  EXPECT_EQ(GetPathFileType(dir / "fifo"), FILE_TYPE_PIPE);  // without waiting for a reader
  EXPECT_EQ(GetPathFileType(dir.path()), FILE_TYPE_UNKNOWN);
  EXPECT_EQ(GetPathFileType(dir / "none/x"), FILE_TYPE_UNKNOWN);
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);

  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  EXPECT_EQ(GetFileType(fds[0]), FILE_TYPE_PIPE);
  close(fds[0]);
  close(fds[1]);
  const HANDLE null = DeviceOpenForWrite("/dev/null");
  ASSERT_NE(null, INVALID_HANDLE);
  EXPECT_EQ(GetFileType(null), FILE_TYPE_CHAR);
  EXPECT_EQ(FileWrite(null, "abc", 3), 3);
  FileClose(null);
  EXPECT_EQ(GetFileType(INVALID_HANDLE), FILE_TYPE_UNKNOWN);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(Files, ANewVersionBesideTheFileReplacesItInOneStep) {
  TempDir dir;
  WriteFile(dir / "doc", "old");
  std::string temp;
  const HANDLE h = FileCreateBeside(dir / "doc", temp);
  ASSERT_NE(h, INVALID_HANDLE);
  EXPECT_EQ(std::filesystem::path(temp).parent_path().string(), dir.path());
  EXPECT_EQ(std::filesystem::path(temp).filename().string().rfind(".doc.", 0), 0u) << temp;
  // Held exclusively like any created file.
  EXPECT_EQ(FileOpen(temp, OPEN_READ | SHARE_DENY_NONE), INVALID_HANDLE);
  EXPECT_EQ(FileWrite(h, "new", 3), 3);
  EXPECT_EQ(ReadFile(dir / "doc"), "old");
  FileClose(h);
  ASSERT_TRUE(ReplaceFile(temp, dir / "doc"));
  EXPECT_EQ(ReadFile(dir / "doc"), "new");
  EXPECT_EQ(Entries(dir.path()), std::vector<std::string>{"doc"});

  EXPECT_EQ(FileCreateBeside(dir / "none/doc", temp), INVALID_HANDLE);
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  EXPECT_FALSE(ReplaceFile(dir / "absent", dir / "doc"));
  EXPECT_EQ(ReadFile(dir / "doc"), "new");
}
