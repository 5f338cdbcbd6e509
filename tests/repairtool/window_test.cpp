// The repair tool with a real window under a virtual X server. Screenshots stay in
// <build>/artifacts for anyone to look at.
#include <gmock/gmock.h>

#include <cstdio>

#include "child_process.h"
#include "scenario.h"

namespace {

bool OnPath(const std::string& program) {
  return std::system(("command -v " + program + " >/dev/null 2>&1").c_str()) == 0;
}

}  // namespace

TEST(RepairToolWindow, ShowsTheChineseWindowRepairsAndClosesUnderXvfb) {
  for (const char* program : {"xvfb-run", "Xvfb", "xdotool", "import"}) {
    if (!OnPath(program)) GTEST_SKIP() << program << " is not installed: no virtual display to test with";
  }
  RepairScenario s;
  fs::path artifacts = fs::path(TEST_BINARY_DIR) / "artifacts";
  auto env = s.Env();
  env.erase("DISPLAY");
  ChildProcess session({"/usr/bin/xvfb-run", "-a", "-s", "-screen 0 1024x768x24",
                        std::string(TEST_SOURCE_DIR) + "/tests/repairtool/xvfb_session.sh", s.Tool(),
                        artifacts.string()},
                       env);
  ASSERT_TRUE(session.Started());
  std::vector<std::string> lines = session.ReadAllLines();
  EXPECT_EQ(session.Wait(), 0);
  EXPECT_THAT(lines, ::testing::ElementsAre("window name: mdac修复工具", "message box name: repairtool",
                                            "exit status: 0"));

  // The window did the same work as the console run, and printed nothing.
  EXPECT_EQ(ReadFile(artifacts / "repairtool-window.log").find("window:"), std::string::npos);
  EXPECT_EQ(ReadFile(s.system / "msadc" / "msadce.dll"), "xp component msadce.dll");
  EXPECT_EQ(ReadFile(s.system / "ado" / "msado15.dll"), "already installed");
  EXPECT_THAT(s.Registrations(5), ::testing::ElementsAreArray(s.ExpectedRegistrations()));
  EXPECT_GT(fs::file_size(artifacts / "repairtool.png"), 0u);
}
