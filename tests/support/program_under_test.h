// The programs a process test starts: this build's own, or, when TEST_WINDOWS_BUILD names
// a Windows build folder, that build's executables under Wine. The test itself, its peers
// (nginx, scripted servers) and its checks stay on this side, so one scenario checks both
// builds line for line.
#pragma once

#include <iconv.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace testsupport {

inline std::string WindowsBuild() {
  const char* dir = std::getenv("TEST_WINDOWS_BUILD");
  return dir ? dir : "";
}

inline bool UnderWine() { return !WindowsBuild().empty(); }

// Copies the program built at `relative` (a path in the build folder, without a suffix)
// into `folder` under `name`, with the 7-Zip library beside it on Windows, and returns the
// command line that starts the copy.
inline std::vector<std::string> InstallProgram(const std::string& relative, const std::filesystem::path& folder,
                                               const std::string& name) {
  namespace fs = std::filesystem;
  const auto copy = fs::copy_options::overwrite_existing;
  if (!UnderWine()) {
    fs::copy_file(fs::path(TEST_BINARY_DIR) / relative, folder / name, copy);
    return {(folder / name).string()};
  }
  const fs::path build = WindowsBuild();
  fs::copy_file(build / (relative + ".exe"), folder / (name + ".exe"), copy);
  fs::copy_file(build / "updater/7z.dll", folder / "7z.dll", copy);
  const char* wine = std::getenv("WINE64");
  return {wine ? wine : "/usr/lib/wine/wine64", (folder / (name + ".exe")).string()};
}

// The command line that starts the program built at `relative`, where it was built.
inline std::string BuiltProgramCommand(const std::string& relative) {
  if (!UnderWine()) return std::string(TEST_BINARY_DIR) + "/" + relative;
  const char* wine = std::getenv("WINE64");
  return std::string(wine ? wine : "/usr/lib/wine/wine64") + " " + WindowsBuild() + "/" + relative + ".exe";
}

// A path of this side as the program names it: on Windows the Linux root is drive Z: and
// the separator is '\'.
inline std::string ProgramPath(const std::string& path) {
  if (!UnderWine()) return path;
  std::string out = "Z:" + path;
  for (char& c : out) {
    if (c == '/') c = '\\';
  }
  return out;
}

// The name and text of a program that the installed release starts: what each system
// can run, and it leaves the file "started" beside itself.
inline std::string StartedProgramName() { return UnderWine() ? "app.cmd" : "app.sh"; }
inline std::string StartedProgramText() {
  return UnderWine() ? "@echo off\r\ntype nul > \"%~dp0started\"\r\n" : "#!/bin/sh\n: > \"$(dirname \"$0\")/started\"\n";
}

// An INI file the program wrote, as UTF-8 for this side's readers: Windows writes a new
// file in the system's code page (here 936). Returns the path of a converted copy, or the
// path itself when there is nothing to convert.
inline std::string ProgramIni(const std::string& path) {
  if (!UnderWine()) return path;
  std::ifstream in(path, std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::string out(text.size() * 2 + 16, '\0');
  auto convert = [&](const char* encoding) {
    iconv_t c = iconv_open("UTF-8", encoding);
    if (c == reinterpret_cast<iconv_t>(-1)) return false;
    char* from = text.data();
    size_t fromLeft = text.size();
    char* to = out.data();
    size_t toLeft = out.size();
    const bool ok = iconv(c, &from, &fromLeft, &to, &toLeft) != static_cast<size_t>(-1);
    iconv_close(c);
    out.resize(out.size() - toLeft);
    return ok;
  };
  // Text that is valid UTF-8 the program kept as it was.
  if (convert("UTF-8")) return path;
  out.assign(text.size() * 2 + 16, '\0');
  if (!convert("GBK")) return path;
  const std::string copy = path + ".as-utf8";
  std::ofstream(copy, std::ios::binary | std::ios::trunc) << out;
  return copy;
}

}  // namespace testsupport
