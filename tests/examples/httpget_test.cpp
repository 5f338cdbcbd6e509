// The httpget example as a process: output, headers, ranges, proxy, exit status.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/peer_servers.h"
#include "tests/support/scripted_server.h"

namespace testsupport {
namespace {

struct ProcessResult {
  int status;
  std::string out, err;
};

class HttpGetTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    nginx_ = new NginxServer("    location = /moved { return 302 /data.txt; }\n");
    nginx_->AddFile("data.txt", "0123456789abcdef");
  }
  static void TearDownTestSuite() {
    delete nginx_;
    nginx_ = nullptr;
  }

  ProcessResult Httpget(const std::string& args) {
    std::string out = dir_.Path() + "/stdout", err = dir_.Path() + "/stderr";
    std::string cmd = std::string(TEST_BINARY_DIR) + "/examples/httpget " + args + " >" + out +
                      " 2>" + err + " </dev/null";
    int rc = std::system(cmd.c_str());
    return {WIFEXITED(rc) ? WEXITSTATUS(rc) : -1, ReadFileText(out), ReadFileText(err)};
  }

  static NginxServer* nginx_;
  TempDir dir_;
};
NginxServer* HttpGetTest::nginx_ = nullptr;

TEST_F(HttpGetTest, BodyToStandardOutputOrFile) {
  ProcessResult r = Httpget(nginx_->Url("/data.txt"));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "0123456789abcdef");
  EXPECT_EQ(r.err, "");

  std::string file = dir_.Path() + "/saved.txt";
  r = Httpget("-o " + file + " --http-version 1.1 " + nginx_->Url("/moved"));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(ReadFileText(file), "0123456789abcdef");
}

TEST_F(HttpGetTest, VerboseShowsBothHeaders) {
  ProcessResult r = Httpget("-v --http-version 1.1 " + nginx_->Url("/data.txt"));
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.err.find("> GET /data.txt HTTP/1.1\n"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("< HTTP/1.1 200 OK\n"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("< Content-Length: 16\n"), std::string::npos) << r.err;
}

TEST_F(HttpGetTest, RangeTimeoutAndProxy) {
  ProcessResult r = Httpget("--range 10-12 --timeout 5 " + nginx_->Url("/data.txt"));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "abc");

  HttpProxyServer proxy;
  r = Httpget("--proxy 127.0.0.1:" + std::to_string(proxy.Port()) + " " + nginx_->Url("/data.txt"));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "0123456789abcdef");
  EXPECT_NE(proxy.Log().find("GET " + nginx_->Url("/data.txt")), std::string::npos);
}

TEST_F(HttpGetTest, ExitCodesTellTheKindOfFailure) {
  ProcessResult r = Httpget(nginx_->Url("/absent"));
  EXPECT_EQ(r.status, 4);
  EXPECT_EQ(r.err, "httpget: 404 Not Found\n");

  r = Httpget("--timeout 5 " + nginx_->Url("/absent"));
  EXPECT_EQ(r.status, 4);
  EXPECT_EQ(r.err, "httpget: 404 Not Found\n");

  ScriptedServer silent([](ScriptedConnection& c) { c.WaitForPeerClose(); });
  r = Httpget("--timeout 1 " + silent.Url("/"));
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.err, "httpget: 404 Request aborted on timeout\n");

  r = Httpget("http://127.0.0.1:" + std::to_string(UnusedPort()) + "/");
  EXPECT_EQ(r.status, 3);
  EXPECT_NE(r.err.find("httpget: 404 "), std::string::npos);

  r = Httpget("-o " + dir_.Path() + "/none/x " + nginx_->Url("/data.txt"));
  EXPECT_EQ(r.status, 5);

  r = Httpget("--http-version 2 " + nginx_->Url("/data.txt"));
  EXPECT_EQ(r.status, 2);
  r = Httpget("");
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("usage: httpget"), std::string::npos);
}

TEST_F(HttpGetTest, HelpVersionAndUsageErrors) {
  ProcessResult r = Httpget("--help");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.rfind("usage: httpget [-o FILE|-]", 0), 0u) << r.out;
  EXPECT_EQ(r.err, "");

  r = Httpget("--version");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.rfind("httpget ", 0), 0u) << r.out;
  EXPECT_EQ(r.out.find('\n'), r.out.size() - 1);

  const std::vector<std::string> mistakes = {"--bogus " + nginx_->Url("/data.txt"),
                                             nginx_->Url("/a") + " " + nginx_->Url("/b"), "-o",
                                             "--timeout x " + nginx_->Url("/data.txt")};
  for (const std::string& bad : mistakes) {
    SCOPED_TRACE(bad);
    r = Httpget(bad);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind("httpget: ", 0), 0u) << r.err;
    EXPECT_NE(r.err.find("usage: httpget"), std::string::npos);
  }
}

