// Helpers for the platform tests: a scratch folder, whole-file reads and writes, and a
// file lock held by another program.
#pragma once

#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace testutil {

namespace fs = std::filesystem;

class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "platform-test-XXXXXX").string();
    path_ = mkdtemp(pattern.data());
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

inline void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

// Waits for a file that another process writes; false after a generous limit.
inline bool WaitForFile(const std::string& path) {
  for (int i = 0; i < 2000; ++i) {
    if (fs::exists(path)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

inline pid_t Spawn(std::vector<std::string> args) {
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid;
  return posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) == 0 ? pid : -1;
}

// Runs a program and returns its exit status (-1 when it could not run).
inline int RunProgram(std::vector<std::string> args) {
  const pid_t pid = Spawn(std::move(args));
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) < 0) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The flock command holding a lock on a file from another process until destroyed.
class ExternalLock {
 public:
  ExternalLock(const std::string& file, bool exclusive, const std::string& readyFile)
      : pid_(Spawn({"sh", "-c",
                    std::string("exec 9<>\"$0\" && flock ") + (exclusive ? "-x" : "-s") +
                        " 9 && : > \"$1\" && exec sleep 60",
                    file, readyFile})),
        ready_(pid_ > 0 && WaitForFile(readyFile)) {}
  ~ExternalLock() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  bool ready() const { return ready_; }

 private:
  pid_t pid_ = -1;
  bool ready_ = false;
};

}  // namespace testutil
