#include "tests/support/auth_peers.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace testsupport {

namespace {

std::string Quote(const std::string& s) { return "'" + s + "'"; }

// Runs a shell command and returns what it printed; throws when it fails.
std::string Shell(const std::string& command) {
  FILE* p = ::popen(command.c_str(), "r");
  if (!p) throw std::runtime_error("cannot run: " + command);
  std::string out;
  char buf[256];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  if (::pclose(p) != 0) throw std::runtime_error("failed: " + command);
  return out;
}

std::string NginxConfig(const TempDir& files) {
  ::chmod(files.Path().c_str(), 0755);
  const std::string path = files.Path() + "/htpasswd";
  Shell("htpasswd -bc " + Quote(path) + " " + Quote(AuthPeers::kBasicUser) + " " +
        Quote(AuthPeers::kBasicPassword) + " 2>&1");
  ::chmod(path.c_str(), 0644);
  return "    location /private/ {\n"
         "      auth_basic \"Members\";\n"
         "      auth_basic_user_file " + path + ";\n"
         "    }\n";
}

std::string LighttpdConfig(const TempDir& files) {
  const std::string user = AuthPeers::kDigestUser, realm = AuthPeers::kDigestRealm;
  const std::string ha1 =
      Shell("printf '%s' " + Quote(user + ":" + realm + ":" + AuthPeers::kDigestPassword) +
            " | md5sum")
          .substr(0, 32);
  const std::string path = files.WriteFile("htdigest", user + ":" + realm + ":" + ha1 + "\n");
  ::chmod(path.c_str(), 0644);
  return "server.modules = ( \"mod_auth\", \"mod_authn_file\" )\n"
         "auth.backend = \"htdigest\"\n"
         "auth.backend.htdigest.userfile = \"" + path + "\"\n"
         "auth.require = ( \"/\" => ( \"method\" => \"digest\", \"realm\" => \"" + realm +
         "\", \"require\" => \"valid-user\" ) )\n";
}

}  // namespace

AuthPeers::AuthPeers()
    : nginx_(NginxConfig(files_)),
      lighttpd_(LighttpdConfig(files_)),
      proxy_(std::string("BasicAuth ") + kProxyUser + " " + kProxyPassword + "\n") {
  nginx_.AddFile("private/secret.txt", kSecret);
  nginx_.AddFile("open.txt", kSecret);
  lighttpd_.AddFile("secret.txt", kSecret);
}

}  // namespace testsupport
