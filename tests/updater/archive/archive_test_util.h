// Files and real 7z archives made with the 7z command, in scratch folders.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "tests/platform/testutil.h"

namespace archive_test {

namespace fs = std::filesystem;

using testutil::ReadFile;
using testutil::TempDir;

// Writes a file, creating its folders.
inline void PutFile(const fs::path& path, const std::string& content) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << content;
}

inline int Shell(const std::string& command) { return std::system(command.c_str()); }

// Packs the contents of dir (not dir itself) into archive.
inline void Make7z(const fs::path& dir, const fs::path& archive, const std::string& options = "") {
  const std::string cmd = "cd '" + dir.string() + "' && 7z a -bso0 -bsp0 -bse0 " + options +
                          " '" + archive.string() + "' . >/dev/null";
  ASSERT_EQ(Shell(cmd), 0) << cmd;
}

// Every path below root, relative, directories included.
inline std::set<std::string> Listing(const fs::path& root) {
  std::set<std::string> result;
  if (!fs::exists(root)) return result;
  for (auto& e : fs::recursive_directory_iterator(root))
    result.insert(fs::relative(e.path(), root).string());
  return result;
}

inline unsigned Permissions(const fs::path& path) {
  return static_cast<unsigned>(fs::status(path).permissions()) & 07777;
}

// How many descriptors of this process refer to the file.
inline int OpenDescriptors(const fs::path& file) {
  const fs::path target = fs::canonical(file);
  int count = 0;
  for (auto& e : fs::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    if (fs::read_symlink(e.path(), ec) == target) ++count;
  }
  return count;
}

}  // namespace archive_test
