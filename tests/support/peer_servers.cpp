#include "tests/support/peer_servers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "tests/support/scripted_server.h"

namespace testsupport {

namespace fs = std::filesystem;

TempDir::TempDir() {
  std::string pattern = (fs::temp_directory_path() / "httptest-XXXXXX").string();
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  if (!::mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed");
  path_ = buf.data();
}

TempDir::~TempDir() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

std::string TempDir::WriteFile(const std::string& relative, const std::string& content) const {
  fs::path p = fs::path(path_) / relative;
  fs::create_directories(p.parent_path());
  std::ofstream out(p, std::ios::binary);
  out << content;
  return p.string();
}

std::string ReadFileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::string& outputFile) {
  pid_ = ::fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    int fd = ::open(outputFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (fd >= 0) {
      ::dup2(fd, 1);
      ::dup2(fd, 2);
    }
    int null = ::open("/dev/null", O_RDONLY);
    if (null >= 0) ::dup2(null, 0);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    ::execv(args[0], args.data());
    ::_exit(127);
  }
}

ChildProcess::~ChildProcess() { Stop(); }

bool ChildProcess::Running() {
  if (pid_ <= 0) return false;
  int status;
  if (::waitpid(pid_, &status, WNOHANG) == pid_) {
    pid_ = -1;
    return false;
  }
  return true;
}

void ChildProcess::Stop() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  for (int i = 0; i < 100; ++i) {
    int status;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

bool WaitForPort(uint16_t port, int limitMs) {
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
  while (std::chrono::steady_clock::now() < until) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    if (ok) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

namespace {

const char kNginx[] = "/usr/sbin/nginx";
const char kTinyproxy[] = "/usr/bin/tinyproxy";

void RequireProgram(const char* path) {
  if (::access(path, X_OK) != 0)
    throw std::runtime_error(std::string(path) + " is missing: run scripts/deps.sh");
}

}  // namespace

NginxServer::NginxServer(const std::string& serverExtra, const std::string& listenExtra) {
  RequireProgram(kNginx);
  const std::string d = dir_.Path();
  ::chmod(d.c_str(), 0755);
  fs::create_directories(d + "/html");
  fs::create_directories(d + "/logs");
  // A freshly released port can be taken by someone else before nginx binds it: retry.
  for (int attempt = 0; attempt < 5; ++attempt) {
    port_ = UnusedPort();
    std::string p = std::to_string(port_);
    std::string conf =
        "daemon off;\n"
        "master_process off;\n"
        "worker_processes 1;\n"
        "error_log " + d + "/logs/error.log;\n"
        "pid " + d + "/nginx.pid;\n"
        "events { worker_connections 128; }\n"
        "http {\n"
        "  log_format conn '$connection $request $status';\n"
        "  access_log " + d + "/logs/access.log conn;\n"
        "  client_body_temp_path " + d + "/tmp_body;\n"
        "  proxy_temp_path " + d + "/tmp_proxy;\n"
        "  fastcgi_temp_path " + d + "/tmp_fastcgi;\n"
        "  uwsgi_temp_path " + d + "/tmp_uwsgi;\n"
        "  scgi_temp_path " + d + "/tmp_scgi;\n"
        "  default_type application/octet-stream;\n"
        "  types { text/html html; text/plain txt; }\n"
        "  keepalive_timeout 60;\n"
        "  keepalive_requests 10000;\n"
        "  sendfile on;\n"
        "  server {\n"
        "    listen 127.0.0.1:" + p + listenExtra + ";\n"
        "    server_name localhost;\n"
        "    root " + d + "/html;\n" + serverExtra +
        "  }\n"
        "}\n";
    std::string confPath = dir_.WriteFile("nginx.conf", conf);
    process_ = new ChildProcess({kNginx, "-p", d, "-e", d + "/logs/error.log", "-c", confPath},
                                d + "/logs/output.log");
    if (WaitForPort(port_, 5000)) return;
    delete process_;
    process_ = nullptr;
  }
  throw std::runtime_error("nginx did not start: " + ReadFileText(d + "/logs/error.log"));
}

NginxServer::~NginxServer() { delete process_; }

std::string NginxServer::Url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::string NginxServer::AddFile(const std::string& name, const std::string& content) const {
  return dir_.WriteFile("html/" + name, content);
}

std::vector<std::string> NginxServer::AccessLog() const {
  std::vector<std::string> lines;
  std::istringstream in(ReadFileText(dir_.Path() + "/logs/access.log"));
  std::string line;
  while (std::getline(in, line))
    if (!line.empty()) lines.push_back(line);
  return lines;
}

HttpProxyServer::HttpProxyServer(const std::string& configExtra) {
  RequireProgram(kTinyproxy);
  const std::string d = dir_.Path();
  ::chmod(d.c_str(), 0777);
  for (int attempt = 0; attempt < 5; ++attempt) {
    port_ = UnusedPort();
    std::string conf =
        "Port " + std::to_string(port_) + "\n"
        "Listen 127.0.0.1\n"
        "Timeout 60\n"
        "MaxClients 16\n"
        "Allow 127.0.0.1\n"
        "LogLevel Info\n"
        "LogFile \"" + d + "/proxy.log\"\n"
        "PidFile \"" + d + "/proxy.pid\"\n"
        "DisableViaHeader Yes\n" + configExtra;
    if (::geteuid() == 0) conf += "User nobody\nGroup nogroup\n";
    std::string confPath = dir_.WriteFile("proxy.conf", conf);
    process_ = new ChildProcess({kTinyproxy, "-d", "-c", confPath}, d + "/output.log");
    if (WaitForPort(port_, 5000)) return;
    delete process_;
    process_ = nullptr;
  }
  throw std::runtime_error("HTTP proxy did not start: " + ReadFileText(d + "/output.log"));
}

HttpProxyServer::~HttpProxyServer() { delete process_; }

std::string HttpProxyServer::Log() const { return ReadFileText(dir_.Path() + "/proxy.log"); }

}  // namespace testsupport
