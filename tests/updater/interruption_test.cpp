// The updater killed outright (SIGKILL) part-way: during the download, the next run
// fetches only what was missing; at any step of an installation, the next start leaves
// either the complete old or the complete new installation, with a record to match.
#include <gmock/gmock.h>
#include <signal.h>

#include <atomic>
#include <map>
#include <optional>
#include <chrono>
#include <mutex>
#include <thread>

#include "base/inifiles.h"
#include "download/downloadstate.h"
#include "scratch_app.h"
#include "tests/repairtool/child_process.h"
#include "tests/support/program_under_test.h"
#include "tests/support/scripted_server.h"
#include "tests/updater/archive/archive_test_util.h"

using testsupport::ScriptedConnection;
using testsupport::ScriptedServer;

namespace {

const char* const kClosed = "closed: 鼎川软件自动更新程序";

// The release date and a package, each range sent in blocks, slowly while `slow` holds;
// every body byte sent is counted.
class PackageServer {
 public:
  PackageServer(std::string package, std::string date)
      : package_(std::move(package)), date_(std::move(date)), server_([this](ScriptedConnection& c) { Serve(c); }) {}
  std::string BaseUrl() const { return server_.Url("/update/"); }
  std::atomic<bool> slow{false};
  std::atomic<int64_t> sent{0};
  std::vector<std::string> Ranges() {
    std::lock_guard<std::mutex> lock(mutex_);
    return ranges_;
  }

 private:
  void Serve(ScriptedConnection& c) {
    const std::string request = c.ReadRequest();
    if (request.empty()) return;
    if (request.find("/update/demo.html") != std::string::npos) {
      c.Write("HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(date_.size()) + "\r\n\r\n" + date_);
      return;
    }
    const std::string tag = "ETag: \"pkg-" + std::to_string(package_.size()) + "\"\r\n";
    const size_t at = request.find("Range: bytes=");
    if (at == std::string::npos) {
      c.Write("HTTP/1.0 200 OK\r\n" + tag + "Content-Length: " + std::to_string(package_.size()) + "\r\n\r\n");
      c.WaitForPeerClose();  // the probe is abandoned after its header
      return;
    }
    const int64_t first = std::stoll(request.substr(at + 13));
    int64_t last = std::stoll(request.substr(request.find('-', at) + 1));
    last = std::min<int64_t>(last, static_cast<int64_t>(package_.size()) - 1);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ranges_.push_back(std::to_string(first) + "-" + std::to_string(last));
    }
    c.Write("HTTP/1.0 206 Partial Content\r\n" + tag + "Content-Range: bytes " + std::to_string(first) + "-" +
            std::to_string(last) + "/" + std::to_string(package_.size()) + "\r\nContent-Length: " +
            std::to_string(last - first + 1) + "\r\n\r\n");
    for (int64_t from = first; from <= last; from += 16384) {
      const int64_t n = std::min<int64_t>(16384, last - from + 1);
      if (!c.Write(package_.substr(static_cast<size_t>(from), static_cast<size_t>(n)))) return;
      sent += n;
      if (slow) std::this_thread::sleep_for(std::chrono::milliseconds(40));
    }
  }

  std::string package_;
  std::string date_;
  std::mutex mutex_;
  std::vector<std::string> ranges_;
  ScriptedServer server_;
};

class InterruptionTest : public ::testing::Test {
 protected:
  // Starts the updater; env adds to the test environment.
  std::unique_ptr<ChildProcess> Start(const std::string& baseUrl, const std::string& killAtStep = "") {
    std::map<std::string, std::optional<std::string>> env = {
        {"DISPLAY", std::nullopt},
        {"UPDATER_TEST_BASE_URL", baseUrl},
        {"LSAN_OPTIONS", "suppressions=" + std::string(TEST_SOURCE_DIR) + "/tests/lsan.supp"}};
    if (!killAtStep.empty()) env["UPDATER_TEST_KILL_AT_STEP"] = killAtStep;
    auto child = std::make_unique<ChildProcess>(
        testsupport::InstallProgram("tests/updater/updater_under_test", app.Dir(), "updater"), env);
    EXPECT_TRUE(child->Started());
    return child;
  }
  std::vector<std::string> RunToEnd(const std::string& baseUrl, const std::string& killAtStep = "") {
    auto child = Start(baseUrl, killAtStep);
    std::vector<std::string> lines;
    std::string line;
    while (child->ReadLine(line, 60000)) lines.push_back(line);
    child->Wait();
    return lines;
  }

