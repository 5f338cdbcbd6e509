#include "base/outputfilestream.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "base/sysutils.h"
#include "platform/types.h"
#include "tests/base/testdir.h"

namespace {

int EntryCount(const std::string& folder) {
  int n = 0;
  for (const auto& e : std::filesystem::directory_iterator(folder)) n += e.exists();
  return n;
}

TEST(OutputFileStream, AFileAppearsUnderItsNameOnlyOnCommit) {
  TestDir dir;
  const std::string path = dir / "pkg.7z";
  TestDir::Put(path, "old contents");
  chmod(path.c_str(), 0750);
  {
    TOutputFileStream out(path, true);
    EXPECT_FALSE(out.Direct());
    out.WriteBuffer("0123456789", 10);
    out.Seek(4, TSeekOrigin::soBeginning);
    out.WriteBuffer("xy", 2);  // blocks land at their offsets
    EXPECT_EQ(out.Size(), 10);
    EXPECT_EQ(TestDir::Contents(path), "old contents");
    EXPECT_EQ(EntryCount(dir / ""), 2);  // the hidden file beside it
    out.Commit();
  }
  EXPECT_EQ(TestDir::Contents(path), "0123xy6789");
  EXPECT_EQ(EntryCount(dir / ""), 1);
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0750u);  // a replaced file keeps its permissions
}

TEST(OutputFileStream, WithoutCommitNothingIsLeftAndTheOldFileStays) {
  TestDir dir;
  const std::string path = dir / "pkg.7z";
  {
    TOutputFileStream out(path);
    out.WriteBuffer("partial", 7);
  }
  EXPECT_FALSE(std::filesystem::exists(path));
  EXPECT_EQ(EntryCount(dir / ""), 0);

  TestDir::Put(path, "old");
  {
    TOutputFileStream out(path);
    out.WriteBuffer("new but partial", 15);
  }
  EXPECT_EQ(TestDir::Contents(path), "old");
  EXPECT_EQ(EntryCount(dir / ""), 1);
}

TEST(OutputFileStream, BadDestinationsNameTheFileAndTheFolder) {
  TestDir dir;
  auto message = [](const std::string& name) {
    try {
      TOutputFileStream out(name);
    } catch (const EFCreateError& e) {
      return e.Message();
    }
    return std::string("no error");
  };
  const std::string missing = dir / "no/such/folder/x.bin";
  EXPECT_EQ(message(missing), "Cannot create file \"" + missing + "\". The folder \"" +
                                  dir / "no/such/folder" + "\" does not exist.");
  EXPECT_EQ(message(dir / ""), "Cannot create file \"" + dir / "" + "\". It is a folder.");

  const std::string readOnly = dir / "ro.bin";
  TestDir::Put(readOnly, "keep");
  chmod(readOnly.c_str(), 0444);
  EXPECT_EQ(message(readOnly), "Cannot create file \"" + readOnly + "\". Access is denied.");
  EXPECT_EQ(TestDir::Contents(readOnly), "keep");

  // Root writes anywhere but into sysfs.
  std::string locked = "/sys/x.bin";
  if (geteuid() != 0) {
    mkdir((dir / "locked").c_str(), 0555);
    locked = dir / "locked/x.bin";
  }
  EXPECT_EQ(message(locked).rfind("Cannot create file \"" + locked + "\". The folder \"" +
                                      ExtractFileDir(locked) + "\" cannot be written: ",
                                  0),
            0u)
      << message(locked);
}

TEST(OutputFileStream, DevicesAreWrittenAsTheyAre) {
  {
    TOutputFileStream out("/dev/null", true);
    EXPECT_TRUE(out.Direct());
    out.WriteBuffer("abc", 3);
    EXPECT_EQ(out.Size(), 0);
    out.Commit();
  }
  TOutputFileStream full("/dev/full");
  EXPECT_EQ(full.Write("abc", 3), 0);
  EXPECT_EQ(full.WriteError(), SysErrorMessage(platform::ERROR_DISK_FULL));
  EXPECT_THROW(full.Commit(), EFCreateError);
}

TEST(OutputFileStream, APipeNeedingSeeksIsSpooledAndFedInOrder) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const std::string name = "/proc/self/fd/" + std::to_string(fds[1]);
  {
    TOutputFileStream out(name, true);
    EXPECT_TRUE(out.Direct());
    out.Seek(5, TSeekOrigin::soBeginning);
    out.WriteBuffer("world", 5);
    out.Seek(0, TSeekOrigin::soBeginning);
    out.WriteBuffer("hello", 5);
    out.Commit();
  }
  close(fds[1]);
  char buf[32] = {};
  EXPECT_EQ(read(fds[0], buf, sizeof buf), 10);
  EXPECT_STREQ(buf, "helloworld");
  close(fds[0]);
}

}  // namespace
