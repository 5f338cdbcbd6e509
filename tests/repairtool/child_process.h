// Runs a program as a child process with a changed environment and reads its standard
// output line by line.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

extern char** environ;

class ChildProcess {
 public:
  // env: variables to set, or (std::nullopt) to remove. withInput: the child reads what
  // WriteInput sends instead of an empty standard input.
  ChildProcess(const std::vector<std::string>& argv,
               const std::map<std::string, std::optional<std::string>>& env, bool withInput = false) {
    std::map<std::string, std::string> vars;
    for (char** e = environ; *e; ++e) {
      std::string entry = *e;
      size_t eq = entry.find('=');
      if (eq != std::string::npos) vars[entry.substr(0, eq)] = entry.substr(eq + 1);
    }
    for (const auto& [name, value] : env) {
      if (value) {
        vars[name] = *value;
      } else {
        vars.erase(name);
      }
    }
    std::vector<std::string> envText;
    for (const auto& [name, value] : vars) envText.push_back(name + "=" + value);
    std::vector<char*> envp, args;
    for (auto& s : envText) envp.push_back(s.data());
    envp.push_back(nullptr);
    std::vector<std::string> argText = argv;
    for (auto& s : argText) args.push_back(s.data());
    args.push_back(nullptr);

    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return;
    int in[2] = {-1, -1};
    if (withInput && pipe2(in, O_CLOEXEC) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(withInput ? in[0] : open("/dev/null", O_RDONLY), 0);
      dup2(out[1], 1);
      execve(args[0], args.data(), envp.data());
      _exit(127);
    }
    close(out[1]);
    out_ = out[0];
    if (withInput) {
      close(in[0]);
      in_ = in[1];
    }
  }

  ~ChildProcess() {
    if (pid_ > 0 && !exited_) {
      kill(pid_, SIGKILL);
      Wait();
    }
    if (out_ >= 0) close(out_);
    CloseInput();
  }

  bool Started() const { return pid_ > 0; }
  pid_t Pid() const { return pid_; }

  // The next line of output; false at the end of the output or when none came within
  // the guard time (a hang guard, not a measurement).
  bool ReadLine(std::string& line, int guardMs = 30000) {
    for (;;) {
      size_t end = buffer_.find('\n');
      if (end != std::string::npos) {
        line = buffer_.substr(0, end);
        buffer_.erase(0, end + 1);
        return true;
      }
      if (eof_) return false;
      pollfd p{out_, POLLIN, 0};
      if (poll(&p, 1, guardMs) <= 0) return false;
      char chunk[4096];
      ssize_t got = read(out_, chunk, sizeof chunk);
      if (got <= 0) {
        eof_ = true;
      } else {
        buffer_.append(chunk, static_cast<size_t>(got));
      }
    }
  }

  std::vector<std::string> ReadAllLines() {
    std::vector<std::string> lines;
    std::string line;
    while (ReadLine(line)) lines.push_back(line);
    return lines;
  }

  bool Running() {
    if (exited_) return false;
    int status;
    pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      exited_ = true;
      status_ = status;
    }
    return !exited_;
  }

  // The exit status, -1 when the process ended by a signal.
  int Wait() {
    if (!exited_) {
      int status;
      while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
      }
      exited_ = true;
      status_ = status;
    }
    return WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
  }

  bool WriteInput(const std::string& text) {
    return in_ >= 0 && write(in_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  }
  void CloseInput() {
    if (in_ >= 0) close(in_);
    in_ = -1;
  }

  void Terminate() {
    if (!exited_) kill(pid_, SIGTERM);
  }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  int in_ = -1;
  std::string buffer_;
  bool eof_ = false;
  bool exited_ = false;
  int status_ = 0;
};
