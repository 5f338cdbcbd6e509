// A scratch installation of the updater in a temporary folder: the application
// directory with its update directory, and whole-file helpers relative to it.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace fs = std::filesystem;

class ScratchApp {
 public:
  ScratchApp() {
    std::string pattern = (fs::temp_directory_path() / "updater-test-XXXXXX").string();
    root_ = mkdtemp(pattern.data());
    fs::create_directories(root_ / "app" / "升级");
  }
  ~ScratchApp() {
    std::error_code ignored;
    fs::permissions(root_, fs::perms::owner_all, fs::perm_options::add, ignored);
    fs::remove_all(root_, ignored);
  }
  ScratchApp(const ScratchApp&) = delete;
  ScratchApp& operator=(const ScratchApp&) = delete;

  // The application directory with its trailing separator.
  std::string Dir() const { return (root_ / "app").string() + "/"; }
  // A path relative to the application directory.
  std::string operator/(const std::string& relative) const { return Dir() + relative; }

  void Put(const std::string& relative, const std::string& text) const {
    fs::path path = fs::path(Dir()) / relative;
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
  }
  std::string Read(const std::string& relative) const {
    std::ifstream in(fs::path(Dir()) / relative, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  bool Exists(const std::string& relative) const { return fs::exists(fs::path(Dir()) / relative); }

 private:
  fs::path root_;
};
