// The update check and the download handlers of the updater window, in-process on the
// console backend against a scripted server: the statistics line, the segmented bar, and
// what a second press of the start button does.
#include <gmock/gmock.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "gui/application.h"
#include "gui/consolebackend.h"
#include "platform/messages.h"
#include "scratch_app.h"
#include "tests/support/scripted_server.h"
#include "tests/updater/archive/archive_test_util.h"
#include "updater/form1.h"

using ::testing::Contains;
using ::testing::ElementsAre;
using testsupport::ScriptedConnection;
using testsupport::ScriptedServer;

namespace {

using Clock = std::chrono::steady_clock;

TEST(StatisticsLine, KeepsItsSpacingAndFormats) {
  const TDateTime elapsed = 65.0 / 86400.0;
  EXPECT_EQ(TForm1::StatsLine(1234567, 45.6, 12.5, elapsed),
            "已下载: 1234567   %:  46   网速Kbps:  12.50  用时: 00:01:05");
  EXPECT_EQ(TForm1::StatsLine(0, 0, 0, 0), "已下载: 0   %:   0   网速Kbps:   0.00  用时: 00:00:00");
  EXPECT_EQ(TForm1::StatsLine(5000000000, 120.4, 123456.789, 3725.0 / 86400.0),
            "已下载: 5000000000   %: 120   网速Kbps: 123456.79  用时: 01:02:05");
}

// The path of a request ("/update/demo.html").
std::string PathOf(const std::string& request) {
  return request.size() < 4 ? "" : request.substr(4, request.find(' ', 4) - 4);
}

class UpdateCheckTest : public ::testing::Test {
 protected:
  void SetUp() override {
    application = std::make_unique<TApplication>(
        std::make_unique<TConsoleBackend>(-1, [this](const std::string& l) {
          lines.push_back(l);
          if (onLine) onLine(l);
        }));
    application->SetTitle("鼎川软件更新程序");
    application->CreateForm(Form1);
    Form1->Places = TUpdatePlaces(app.Dir());
    Form1->ExeName = app / "updater";
    app.Put("升级/更新记录.ini", "[设置]\r\n软件类别=demo\r\n更新日期=20240101\r\n");
    std::filesystem::create_directories(app / "tmp");
  }

  void TearDown() override {
    application.reset();
    platform::MSG msg;
    while (platform::PeekMessage(&msg, 0, 0, 0, platform::PM_REMOVE)) {
    }
  }

  // Runs the message loop until done holds (false after the hang guard).
  bool RunUntil(const std::function<bool()>& done, int guardMs = 20000) {
    TTimer ticker(nullptr);
    ticker.SetInterval(20);
    const Clock::time_point end = Clock::now() + std::chrono::milliseconds(guardMs);
    application->ModalLoop([&] { return done() || Clock::now() >= end; });
    return done();
  }

  int Requests(const std::string& path) const {
    int n = 0;
    for (const auto& r : server->Requests()) n += PathOf(r) == path;
    return n;
  }

  bool Said(const std::string& line) const { return std::find(lines.begin(), lines.end(), line) != lines.end(); }

