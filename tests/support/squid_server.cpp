#include "tests/support/squid_server.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>

#include "tests/support/scripted_server.h"

namespace testsupport {

namespace {
const char kSquid[] = "/usr/sbin/squid";
const char kHelper[] = "/usr/lib/squid/basic_ncsa_auth";
}  // namespace

SquidProxy::SquidProxy(const std::string& user, const std::string& password) {
  if (::access(kSquid, X_OK) != 0 || ::access(kHelper, X_OK) != 0)
    throw std::runtime_error("squid is not installed (scripts/deps.sh installs it)");
  const std::string d = dir_.Path();
  // Run as root, squid drops to its own user: it must reach its files here.
  ::chmod(d.c_str(), 0777);
  const std::string passwd = d + "/htpasswd";
  const std::string command = "htpasswd -b -c -m '" + passwd + "' '" + user + "' '" + password +
                              "' >/dev/null 2>&1";
  if (std::system(command.c_str()) != 0) throw std::runtime_error("htpasswd failed");
  ::chmod(passwd.c_str(), 0644);
  for (int attempt = 0; attempt < 3; ++attempt) {
    port_ = UnusedPort();
    const std::string conf =
        "http_port 127.0.0.1:" + std::to_string(port_) + "\n"
        "pid_filename none\n"
        "cache_log " + d + "/cache.log\n"
        "access_log stdio:" + d + "/access.log\n"
        "coredump_dir " + d + "\n"
        "cache deny all\n"
        "cache_mem 4 MB\n"
        "netdb_filename none\n"
        "pinger_enable off\n"
        "shutdown_lifetime 0 seconds\n"
        "auth_param basic program " + kHelper + " " + passwd + "\n"
        "auth_param basic children 1\n"
        "auth_param basic realm Proxy Area\n"
        "acl users proxy_auth REQUIRED\n"
        "http_access allow localhost users\n"
        "http_access deny all\n";
    const std::string confPath = dir_.WriteFile("squid.conf", conf);
    process_ = new ChildProcess({kSquid, "-N", "-f", confPath}, d + "/output.log");
    if (WaitForPort(port_, 15000)) return;
    delete process_;
    process_ = nullptr;
  }
  throw std::runtime_error("squid did not start: " + ReadFileText(d + "/cache.log") +
                           ReadFileText(d + "/output.log"));
}

SquidProxy::~SquidProxy() { delete process_; }

std::string SquidProxy::AccessLog() const { return ReadFileText(dir_.Path() + "/access.log"); }

}  // namespace testsupport
