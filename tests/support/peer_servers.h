// Real servers for integration tests: nginx and an HTTP proxy, each started in the
// foreground from a generated configuration in a temporary directory, on a free
// loopback port, and stopped when the object goes away.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

// A directory under the system's temporary folder, removed with everything in it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& Path() const { return path_; }
  // Writes a file below the directory (parents created); returns its full path.
  std::string WriteFile(const std::string& relative, const std::string& content) const;

 private:
  std::string path_;
};

std::string ReadFileText(const std::string& path);

// A program started by the test and stopped (SIGTERM, then SIGKILL) at destruction.
class ChildProcess {
 public:
  // argv[0] is the program path; output goes to outputFile.
  ChildProcess(const std::vector<std::string>& argv, const std::string& outputFile);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  bool Running();
  void Stop();

 private:
  pid_t pid_ = -1;
};

// True once something accepts connections on 127.0.0.1:port (gives up after limitMs).
bool WaitForPort(uint16_t port, int limitMs);

class NginxServer {
 public:
  // Serves the files of Root() with keep-alive on, logging "<connection> <request>
  // <status>" per request. Extra text is placed inside the server block; listenExtra
  // follows the listen address (" ssl").
  explicit NginxServer(const std::string& serverExtra = std::string(),
                       const std::string& listenExtra = std::string());
  ~NginxServer();
  uint16_t Port() const { return port_; }
  std::string Url(const std::string& path) const;
  std::string Root() const { return dir_.Path() + "/html"; }
  // Writes a file to serve; returns its path.
  std::string AddFile(const std::string& name, const std::string& content) const;
  // Lines of the access log so far.
  std::vector<std::string> AccessLog() const;

 private:
  TempDir dir_;
  uint16_t port_ = 0;
  ChildProcess* process_ = nullptr;
};

class HttpProxyServer {
 public:
  // Extra lines are appended to the generated configuration (for instance "BasicAuth").
  explicit HttpProxyServer(const std::string& configExtra = std::string());
  ~HttpProxyServer();
  uint16_t Port() const { return port_; }
  // The proxy's own log so far.
  std::string Log() const;

 private:
  TempDir dir_;
  uint16_t port_ = 0;
  ChildProcess* process_ = nullptr;
};

}  // namespace testsupport