  ScratchApp app;
  std::unique_ptr<TApplication> application;
  std::vector<std::string> lines;
  std::function<void(const std::string&)> onLine;  // runs as each line is shown
  std::unique_ptr<ScriptedServer> server;
};

TEST_F(UpdateCheckTest, TheWindowHoldsTheDownloaderAndTheSegmentedBar) {
  EXPECT_EQ(Form1->MPHttp->Owner(), Form1);
  EXPECT_EQ(Form1->MPHttp->PartCount, 0);
  EXPECT_EQ(Form1->MPHttp->URL, "");
  EXPECT_TRUE(Form1->MPHttp->OnRequestDone && Form1->MPHttp->OnShowStats && Form1->MPHttp->OnProgressAddSegment &&
              Form1->MPHttp->OnProgressSetPosition);
  EXPECT_FALSE(Form1->MPHttp->OnDisplay);
  EXPECT_EQ(Form1->MPBar->Parent(), Form1);
  EXPECT_EQ(Form1->MPBar->Left(), 16);
  EXPECT_EQ(Form1->MPBar->Top(), 36);
  EXPECT_EQ(Form1->MPBar->Width(), 609);
  EXPECT_EQ(Form1->MPBar->Height(), 37);
  EXPECT_TRUE(Form1->MPBar->Visible());
  EXPECT_EQ(Form1->MPBar->BevelOuter(), bvLowered);
  EXPECT_EQ(Form1->BaseUrl, UPDATER_BASE_URL_SETTING) << "the build setting reaches the window";
}

TEST_F(UpdateCheckTest, APressDuringTheDownloadIsIgnoredAndAFailedUnpackingAllowsAFreshCheck) {
  const std::string doc(1000, 'p');  // no 7z archive: the unpacking fails
  server = std::make_unique<ScriptedServer>([doc](ScriptedConnection& c) {
    const std::string request = c.ReadRequest();
    const std::string path = PathOf(request);
    if (path == "/update/demo.html") {
      c.Write("HTTP/1.0 200 OK\r\nContent-Length: 8\r\n\r\n20240301");
    } else if (request.find("Range: bytes=") == std::string::npos) {
      c.Write("HTTP/1.0 200 OK\r\nContent-Length: 1000\r\n\r\n" + doc);
    } else {
      const bool first = request.find("bytes=0-") != std::string::npos;
      const std::string range = first ? "0-500" : "501-999";
      const size_t size = first ? 501 : 499;
      c.Write("HTTP/1.0 206 Partial Content\r\nContent-Range: bytes " + range + "/1000\r\nContent-Length: " +
              std::to_string(size) + "\r\n\r\n");
      // Slowly, so that the download is still running when the user presses again.
      for (size_t sent = 0; sent < size; sent += 100) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        c.Write(doc.substr(0, std::min<size_t>(100, size - sent)));
      }
    }
  });
  Form1->BaseUrl = server->Url("/update/");
  Form1->Show();
  Form1->Button2->Click();
  ASSERT_TRUE(Form1->Busy());
  EXPECT_TRUE(Form1->MPBar->Visible());
  EXPECT_FALSE(Form1->ProgressBar1->Visible());
  ASSERT_TRUE(RunUntil([&] { return Form1->MPHttp->TotalCount > 0; }));
  ASSERT_EQ(Form1->MPBar->SegmentCount(), 2);
  EXPECT_EQ(Form1->MPBar->Segment(1)->Brush()->Color(), 0xFF0000);
  EXPECT_EQ(Form1->MPBar->Segment(1)->SegmentStart, 500);
  Form1->Button2->Click();  // the download is under way
  ASSERT_TRUE(RunUntil([&] { return Said("label Label1: 正在解压文件"); }));
  RunUntil([] { return false; }, 300);

  EXPECT_EQ(Requests("/update/demo.html"), 1) << "no second check during the download";
  EXPECT_EQ(app.Read("tmp/rjsj.7z"), doc);
  EXPECT_EQ(lines.back(), "label Label1: 正在解压文件") << "an unpacking error shows nothing";
  EXPECT_FALSE(Form1->MPBar->Visible());
  EXPECT_TRUE(Form1->ProgressBar1->Visible());
  EXPECT_FALSE(Form1->Busy());

  Form1->Button2->Click();
  EXPECT_EQ(Requests("/update/demo.html"), 2) << "a fresh check after the failure";
}

