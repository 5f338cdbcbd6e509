#include "tests/support/lighttpd_server.h"

#include <sys/stat.h>
#include <unistd.h>

#include <stdexcept>

#include "tests/support/scripted_server.h"

namespace testsupport {

LighttpdServer::LighttpdServer(const std::string& configExtra) {
  const char program[] = "/usr/sbin/lighttpd";
  if (::access(program, X_OK) != 0)
    throw std::runtime_error("lighttpd is missing: run scripts/deps.sh");
  const std::string d = dir_.Path();
  ::chmod(d.c_str(), 0755);
  dir_.WriteFile("html/.keep", "");
  // A freshly released port can be taken by someone else before lighttpd binds it: retry.
  for (int attempt = 0; attempt < 5; ++attempt) {
    port_ = UnusedPort();
    std::string conf =
        "server.document-root = \"" + d + "/html\"\n"
        "server.bind = \"127.0.0.1\"\n"
        "server.port = " + std::to_string(port_) + "\n"
        "server.errorlog = \"" + d + "/error.log\"\n"
        "mimetype.assign = ( \".html\" => \"text/html\", \".txt\" => \"text/plain\" )\n" +
        configExtra;
    std::string confPath = dir_.WriteFile("lighttpd.conf", conf);
    process_ = new ChildProcess({program, "-D", "-f", confPath}, d + "/output.log");
    if (WaitForPort(port_, 5000)) return;
    delete process_;
    process_ = nullptr;
  }
  throw std::runtime_error("lighttpd did not start: " + ReadFileText(d + "/output.log") +
                           ReadFileText(d + "/error.log"));
}

LighttpdServer::~LighttpdServer() { delete process_; }

std::string LighttpdServer::Url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::string LighttpdServer::AddFile(const std::string& name, const std::string& content) const {
  return dir_.WriteFile("html/" + name, content);
}

}  // namespace testsupport