TEST_F(HttpGetTest, OptionsAfterTheUrlAndInEitherSpelling) {
  const std::string file = dir_.Path() + "/late.txt";
  ProcessResult r = Httpget(nginx_->Url("/data.txt") + " --range=2-4 -o " + file + " --timeout=5");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(ReadFileText(file), "234");
}

TEST_F(HttpGetTest, DevicesPipesAndStandardOutput) {
  ProcessResult r = Httpget("-o /dev/null " + nginx_->Url("/data.txt"));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "");

  r = Httpget("-o - " + nginx_->Url("/data.txt"));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "0123456789abcdef");

  // A named pipe is written as it is, with its reader on the other end.
  const std::string fifo = dir_.Path() + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::string cmd = std::string(TEST_BINARY_DIR) + "/examples/httpget -o " + fifo + " " +
                          nginx_->Url("/data.txt") + " & cat " + fifo + "; wait $!";
  FILE* p = popen(cmd.c_str(), "r");
  ASSERT_NE(p, nullptr);
  char buf[64] = {};
  const size_t got = fread(buf, 1, sizeof buf - 1, p);
  EXPECT_EQ(WEXITSTATUS(pclose(p)), 0);
  EXPECT_EQ(std::string(buf, got), "0123456789abcdef");

  r = Httpget("-o /dev/full " + nginx_->Url("/data.txt"));
  EXPECT_EQ(r.status, 5);
  EXPECT_EQ(r.err, "httpget: cannot write \"/dev/full\": There is not enough space on the disk.\n");
}

TEST_F(HttpGetTest, AFileIsNeverHalfWrittenUnderItsName) {
  const std::string file = dir_.Path() + "/doc.bin";
  // Half the document, then a check of the folder while the client still waits, then
  // the connection breaks.
  std::atomic<bool> finalNameSeen{true}, hiddenFileSeen{false};
  ScriptedServer halfway([&](ScriptedConnection& c) {
    c.ReadRequest();
    c.Write("HTTP/1.1 200 OK\r\nContent-Length: 20000\r\n\r\n" + std::string(10000, 'x'));
    for (int i = 0; i < 200 && !hiddenFileSeen; ++i) {
      for (const auto& e : std::filesystem::directory_iterator(dir_.Path()))
        if (e.path().filename().string().rfind(".doc.bin", 0) == 0 && e.file_size() == 10000)
          hiddenFileSeen = true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    finalNameSeen = std::filesystem::exists(file);
    c.Close();
  });
  ProcessResult r = Httpget("-o " + file + " " + halfway.Url("/doc.bin"));
  EXPECT_EQ(r.status, 3);
  EXPECT_TRUE(hiddenFileSeen);
  EXPECT_FALSE(finalNameSeen);
  EXPECT_FALSE(std::filesystem::exists(file));

  // A failed fetch leaves an existing file as it was, and nothing beside it.
  dir_.WriteFile("doc.bin", "previous");
  r = Httpget("-o " + file + " " + nginx_->Url("/absent"));
  EXPECT_EQ(r.status, 4);
  EXPECT_EQ(ReadFileText(file), "previous");
  int entries = 0;
  for (const auto& e : std::filesystem::directory_iterator(dir_.Path())) entries += e.is_regular_file();
  EXPECT_EQ(entries, 3);  // doc.bin and the captured stdout and stderr

  r = Httpget("-o " + file + " " + nginx_->Url("/data.txt"));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(ReadFileText(file), "0123456789abcdef");
}

TEST_F(HttpGetTest, AFolderThatCannotTakeTheFileIsNamed) {
  const std::string missing = dir_.Path() + "/no/such";
  ProcessResult r = Httpget("-o " + missing + "/x.txt " + nginx_->Url("/data.txt"));
  EXPECT_EQ(r.status, 5);
  EXPECT_EQ(r.err, "httpget: Cannot create file \"" + missing + "/x.txt\". The folder \"" + missing +
                       "\" does not exist.\n");
  // Root writes anywhere but into sysfs.
  std::string locked = "/sys";
  if (geteuid() != 0) {
    locked = dir_.Path() + "/locked";
    mkdir(locked.c_str(), 0555);
  }
  r = Httpget("-o " + locked + "/x.txt " + nginx_->Url("/data.txt"));
  EXPECT_EQ(r.status, 5);
  EXPECT_NE(r.err.find("The folder \"" + locked + "\" cannot be written"), std::string::npos) << r.err;
}

}  // namespace
}  // namespace testsupport
