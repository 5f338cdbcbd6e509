// A scratch installation of the repair tool: a copy of the program (its folder is the
// application directory), component sets "xp" and "w7", a fake regsvr32 on PATH that
// records its arguments, and a folder for COMMONPROGRAMFILES.
#pragma once

#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

inline std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

inline void WriteFile(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

class RepairScenario {
 public:
  // withList false: the "xp" set has its files but no file list.
  explicit RepairScenario(bool withList = true) {
    char pattern[] = "/tmp/repairtool-test-XXXXXX";
    root = mkdtemp(pattern);
    app = root / "app";
    bin = root / "bin";
    common = root / "common";
    system = common / "System";
    fs::create_directories(app);
    fs::copy_file(fs::path(TEST_BINARY_DIR) / "repairtool" / "repairtool", app / "repairtool");

    for (const char* name : {"msado15.dll", "msadce.dll", "oledb32.dll", "plain.dll", "twice.dll"}) {
      WriteFile(app / "xp" / name, std::string("xp component ") + name);
    }
    plainTarget = root / "elsewhere" / "plain.dll";
    fs::create_directories(plainTarget.parent_path());
    if (withList) {
      WriteFile(app / "xp" / "文件列表.ini",
                "[文件列表]\r\n"
                "msado15.dll=路径\\ado\\msado15.dll\r\n"
                "msadce.dll=路径\\msadc\\msadce.dll\r\n"
                "oledb32.dll=路径\\ole db\\oledb32.dll\r\n"
                "plain.dll=" + plainTarget.string() + "\r\n"
                "twice.dll=路径\\ado\\路径.dll\r\n");
    }
    WriteFile(app / "w7" / "w7only.dll", "w7 component");
    WriteFile(app / "w7" / "文件列表.ini", "[文件列表]\r\nw7only.dll=路径\\ado\\w7only.dll\r\n");

    // Present before the repair: stays as it is, registered again.
    WriteFile(system / "ado" / "msado15.dll", "already installed");

    WriteFile(bin / "regsvr32",
              "#!/bin/sh\n"
              "line=\"regsvr32 \\\"$1\\\"\"\n"
              "shift\n"
              "for a in \"$@\"; do line=\"$line $a\"; done\n"
              "printf '%s\\n' \"$line\" >> \"$(dirname \"$0\")/regsvr32.log\"\n");
    fs::permissions(bin / "regsvr32", fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
  }

  ~RepairScenario() {
    std::error_code ignored;
    fs::remove_all(root, ignored);
  }

  std::string Tool() const { return (app / "repairtool").string(); }

  // The environment of a run without a display.
  std::map<std::string, std::optional<std::string>> Env() const {
    const char* path = getenv("PATH");
    return {{"PATH", bin.string() + ":" + (path ? path : "/usr/bin:/bin")},
            {"COMMONPROGRAMFILES", common.string()},
            {"DISPLAY", std::nullopt},
            {"LSAN_OPTIONS", "suppressions=" + std::string(TEST_SOURCE_DIR) + "/tests/lsan.supp"}};
  }

  // The recorded registrations; waits (with a hang guard) until `expected` are there,
  // because the tool does not wait for them.
  std::vector<std::string> Registrations(size_t expected) const {
    fs::path log = bin / "regsvr32.log";
    std::vector<std::string> lines;
    for (int i = 0; i < 300; ++i) {
      lines.clear();
      std::istringstream in(ReadFile(log));
      for (std::string line; std::getline(in, line);) lines.push_back(line);
      if (lines.size() >= expected) break;
      poll(nullptr, 0, 100);
    }
    std::sort(lines.begin(), lines.end());
    return lines;
  }

  std::vector<std::string> ExpectedRegistrations() const {
    std::vector<std::string> lines;
    for (const std::string& target :
         {(system / "ado" / "msado15.dll").string(), (system / "msadc" / "msadce.dll").string(),
          (system / "ole db" / "oledb32.dll").string(), plainTarget.string(),
          system.string() + "/ado/" + system.string() + ".dll"}) {
      lines.push_back("regsvr32 \"" + target + "\" -s");
    }
    std::sort(lines.begin(), lines.end());
    return lines;
  }

  fs::path root, app, bin, common, system, plainTarget;
};
