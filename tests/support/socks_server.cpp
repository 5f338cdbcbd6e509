#include "tests/support/socks_server.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <stdexcept>

#include "tests/support/scripted_server.h"

namespace testsupport {

namespace {

const char kDanted[] = "/usr/sbin/danted";

std::string RandomText(size_t n) {
  static const char letters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::random_device rd;
  std::string s;
  for (size_t i = 0; i < n; ++i) s += letters[rd() % (sizeof(letters) - 1)];
  return s;
}

bool Run(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

}  // namespace

SocksProxyServer::SocksProxyServer(bool usernameMethod) {
  if (::access(kDanted, X_OK) != 0)
    throw std::runtime_error(std::string(kDanted) + " is missing: run scripts/deps.sh");
  const std::string d = dir_.Path();
  ::chmod(d.c_str(), 0755);
  // Checking system passwords needs the privileged user; without root it runs as is.
  const std::string users =
      ::geteuid() == 0 ? "user.privileged: root\nuser.unprivileged: nobody\n" : "";
  for (int attempt = 0; attempt < 5; ++attempt) {
    port_ = UnusedPort();
    std::string conf =
        "logoutput: " + d + "/sockd.log\n"
        "internal: 127.0.0.1 port = " + std::to_string(port_) + "\n"
        "external: 127.0.0.1\n"
        "clientmethod: none\n"
        "socksmethod: " + (usernameMethod ? "username" : "none") + "\n" + users +
        "client pass {\n"
        "  from: 127.0.0.0/8 to: 0.0.0.0/0\n"
        "  log: error\n"
        "}\n"
        "socks pass {\n"
        "  from: 127.0.0.0/8 to: 0.0.0.0/0\n"
        "  command: connect\n"
        "  log: error connect\n"
        "}\n";
    std::string confPath = dir_.WriteFile("sockd.conf", conf);
    process_ = new ChildProcess({kDanted, "-f", confPath, "-N", "1", "-p", d + "/sockd.pid"},
                                d + "/output.log");
    if (WaitForPort(port_, 5000)) return;
    delete process_;
    process_ = nullptr;
  }
  throw std::runtime_error("SOCKS server did not start: " + ReadFileText(d + "/output.log") +
                           ReadFileText(d + "/sockd.log"));
}

SocksProxyServer::~SocksProxyServer() { delete process_; }

std::string SocksProxyServer::Log() const { return ReadFileText(dir_.Path() + "/sockd.log"); }

ThrowAwayUser::ThrowAwayUser() {
  if (::geteuid() != 0) {
    reason_ = "creating a system account needs root";
    return;
  }
  name_ = "sockst" + RandomText(8);
  password_ = RandomText(16);
  if (!Run("useradd -M -N -s /usr/sbin/nologin " + name_)) {
    reason_ = "useradd failed";
    return;
  }
  exists_ = true;
  FILE* p = ::popen("chpasswd >/dev/null 2>&1", "w");
  if (!p) {
    reason_ = "chpasswd could not be started";
    return;
  }
  bool written = std::fprintf(p, "%s:%s\n", name_.c_str(), password_.c_str()) > 0;
  if (::pclose(p) != 0 || !written) {
    reason_ = "chpasswd failed";
    return;
  }
  created_ = true;
}

ThrowAwayUser::~ThrowAwayUser() {
  if (exists_) Run("userdel " + name_);
}

}  // namespace testsupport
