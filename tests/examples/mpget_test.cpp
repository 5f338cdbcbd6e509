// The mpget example as a process: the file, the statistics lines, the exit status.
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/peer_servers.h"
#include "tests/support/scripted_server.h"

namespace testsupport {
namespace {

struct Result {
  int status;
  std::string out, err;
};

class MpgetTest : public ::testing::Test {
 protected:
  Result Mpget(const std::string& args) {
    std::string out = dir_.Path() + "/stdout", err = dir_.Path() + "/stderr";
    std::string cmd = std::string(TEST_BINARY_DIR) + "/examples/mpget " + args + " >" + out + " 2>" + err +
                      " </dev/null";
    int rc = std::system(cmd.c_str());
    return {WIFEXITED(rc) ? WEXITSTATUS(rc) : -1, ReadFileText(out), ReadFileText(err)};
  }
  // Runs mpget with a pseudo-terminal as its standard streams; answers what the
  // terminal showed.
  Result MpgetOnTerminal(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {std::string(TEST_BINARY_DIR) + "/examples/mpget"};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> cargv;
    for (std::string& a : argv) cargv.push_back(a.data());
    cargv.push_back(nullptr);
    int master = -1;
    const pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    if (pid == 0) {
      execv(cargv[0], cargv.data());
      _exit(127);
    }
    std::string shown;
    char buf[4096];
    ssize_t n;
    // The master reports EIO once the child's side is gone.
    while ((n = read(master, buf, sizeof buf)) > 0) shown.append(buf, static_cast<size_t>(n));
    close(master);
    int rc = 0;
    waitpid(pid, &rc, 0);
    return {WIFEXITED(rc) ? WEXITSTATUS(rc) : -1, shown, ""};
  }
  std::string Document(size_t size) {
    std::string doc(size, '\0');
    for (size_t i = 0; i < doc.size(); ++i) doc[i] = static_cast<char>(i * 131 % 257);
    return doc;
  }
  NginxServer nginx_;
  TempDir dir_;
};

TEST_F(MpgetTest, FetchesTheFileInTheGivenNumberOfRanges) {
  const std::string doc = Document(200000);
  nginx_.AddFile("pkg.7z", doc);
  const std::string file = dir_.Path() + "/pkg.7z";

  Result r = Mpget("-v " + nginx_.Url("/pkg.7z") + " " + file + " --parts 3");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(ReadFileText(file) == doc);
  // The opening line, then the final two of the whole download.
  EXPECT_EQ(r.out.rfind("0 bytes    0%      0.00 Kbps  00:00:00\n", 0), 0u) << r.out;
  EXPECT_NE(r.out.find("200000 bytes  100%"), std::string::npos) << r.out;
  EXPECT_NE(r.err.find("* Download done index = 2 OK\n"), std::string::npos) << r.err;
  int ranges = 0;
  for (const std::string& l : nginx_.AccessLog()) ranges += l.find(" 206") != std::string::npos;
  EXPECT_EQ(ranges, 3);
}

TEST_F(MpgetTest, AMissingDocumentFails) {
  Result r = Mpget(nginx_.Url("/none.7z") + " " + dir_.Path() + "/none.7z");
  EXPECT_EQ(r.status, 4);
  EXPECT_EQ(r.err, "mpget: error #404 Not Found\n");
  EXPECT_FALSE(std::filesystem::exists(dir_.Path() + "/none.7z"));

  r = Mpget("http://127.0.0.1:" + std::to_string(UnusedPort()) + "/x " + dir_.Path() + "/x");
  EXPECT_EQ(r.status, 3);
  EXPECT_NE(r.err.find("mpget: error #10061 "), std::string::npos) << r.err;

  nginx_.AddFile("pkg.7z", "data");
  r = Mpget(nginx_.Url("/pkg.7z") + " " + dir_.Path() + "/no/such/pkg.7z");
  EXPECT_EQ(r.status, 5);
  EXPECT_EQ(r.err, "mpget: Cannot create file \"" + dir_.Path() + "/no/such/pkg.7z\". The folder \"" +
                       dir_.Path() + "/no/such\" does not exist.\n");
  r = Mpget(nginx_.Url("/pkg.7z") + " /dev/full");
  EXPECT_EQ(r.status, 5);
  EXPECT_EQ(r.err, "mpget: cannot write \"/dev/full\": There is not enough space on the disk.\n");
}

TEST_F(MpgetTest, StandardOutputDevicesAndAnyOrder) {
  const std::string doc = Document(300000);
  nginx_.AddFile("pkg.7z", doc);
  // To standard output (a file here, so seekable) and to a pipe (spooled, fed in order):
  // the statistics move to standard error.
  Result r = Mpget("-o - --parts=3 " + nginx_.Url("/pkg.7z"));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(r.out == doc);
  EXPECT_NE(r.err.find("300000 bytes  100%"), std::string::npos) << r.err;
  const std::string piped = dir_.Path() + "/piped";
  const std::string cmd = "set -o pipefail; " + std::string(TEST_BINARY_DIR) + "/examples/mpget " +
                          nginx_.Url("/pkg.7z") + " - --parts 3 2>/dev/null </dev/null | cat >" + piped;
  const int rc = std::system(("bash -c '" + cmd + "'").c_str());
  EXPECT_EQ(WIFEXITED(rc) ? WEXITSTATUS(rc) : -1, 0);
  EXPECT_TRUE(ReadFileText(piped) == doc);

  r = Mpget("--parts 2 " + nginx_.Url("/pkg.7z") + " /dev/null");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("300000 bytes  100%"), std::string::npos) << r.out;
}

TEST_F(MpgetTest, HelpVersionAndUsageErrors) {
  Result r = Mpget("--help");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.rfind("usage: mpget", 0), 0u) << r.out;
  r = Mpget("--version");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.rfind("mpget ", 0), 0u) << r.out;
  const std::vector<std::string> mistakes = {"http://h/x", "--parts 0 http://h/x out", "http://h/x a b",
                                             "-o a http://h/x b", "--nope http://h/x out"};
  for (const std::string& bad : mistakes) {
    SCOPED_TRACE(bad);
    r = Mpget(bad);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind("mpget: ", 0), 0u) << r.err;
    EXPECT_NE(r.err.find("usage: mpget"), std::string::npos) << r.err;
  }
}

TEST_F(MpgetTest, ATerminalGetsOneProgressLine) {
  nginx_.AddFile("pkg.7z", Document(200000));
  const std::string file = dir_.Path() + "/pkg.7z";
  Result r = MpgetOnTerminal({nginx_.Url("/pkg.7z"), "-o", file});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(ReadFileText(file).size(), 200000u);
  // Redrawn in place: carriage returns and erasing to the end of the line, no plain
  // statistics lines, one line break at the end.
  EXPECT_EQ(r.out.find(" bytes "), std::string::npos) << r.out;
  EXPECT_EQ(r.out.rfind("\r0 B of ?  0 B/s  --:--:-- left\033[K", 0), 0u) << r.out;
  EXPECT_NE(r.out.find("\r195.3 KiB of 195.3 KiB  100%  "), std::string::npos) << r.out;
  const size_t last = r.out.rfind('\r', r.out.size() - 3);
  ASSERT_NE(last, std::string::npos);
  EXPECT_NE(r.out.find(" done in 00:00:", last), std::string::npos) << r.out;
  EXPECT_EQ(r.out.substr(r.out.size() - 5), "\033[K\r\n");  // the terminal turns \n into \r\n
}

}  // namespace
}  // namespace testsupport
