// httpget's server credentials and relocations to another origin.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <string>

#include "tests/support/peer_servers.h"
#include "tests/support/scripted_server.h"

namespace testsupport {
namespace {

int Httpget(const TempDir& dir, const std::string& args, std::string& out) {
  const std::string file = dir.Path() + "/stdout";
  const std::string cmd = std::string(TEST_BINARY_DIR) + "/examples/httpget " + args + " >" +
                          file + " 2>/dev/null </dev/null";
  const int rc = std::system(cmd.c_str());
  out = ReadFileText(file);
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

bool Authorized(const std::string& request) {
  return request.find("\r\nAuthorization: Basic dTpzZWNyZXQ=\r\n") != std::string::npos;
}

TEST(HttpGetOrigin, CredentialsStayUnlessTheLocationIsTrusted) {
  for (bool trusted : {false, true}) {
    SCOPED_TRACE(trusted ? "--location-trusted" : "default");
    ScriptedServer other(ScriptedServer::Responses(
        {"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nother"}, true));
    ScriptedServer origin(ScriptedServer::Responses(
        {"HTTP/1.1 302 Found\r\nLocation: http://localhost:" + std::to_string(other.Port()) +
         "/other\r\nContent-Length: 0\r\n\r\n"},
        true));
    TempDir dir;
    std::string out;
    EXPECT_EQ(Httpget(dir,
                      std::string("--user u:secret --auth basic ") +
                          (trusted ? "--location-trusted " : "") + origin.Url("/x"),
                      out),
              0);
    EXPECT_EQ(out, "other");
    ASSERT_EQ(origin.Requests().size(), 1u);
    EXPECT_TRUE(Authorized(origin.Requests()[0]));
    ASSERT_EQ(other.Requests().size(), 1u);
    EXPECT_EQ(Authorized(other.Requests()[0]), trusted) << other.Requests()[0];
  }
}

}  // namespace
}  // namespace testsupport
