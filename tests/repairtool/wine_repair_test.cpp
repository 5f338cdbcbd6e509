// The Windows build of the repair tool under Wine, started from this side: the real
// common-files folder of the Wine prefix, the real regsvr32, the version Wine reports.
// Runs where TEST_WINDOWS_BUILD names that build (its ctest sets it).
#include <gmock/gmock.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <thread>

#include "child_process.h"
#include "scenario.h"
#include "tests/support/program_under_test.h"
#include "tests/support/window_session.h"

using ::testing::Contains;

namespace {

bool WaitForFile(const fs::path& path) {
  // regsvr32 runs detached; a hang guard, not a measurement.
  for (int i = 0; i < 300 && !fs::exists(path); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  return fs::exists(path);
}

// The folder as the prefix has it: Windows names are not case-sensitive, and Wine's
// prefix spells them "ADO" and "OLE DB".
fs::path Folder(const fs::path& parent, const std::string& name) {
  auto lower = [](std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
  };
  std::error_code ignored;
  for (const auto& entry : fs::directory_iterator(parent, ignored))
    if (lower(entry.path().filename().string()) == lower(name)) return entry.path();
  return parent / name;
}

TEST(RepairToolUnderWine, CopiesTheSetOfTheReportedVersionAndRegistersEachWithTheRealRegsvr32) {
  if (!testsupport::UnderWine()) GTEST_SKIP() << "TEST_WINDOWS_BUILD names no Windows build";
  const char* prefix = getenv("WINEPREFIX");
  ASSERT_NE(prefix, nullptr);
  const fs::path build = testsupport::WindowsBuild();
  const fs::path probe = build / "tests/repairtool/registration_probe.dll";
  // The prefix's own folder, as a 64-bit process sees COMMONPROGRAMFILES.
  const fs::path system = fs::path(prefix) / "drive_c/Program Files/Common Files/System";
  const std::string tag = "probe-" + std::to_string(getpid());
  const fs::path copied = Folder(system, "ole db") / (tag + "-new.dll");
  const fs::path present = Folder(system, "ado") / (tag + "-present.dll");
  const fs::path notUsed = Folder(system, "ado") / (tag + "-xp.dll");

  RepairScenario s;
  for (const char* set : {"w7", "xp"}) {
    fs::remove_all(s.app / set);
    fs::create_directories(s.app / set);
  }
  // The set Wine's Windows 7 calls for, and the other one.
  fs::copy_file(probe, s.app / "w7" / "new.dll");
  std::string longer = ReadFile(probe) + "a newer build";
  WriteFile(s.app / "w7" / "present.dll", longer);
  WriteFile(s.app / "w7" / "文件列表.ini", "[文件列表]\r\nnew.dll=路径\\ole db\\" + tag + "-new.dll\r\npresent.dll=路径\\ado\\" + tag +
                                               "-present.dll\r\n");
  fs::copy_file(probe, s.app / "xp" / "xp.dll");
  WriteFile(s.app / "xp" / "文件列表.ini", "[文件列表]\r\nxp.dll=路径\\ado\\" + tag + "-xp.dll\r\n");
  fs::create_directories(present.parent_path());
  fs::copy_file(probe, present, fs::copy_options::overwrite_existing);

  ChildProcess tool(testsupport::InstallProgram("repairtool/repairtool", s.app, "repairtool"),
                    {{"DISPLAY", std::nullopt}, {"COMMONPROGRAMFILES", std::nullopt}});
  ASSERT_TRUE(tool.Started());
  const std::vector<std::string> lines = tool.ReadAllLines();
  EXPECT_EQ(tool.Wait(), 0);

  EXPECT_THAT(lines, Contains("label Label1: W7"));
  EXPECT_EQ(lines.at(lines.size() - 2), "message: 修复完毕");
  EXPECT_EQ(lines.back(), "closed: mdac修复工具");
  EXPECT_TRUE(ReadFile(copied) == ReadFile(probe)) << "the component was not copied";
  EXPECT_TRUE(ReadFile(present) == ReadFile(probe)) << "a file in place is not overwritten";
  EXPECT_TRUE(WaitForFile(copied.string() + ".registered")) << "regsvr32 did not register the copied file";
  EXPECT_TRUE(WaitForFile(present.string() + ".registered")) << "the file in place was not registered again";
  EXPECT_FALSE(fs::exists(notUsed));

  std::error_code ignored;
  for (const fs::path& p : {copied, present, notUsed}) {
    fs::remove(p, ignored);
    fs::remove(p.string() + ".registered", ignored);
  }
}

}  // namespace

namespace {

// The same repair with a real window in Wine's desktop under Xvfb: the framed Chinese
// window, the message box at the end, answered with Enter, and the screenshots kept.
TEST(RepairToolWindowUnderWine, ShowsTheFramedChineseWindowRepairsAndClosesInWinesDesktop) {
  if (!testsupport::UnderWine()) GTEST_SKIP() << "TEST_WINDOWS_BUILD names no Windows build";
  const std::string missing = testsupport::WindowSessionMissing();
  if (!missing.empty()) GTEST_SKIP() << missing;
  const char* prefix = getenv("WINE_DESKTOP_PREFIX");
  ASSERT_NE(prefix, nullptr) << "scripts/wine-env.sh makes the desktop prefix";
  const fs::path probe = testsupport::WindowsBuild() + "/tests/repairtool/registration_probe.dll";
  const fs::path system = fs::path(prefix) / "drive_c/Program Files/Common Files/System";
  const std::string tag = "window-" + std::to_string(getpid());
  const fs::path copied = Folder(system, "ole db") / (tag + ".dll");

  RepairScenario s;
  fs::remove_all(s.app / "w7");
  fs::create_directories(s.app / "w7");
  fs::copy_file(probe, s.app / "w7" / "new.dll");
  WriteFile(s.app / "w7" / "文件列表.ini", "[文件列表]\r\nnew.dll=路径\\ole db\\" + tag + ".dll\r\n");
  const std::string tool = testsupport::InstallProgram("repairtool/repairtool", s.app, "repairtool").back();

  const fs::path artifacts = testsupport::ArtifactFolder();
  auto env = testsupport::WindowSessionEnv();
  env["COMMONPROGRAMFILES"] = std::nullopt;
  ChildProcess session({"/usr/bin/xvfb-run", "-a", "-s", "-screen 0 1024x768x24",
                        std::string(TEST_SOURCE_DIR) + "/tests/repairtool/xvfb_session.sh", tool, artifacts.string()},
                       env);
  ASSERT_TRUE(session.Started());
  std::vector<std::string> lines = session.ReadAllLines();
  EXPECT_EQ(session.Wait(), 0);
  // The prefix outlives the test: nothing of it stays there.
  struct Cleanup {
    fs::path file;
    ~Cleanup() {
      std::error_code ignored;
      fs::remove(file, ignored);
      fs::remove(file.string() + ".registered", ignored);
    }
  } cleanup{copied};
  EXPECT_THAT(lines, ::testing::ElementsAre("window name: mdac修复工具", "window size: 680x215",
                                            "frame: title bar and borders", "message box name: repairtool",
                                            "exit status: 0"));
  EXPECT_EQ(ReadFile(artifacts / "windows-repairtool-window.log"), "");
  EXPECT_TRUE(ReadFile(copied) == ReadFile(probe)) << "the component was not copied";
  EXPECT_TRUE(WaitForFile(copied.string() + ".registered")) << "regsvr32 did not register the copied file";
  EXPECT_GT(fs::file_size(artifacts / "windows-repairtool.png"), 0u);
}

}  // namespace
