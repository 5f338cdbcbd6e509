// What a window session (a script run inside xvfb-run, see window_session.sh) needs to
// drive this build's program or, under TEST_WINDOWS_BUILD, the Windows build's program in
// Wine's desktop prefix.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <string>

#include "tests/support/program_under_test.h"

namespace testsupport {

// Empty when a session can run; otherwise why not (the test skips with it).
inline std::string WindowSessionMissing() {
  for (const char* program : {"xvfb-run", "Xvfb", "xdotool", "import", "convert"}) {
    if (std::system((std::string("command -v ") + program + " >/dev/null 2>&1").c_str()) != 0) {
      return std::string(program) + " is not installed: no virtual display to test with";
    }
  }
  return "";
}

// The environment changes for a session: no display of the caller's, and under Wine the
// desktop prefix (scripts/wine-env.sh makes it) and the probe that measures the window.
inline std::map<std::string, std::optional<std::string>> WindowSessionEnv() {
  std::map<std::string, std::optional<std::string>> env{{"DISPLAY", std::nullopt}};
  if (UnderWine()) {
    const char* prefix = std::getenv("WINE_DESKTOP_PREFIX");
    env["WINEPREFIX"] = prefix ? prefix : "";
    env["WINDOW_PROBE"] = WindowsBuild() + "/tests/wine/window_probe.exe";
    const char* wine = std::getenv("WINE64");
    env["WINE64"] = wine ? wine : "/usr/lib/wine/wine64";
  }
  return env;
}

// Where the screenshots stay: the artifacts of the build whose program was shown.
inline std::filesystem::path ArtifactFolder() {
  return std::filesystem::path(UnderWine() ? WindowsBuild() : std::string(TEST_BINARY_DIR)) / "artifacts";
}

}  // namespace testsupport
