// The mpget example as a process: the file, the statistics lines, the exit status.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <string>

#include "tests/support/peer_servers.h"

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
  NginxServer nginx_;
  TempDir dir_;
};

TEST_F(MpgetTest, FetchesTheFileInTheGivenNumberOfRanges) {
  std::string doc(200000, '\0');
  for (size_t i = 0; i < doc.size(); ++i) doc[i] = static_cast<char>(i * 131 % 257);
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
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "mpget: error #404 Not Found\n");
}

}  // namespace
}  // namespace testsupport
