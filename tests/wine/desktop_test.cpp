// The harness for Windows programs with real windows: Wine's desktop inside Xvfb, found
// with xdotool, measured from the Windows side, photographed with import.
#include <gmock/gmock.h>

#include "tests/repairtool/child_process.h"
#include "tests/support/window_session.h"

namespace {

TEST(WineDesktop, ShowsAFramedChineseWindowThatCanBeMeasuredMovedAndPhotographed) {
  if (!testsupport::UnderWine()) GTEST_SKIP() << "TEST_WINDOWS_BUILD names no Windows build";
  const std::string missing = testsupport::WindowSessionMissing();
  if (!missing.empty()) GTEST_SKIP() << missing;
  ASSERT_NE(std::getenv("WINE_DESKTOP_PREFIX"), nullptr) << "scripts/wine-env.sh makes the desktop prefix";
  const auto artifacts = testsupport::ArtifactFolder();
  std::filesystem::remove(artifacts / "windows-captioned-window.png");

  ChildProcess session({"/usr/bin/xvfb-run", "-a", "-s", "-screen 0 1024x768x24",
                        std::string(TEST_SOURCE_DIR) + "/tests/wine/desktop_session.sh",
                        testsupport::WindowsBuild() + "/tests/wine/captioned_window.exe", artifacts.string()},
                       testsupport::WindowSessionEnv());
  ASSERT_TRUE(session.Started());
  EXPECT_THAT(session.ReadAllLines(),
              ::testing::ElementsAre("window name: 窗口测试程序", "window size: 500x150", "frame: title bar and borders",
                                     "button label: 4 pieces, 4 different", "moved", "exit status: 0"));
  EXPECT_EQ(session.Wait(), 0);
  EXPECT_GT(std::filesystem::file_size(artifacts / "windows-captioned-window.png"), 0u);
}

}  // namespace
