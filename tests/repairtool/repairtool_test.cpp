// The repair tool as a process without a display: what it prints, what it copies and
// what it registers.
#include <gmock/gmock.h>

#include "child_process.h"
#include "scenario.h"

using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::Not;

TEST(RepairToolProcess, CountsDownCopiesRegistersAndCloses) {
  RepairScenario s;
  ChildProcess tool({s.Tool()}, s.Env());
  ASSERT_TRUE(tool.Started());
  std::vector<std::string> lines = tool.ReadAllLines();
  EXPECT_EQ(tool.Wait(), 0);

  // A third tick, showing 1, may come just before the repair starts.
  std::vector<std::string> expected = {"window: mdac修复工具", "label Label1: ??", "button Button1: 开始修复(3)",
                                       "button Button1: 开始修复(2)"};
  if (lines.size() > 4 && lines[4] == "button Button1: 开始修复(1)") expected.push_back(lines[4]);
  expected.push_back("message: 修复完毕");
  expected.push_back("closed: mdac修复工具");
  EXPECT_THAT(lines, ElementsAreArray(expected));

  // Copied with every "路径" replaced by the system folder; a value without it is used
  // as it stands; the existing file is left alone.
  EXPECT_EQ(ReadFile(s.system / "msadc" / "msadce.dll"), "xp component msadce.dll");
  EXPECT_EQ(ReadFile(s.system / "ole db" / "oledb32.dll"), "xp component oledb32.dll");
  EXPECT_EQ(ReadFile(s.plainTarget), "xp component plain.dll");
  EXPECT_EQ(ReadFile(s.system / "ado" / "msado15.dll"), "already installed");
  EXPECT_FALSE(fs::exists(s.system / "ado" / "w7only.dll"));  // "??" uses the xp set
  EXPECT_FALSE(fs::exists(s.common / "路径"));

  // One registration per key, the failed copy (two "路径") and the existing file
  // included.
  EXPECT_THAT(s.Registrations(5), ElementsAreArray(s.ExpectedRegistrations()));
}

TEST(RepairToolProcess, MissingFileListIsReportedAndTheWindowStaysOpen) {
  RepairScenario s(false);
  ChildProcess tool({s.Tool()}, s.Env());
  ASSERT_TRUE(tool.Started());
  std::vector<std::string> lines;
  std::string line;
  while (tool.ReadLine(line)) {
    lines.push_back(line);
    if (line.rfind("error: ", 0) == 0) break;
  }
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), "error: TProgressBar property out of range");
  EXPECT_THAT(lines, Not(::testing::Contains(HasSubstr("message:"))));
  EXPECT_THAT(lines, Not(::testing::Contains(HasSubstr("closed:"))));
  EXPECT_TRUE(tool.Running());

  // The subfolders were made before the list was read; nothing else happened.
  EXPECT_TRUE(fs::is_directory(s.system / "ado"));
  EXPECT_TRUE(fs::is_directory(s.system / "msadc"));
  EXPECT_TRUE(fs::is_directory(s.system / "ole db"));
  EXPECT_TRUE(fs::is_empty(s.system / "msadc"));
  EXPECT_TRUE(fs::is_empty(s.system / "ole db"));
  EXPECT_FALSE(fs::exists(s.bin / "regsvr32.log"));

  tool.Terminate();
  tool.Wait();
}