  ScratchApp work;
  ScratchApp app;
};

std::string Noise(size_t size, uint64_t seed) {
  std::string data(size, '\0');
  uint64_t x = seed;
  for (char& c : data) {
    x ^= x << 13, x ^= x >> 7, x ^= x << 17;
    c = static_cast<char>(x);
  }
  return data;
}

TEST_F(InterruptionTest, KilledDuringTheDownloadTheNextRunFetchesOnlyTheRest) {
  work.Put("pkg/list.ini", "[file]\r\nbig.dat=big.dat\r\n[文件更新日期]\r\nbig.dat=20240301\r\n[更新日期]\r\n更新日期=20240301\r\n");
  work.Put("pkg/big.dat", Noise(3 << 20, 88172645463325252ull));
  archive_test::Make7z(work / "pkg", work / "package.7z", "-mx0");
  const std::string package = work.Read("package.7z");
  fs::create_directories(app / "tmp");
  app.Put("升级/更新记录.ini", "[设置]\r\n软件类别=demo\r\n更新日期=20240101\r\n");

  PackageServer server(package, "20240301");
  server.slow = true;
  {
    auto updater = Start(server.BaseUrl());
    // Until a good part is written and its state has been saved at least once.
    std::string line;
    const auto start = std::chrono::steady_clock::now();
    while (updater->ReadLine(line, 30000)) {
      if (server.sent > static_cast<int64_t>(package.size() / 3) &&
          std::chrono::steady_clock::now() - start > std::chrono::milliseconds(2500))
        break;
    }
    ::kill(updater->Pid(), SIGKILL);
    updater->Wait();
  }
  ASSERT_TRUE(app.Exists("tmp/rjsj.7z.state")) << "no state beside the package";
  const int64_t first = server.sent;
  ASSERT_LT(first, static_cast<int64_t>(package.size()));
  // What the state says the file holds; the server's count also has what was still in flight.
  TDownloadState saved;
  ASSERT_TRUE(ParseDownloadState(app.Read("tmp/rjsj.7z.state"), saved));
  int64_t held = 0;
  for (const TDownloadPartState& part : saved.Parts) held += part.Held;
  ASSERT_GT(held, 0) << "first run: " << first;

  server.slow = false;
  server.sent = 0;
  const size_t rangesBefore = server.Ranges().size();
  const std::vector<std::string> lines = RunToEnd(server.BaseUrl());

  EXPECT_EQ(lines.back(), kClosed);
  EXPECT_TRUE(app.Read("tmp/rjsj.7z") == package);
  EXPECT_TRUE(app.Read("big.dat") == work.Read("pkg/big.dat"));
  EXPECT_FALSE(app.Exists("tmp/rjsj.7z.state"));
  // Only what the saved state did not hold is fetched again.
  EXPECT_EQ(server.sent.load(), static_cast<int64_t>(package.size()) - held) << "first run: " << first;
  const std::vector<std::string> ranges = server.Ranges();
  for (size_t i = rangesBefore; i < ranges.size(); ++i)
    EXPECT_NE(ranges[i].rfind("0-", 0), 0u) << "part 0 started over: " << ranges[i];
}

TEST_F(InterruptionTest, KilledAtAnyStepOfTheInstallationTheNextStartLeavesOldOrNew) {
  work.Put("pkg/list.ini",
           "[file]\r\na.txt=a.txt\r\nb.dat=lib\\b.dat\r\nc.txt=c.txt\r\n"
           "[文件更新日期]\r\na.txt=20240301\r\nb.dat=20240301\r\nc.txt=20240301\r\n"
           "[更新日期]\r\n更新日期=20240301\r\n");
  work.Put("pkg/a.txt", "new a");
  work.Put("pkg/b.dat", Noise(200000, 7));
  work.Put("pkg/c.txt", "new c");
  archive_test::Make7z(work / "pkg", work / "package.7z");
  PackageServer server(work.Read("package.7z"), "20240301");
  // Nobody answers there: the check ends at once, after the start has dealt with an
  // interrupted installation.
  const std::string down = "http://127.0.0.1:" + std::to_string(testsupport::UnusedPort()) + "/update/";
  const std::string oldRecord = "[设置]\r\n软件类别=demo\r\n更新日期=20240101\r\n[更新日期]\r\na.txt=20240101\r\nb.dat=20240101\r\n";

  int outcomesOld = 0, outcomesNew = 0;
  for (int step = 1; step <= 20; ++step) {
    SCOPED_TRACE("killed at step " + std::to_string(step));
    fs::remove_all(app / "");
    fs::create_directories(app / "tmp");
    app.Put("升级/更新记录.ini", oldRecord);
    app.Put("a.txt", "old a");
    app.Put("lib/b.dat", "old b");
    const std::vector<std::string> first = RunToEnd(server.BaseUrl(), std::to_string(step));
    const bool completed = !first.empty() && first.back() == kClosed;
    // The next start: the interrupted installation is dealt with before the check.
    RunToEnd(down);

    TIniFile record(testsupport::ProgramIni(app / "升级/更新记录.ini"));
    const bool isNew = app.Read("a.txt") == "new a";
    if (isNew) {
      ++outcomesNew;
      EXPECT_TRUE(app.Read("lib/b.dat") == work.Read("pkg/b.dat"));
      EXPECT_EQ(app.Read("c.txt"), "new c");
      EXPECT_EQ(record.ReadString("设置", "更新日期", ""), "20240301");
      EXPECT_EQ(record.ReadString("更新日期", "b.dat", ""), "20240301");
      EXPECT_EQ(record.ReadString("更新日期", "c.txt", ""), "20240301");
    } else {
      ++outcomesOld;
      EXPECT_EQ(app.Read("a.txt"), "old a");
      EXPECT_EQ(app.Read("lib/b.dat"), "old b");
      EXPECT_FALSE(app.Exists("c.txt"));
      EXPECT_EQ(record.ReadString("设置", "更新日期", ""), "20240101");
      EXPECT_EQ(record.ReadString("更新日期", "a.txt", ""), "20240101");
      EXPECT_EQ(record.ReadString("更新日期", "c.txt", "<none>"), "<none>");
    }
    EXPECT_FALSE(app.Exists("升级/install.journal"));
    EXPECT_FALSE(app.Exists("升级/install.backup"));
    if (completed) break;  // past the last step: the installation ran to its end
  }
  EXPECT_GE(outcomesOld, 10) << "the steps were not reached";
  EXPECT_GE(outcomesNew, 1);
}

}  // namespace