TEST_F(UpdateCheckTest, AMissingPackageIsReportedAndTheCheckCanRunAgain) {
  auto htmlAnswers = std::make_shared<std::atomic<int>>(0);
  server = std::make_unique<ScriptedServer>([htmlAnswers](ScriptedConnection& c) {
    const std::string path = PathOf(c.ReadRequest());
    if (path == "/update/demo.html") {
      // The first answer takes a while: a press meanwhile must not start a second check.
      if ((*htmlAnswers)++ == 0) std::this_thread::sleep_for(std::chrono::milliseconds(400));
      c.Write("HTTP/1.0 200 OK\r\nContent-Length: 8\r\n\r\n20240301");
    } else {
      c.Write("HTTP/1.0 404 Not Found\r\nContent-Length: 0\r\n\r\n");
    }
  });
  Form1->BaseUrl = server->Url("/update/");
  Form1->Show();
  TTimer press(nullptr);
  press.SetInterval(100);
  press.OnTimer = [&](TObject*) {
    press.SetEnabled(false);
    Form1->Button2->Click();
  };
  Form1->Button2->Click();
  ASSERT_TRUE(RunUntil([&] { return Said("message: Finished, error #404 Not Found"); }));
  EXPECT_FALSE(press.Enabled()) << "the second press happened during the check";
  EXPECT_EQ(Requests("/update/demo.html"), 1);
  EXPECT_EQ(Requests("/update/demo.7z"), 1);
  EXPECT_TRUE(Form1->MPBar->Visible()) << "the bar stays after a failure";
  EXPECT_EQ(Form1->MPHttp->FileStream, nullptr) << "the window frees the package file";

  lines.clear();
  Form1->Button2->Click();
  ASSERT_TRUE(RunUntil([&] { return Said("message: Finished, error #404 Not Found"); }));
  EXPECT_EQ(Requests("/update/demo.html"), 2);
  EXPECT_EQ(Requests("/update/demo.7z"), 2);
  EXPECT_EQ(Form1->Label1->Caption(), "已下载: 0   %:   0   网速Kbps:   0.00  用时: 00:00:00");
}

// A server with a real package: the probe gets the whole, each range its bytes.
std::unique_ptr<ScriptedServer> PackageServer(const std::string& package) {
  return std::make_unique<ScriptedServer>([package](ScriptedConnection& c) {
    const std::string request = c.ReadRequest();
    if (PathOf(request) == "/update/demo.html") {
      c.Write("HTTP/1.0 200 OK\r\nContent-Length: 8\r\n\r\n20240301");
      return;
    }
    const size_t at = request.find("Range: bytes=");
    if (at == std::string::npos) {
      c.Write("HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(package.size()) + "\r\n\r\n" + package);
      return;
    }
    const int64_t first = std::stoll(request.substr(at + 13));
    int64_t last = std::stoll(request.substr(request.find('-', at) + 1));
    last = std::min<int64_t>(last, static_cast<int64_t>(package.size()) - 1);
    c.Write("HTTP/1.0 206 Partial Content\r\nContent-Range: bytes " + std::to_string(first) + "-" +
            std::to_string(last) + "/" + std::to_string(package.size()) + "\r\nContent-Length: " +
            std::to_string(last - first + 1) + "\r\n\r\n" + package.substr(first, last - first + 1));
  });
}

TEST_F(UpdateCheckTest, AnInstallationThatFailsHalfWayAllowsAFreshCheck) {
  archive_test::TempDir source;
  archive_test::PutFile(fs::path(source.path()) / "list.ini",
                        "[file]\r\na.dll=a.dll\r\n[文件更新日期]\r\na.dll=20240301\r\n[更新日期]\r\n更新日期=20240301\r\n");
  archive_test::PutFile(fs::path(source.path()) / "a.dll", "package a");
  archive_test::TempDir out;
  archive_test::Make7z(source.path(), out / "demo.7z");
  server = PackageServer(archive_test::ReadFile(out / "demo.7z"));
  // Just before the installation the record turns into something no write can replace.
  bool broken = false;
  onLine = [&](const std::string& line) {
    if (line != "label Label1: 正在复制文件") return;
    broken = true;
    std::filesystem::remove(app / "升级/更新记录.ini");
    std::filesystem::create_directories(app / "升级/更新记录.ini");
  };
  Form1->BaseUrl = server->Url("/update/");
  Form1->Show();
  Form1->Button2->Click();
  ASSERT_TRUE(RunUntil([&] { return Said("label Label1: 正在复制文件"); }));
  RunUntil([] { return false; }, 300);

  ASSERT_TRUE(broken);
  EXPECT_FALSE(application->Terminated()) << "the installation could not have ended";
  EXPECT_FALSE(Form1->Busy()) << "the start button would never work again";
}

}  // namespace
