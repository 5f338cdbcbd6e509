// The whole update as a process without a display, against nginx: what the user is told
// in every case the update check meets, and what a complete update leaves behind.
#include <gmock/gmock.h>

#include <cctype>
#include <functional>

#include "base/inifiles.h"
#include "scratch_app.h"
#include "tests/repairtool/child_process.h"
#include "tests/support/peer_servers.h"
#include "tests/support/program_under_test.h"
#include "tests/support/scripted_server.h"
#include "tests/support/test_pki.h"
#include "tests/support/window_session.h"
#include "tests/updater/archive/archive_test_util.h"

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

namespace {

const char* const kWindow = "window: 鼎川软件自动更新程序";
const char* const kClosed = "closed: 鼎川软件自动更新程序";
// The highlight colour Wine fills a progress bar with.
const char* const kWindowsBarFill = "#3096FA";

// A package as a vendor publishes it: the manifest, a program to start, two files, one
// of them in a subfolder.
std::string MakePackage(const ScratchApp& work, const std::string& releaseDate, size_t dataSize = 300000) {
  const std::string program = testsupport::StartedProgramName();
  work.Put("pkg/list.ini",
           "[file]\r\n" + program + "=" + program + "\r\nreadme.txt=readme.txt\r\ndata\\lib.dat=data\\lib.dat\r\n"
           "[文件更新日期]\r\n" + program + "=" + releaseDate + "\r\nreadme.txt=" + releaseDate +
           "\r\ndata\\lib.dat=" + releaseDate + "\r\n[更新日期]\r\n更新日期=" + releaseDate +
           "\r\n[运行]\r\n程序=" + program + "\r\n");
  work.Put("pkg/" + program, testsupport::StartedProgramText());
  fs::permissions(work / ("pkg/" + program), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
  work.Put("pkg/readme.txt", "release " + releaseDate + "\n");
  // Noise, so that the package is about as large as its data.
  std::string data(dataSize, '\0');
  uint64_t x = 88172645463325252ull;
  for (char& c : data) {
    x ^= x << 13, x ^= x >> 7, x ^= x << 17;
    c = static_cast<char>(x);
  }
  work.Put("pkg/data/lib.dat", data);
  archive_test::Make7z(work / "pkg", work / "package.7z");
  return work.Read("package.7z");
}

// "label Label1: 已下载: <count>   %: <%3.0f>   网速Kbps: <%6.2f>  用时: hh:nn:ss"
bool IsStatsLine(const std::string& line) {
  size_t i = 0;
  auto text = [&](const std::string& t) {
    if (line.compare(i, t.size(), t) != 0) return false;
    i += t.size();
    return true;
  };
  auto digits = [&](size_t count) {  // count 0: one or more
    size_t start = i;
    while (i < line.size() && std::isdigit(static_cast<unsigned char>(line[i])) && (count == 0 || i - start < count)) ++i;
    return count == 0 ? i > start : i - start == count;
  };
  auto padded = [&](size_t width, bool fraction) {
    size_t start = i;
    while (i < line.size() && line[i] == ' ') ++i;
    return digits(0) && (!fraction || (text(".") && digits(2))) && i - start >= width;
  };
  return text("label Label1: 已下载: ") && digits(0) && text("   %: ") && padded(3, false) && text("   网速Kbps: ") &&
         padded(6, true) && text("  用时: ") && digits(2) && text(":") && digits(2) && text(":") && digits(2) &&
         i == line.size();
}

class UpdateProcessTest : public ::testing::Test {
 protected:
  UpdateProcessTest() { package = MakePackage(work, "20240301"); }

  void Record(const std::string& text) { app.Put("升级/更新记录.ini", text); }
  void Publish(const std::string& category, const std::string& date, bool withPackage = true) {
    nginx.AddFile("update/" + category + ".html", date);
    if (withPackage) nginx.AddFile("update/" + category + ".7z", package);
  }

  // Runs the updater (copied into the application directory, which is its own folder)
  // until it ends or a line matching `until` shows; returns its lines.
  // answer: called with each line and the updater, whose standard input it may write.
  std::vector<std::string> Run(const std::string& baseUrl, const std::string& until = "",
                               const std::function<void(const std::string&, ChildProcess&)>& answer = nullptr) {
    ChildProcess updater(testsupport::InstallProgram("tests/updater/updater_under_test", app.Dir(), "updater"),
                         {{"DISPLAY", std::nullopt},
                          {"UPDATER_TEST_BASE_URL", baseUrl},
                          {"UPDATER_TEST_CA_FILE",
                           caFile.empty() ? std::nullopt : std::optional(testsupport::ProgramPath(caFile))},
                          // Releases as they come, whatever key the build has: these
                          // tests are about the update itself.
                          {"UPDATER_TEST_PUBLIC_KEY", ""},
                          {"LSAN_OPTIONS", "suppressions=" + std::string(TEST_SOURCE_DIR) + "/tests/lsan.supp"}},
                         answer != nullptr);
    EXPECT_TRUE(updater.Started());
    if (answer) answer("", updater);
    std::vector<std::string> lines;
    std::string line;
    while (updater.ReadLine(line, 60000)) {
      lines.push_back(line);
      if (answer) answer(line, updater);
      if (!until.empty() && line.rfind(until, 0) == 0) {
        // The window stays open: nothing more happens by itself.
        while (updater.ReadLine(line, 1500)) lines.push_back(line);
        stillRunning = updater.Running();
        updater.Terminate();
        updater.Wait();
        return lines;
      }
    }
    stillRunning = false;
    exitCode = updater.Wait();
    return lines;
  }

  std::vector<std::string> Requested() const {
    std::vector<std::string> out;
    for (const std::string& line : nginx.AccessLog()) {
      const size_t get = line.find(" GET ");
      if (get != std::string::npos) out.push_back(line.substr(get + 5, line.find(' ', get + 5) - get - 5));
    }
    return out;
  }

  std::string BaseUrl() const { return nginx.Url("/update/"); }

  ScratchApp work;
  ScratchApp app;
  testsupport::NginxServer nginx;
  std::string package;
  bool stillRunning = false;
  int exitCode = -1;
  // Extra trusted CAs for an https update server.
  std::string caFile;
};

TEST_F(UpdateProcessTest, ANewerReleaseIsDownloadedUnpackedInstalledAndStarted) {
  fs::create_directories(app / "tmp");
  Record("[设置]\r\n软件类别=demo\r\n更新日期=20240101\r\n");
  Publish("demo", "20240301");

  std::vector<std::string> lines = Run(BaseUrl());

  ASSERT_GE(lines.size(), 4u);
  EXPECT_EQ(lines.front(), kWindow);
  EXPECT_EQ(lines.back(), kClosed);
  EXPECT_EQ(exitCode, 0);
  // Statistics, then the two steps after the download.
  auto extracting = std::find(lines.begin(), lines.end(), "label Label1: 正在解压文件");
  ASSERT_NE(extracting, lines.end());
  ASSERT_NE(extracting, lines.begin() + 1);
  for (auto it = lines.begin() + 1; it != extracting; ++it) EXPECT_TRUE(IsStatsLine(*it)) << *it;
  EXPECT_THAT(*(extracting - 1), StartsWith("label Label1: 已下载: " + std::to_string(package.size()) + "   %: 100"));
  EXPECT_EQ(*(extracting + 1), "label Label1: 正在复制文件");
  EXPECT_EQ(extracting + 3, lines.end());

  // The package in two parts after the probe.
  EXPECT_THAT(Requested(), ElementsAre("/update/demo.html", "/update/demo.7z", "/update/demo.7z", "/update/demo.7z"));
  EXPECT_TRUE(app.Read("tmp/rjsj.7z") == package);
  EXPECT_EQ(app.Read("readme.txt"), "release 20240301\n");
  EXPECT_TRUE(app.Read("data/lib.dat") == work.Read("pkg/data/lib.dat"));
  for (int i = 0; i < 100 && !app.Exists("started"); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_TRUE(app.Exists("started")) << "the application was not started";
  TIniFile record(testsupport::ProgramIni(app / "升级/更新记录.ini"));
  EXPECT_EQ(record.ReadString("设置", "更新日期", ""), "20240301");
  EXPECT_EQ(record.ReadString("更新日期", "data\\lib.dat", ""), "20240301");
  EXPECT_EQ(record.ReadString("设置", "检测更新日期", "").size(), 8u);
}

// The unpacking runs beside the window's loop now; what the user sees of a package that
// turns out damaged is what it always was: no message, the label stays, the window stays,
// nothing is installed and the record keeps its dates.
TEST_F(UpdateProcessTest, ADamagedPackageStopsAfterTheUnpackingLabelAndNothingIsInstalled) {
  fs::create_directories(app / "tmp");
  Record("[设置]\r\n软件类别=demo\r\n更新日期=20240101\r\n");
  // Noise is stored as it is: flipped bytes in the middle fail the checksum of its item.
  for (size_t i = package.size() / 2; i < package.size() / 2 + 16; ++i) package[i] = static_cast<char>(~package[i]);
  Publish("demo", "20240301");

  std::vector<std::string> lines = Run(BaseUrl(), "label Label1: 正在解压文件");

  EXPECT_EQ(lines.back(), "label Label1: 正在解压文件");
  EXPECT_TRUE(stillRunning);
  for (const std::string& line : lines) {
    EXPECT_THAT(line, Not(StartsWith("message: ")));
    EXPECT_THAT(line, Not(StartsWith("error: ")));
  }
  EXPECT_FALSE(app.Exists("readme.txt"));
  EXPECT_FALSE(app.Exists("data/lib.dat"));
  EXPECT_FALSE(app.Exists("升级/install.journal"));
  TIniFile record(app / "升级/更新记录.ini");
  EXPECT_EQ(record.ReadString("设置", "更新日期", ""), "20240101");
}

TEST_F(UpdateProcessTest, WithoutAnUpdateRecordTheCategoryIsZeroAndAnyDateIsNewer) {
  fs::create_directories(app / "tmp");
  Publish("0", "20240301");

  std::vector<std::string> lines = Run(BaseUrl());

  EXPECT_EQ(lines.back(), kClosed);
  EXPECT_THAT(Requested(), Contains("/update/0.html"));
  EXPECT_THAT(Requested(), Contains("/update/0.7z"));
  EXPECT_EQ(app.Read("readme.txt"), "release 20240301\n");
  // The first write of the check created the record.
  TIniFile record(testsupport::ProgramIni(app / "升级/更新记录.ini"));
  EXPECT_EQ(record.ReadString("设置", "检测更新日期", "").size(), 8u);
}

TEST_F(UpdateProcessTest, TheSameDateSaysUpToDateAndCloses) {
  Record("[设置]\r\n软件类别=demo\r\n更新日期=20240301\r\n");
  Publish("demo", "20240301");

  std::vector<std::string> lines = Run(BaseUrl());

  EXPECT_THAT(lines, ElementsAre(kWindow, "message: 软件已经最新版本，无需升级,网上日期为20240301,电脑软件日期为20240301",
                                 kClosed));
  EXPECT_EQ(exitCode, 0);
  EXPECT_THAT(Requested(), ElementsAre("/update/demo.html"));
}

TEST_F(UpdateProcessTest, ADateFollowedByALineBreakIsReportedAndTheWindowStays) {
  fs::create_directories(app / "tmp");
  Record("[设置]\r\n软件类别=demo\r\n更新日期=20240101\r\n");
  Publish("demo", "20240301\n");

  std::vector<std::string> lines = Run(BaseUrl(), "error: ");

  EXPECT_THAT(lines, ElementsAre(kWindow, "error: '20240301 ' is 不是一个有效的浮点值"));
  EXPECT_TRUE(stillRunning);
  EXPECT_THAT(Requested(), ElementsAre("/update/demo.html"));
}

TEST_F(UpdateProcessTest, AServerThatIsDownMeansNoOnlineUpdateHere) {
  Record("[设置]\r\n软件类别=demo\r\n更新日期=20240101\r\n");
  const std::string down = "http://127.0.0.1:" + std::to_string(testsupport::UnusedPort()) + "/update/";

  EXPECT_THAT(Run(down), ElementsAre(kWindow, "message: 本软件不支持在这里在线升级", kClosed));
  EXPECT_EQ(exitCode, 0);
}

TEST_F(UpdateProcessTest, AnHttpsServerIsUsedOnlyWhenItsCertificateIsTrusted) {
  testsupport::TestPki pki;
  testsupport::TlsNginxServer tls(pki, "valid");
  tls.AddFile("update/demo.html", "20240301");
  tls.AddFile("update/demo.7z", package);
  fs::create_directories(app / "tmp");
  Record("[设置]\r\n软件类别=demo\r\n更新日期=20240101\r\n");
  const std::string base = tls.HttpsUrl("/update/");

  // Our test CA is no system CA: the probe fails as if no server were there.
  EXPECT_THAT(Run(base), ElementsAre(kWindow, "message: 本软件不支持在这里在线升级", kClosed));
  EXPECT_FALSE(app.Exists("tmp/rjsj.7z"));
  EXPECT_TRUE(tls.AccessLog().empty());

  caFile = pki.CaFile();
  std::vector<std::string> lines = Run(base);
  EXPECT_EQ(exitCode, 0);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), kClosed);
  std::vector<std::string> requested;
  for (const std::string& line : tls.AccessLog()) {
    const size_t get = line.find(" GET ");
    if (get != std::string::npos) requested.push_back(line.substr(get + 5, line.find(' ', get + 5) - get - 5));
  }
  EXPECT_THAT(requested, ElementsAre("/update/demo.html", "/update/demo.7z", "/update/demo.7z", "/update/demo.7z"));
  EXPECT_TRUE(app.Read("tmp/rjsj.7z") == package);
  EXPECT_EQ(app.Read("readme.txt"), "release 20240301\n");
}

// A file another program holds is neither replaced nor lost: the user is asked to close
// that program and retry, or to ignore the file; the rest of the release goes in.
TEST_F(UpdateProcessTest, AFileInUseAsksToRetryOrIgnore) {
  fs::create_directories(app / "tmp");
  Record("[设置]\r\n软件类别=demo\r\n更新日期=20240101\r\n");
  Publish("demo", "20240301");
  for (const char* choice : {"retry", "ignore"}) {
    SCOPED_TRACE(choice);
    app.Put("readme.txt", "release 20240101\n");
    std::vector<std::string> holderCommand = testsupport::InstallProgram("tests/updater/file_holder", work.Dir(), "holder");
    holderCommand.push_back(testsupport::ProgramPath(app / "readme.txt"));
    ChildProcess holder(holderCommand, {}, true);
    std::string state;
    ASSERT_TRUE(holder.ReadLine(state));
    ASSERT_THAT(state, StartsWith("holding"));  // a CR after it on Windows
    const bool retry = std::string(choice) == "retry";
    int asked = 0;

    // Retry while the file is still held asks again; the holder lets go before the second
    // answer. A dialog's line comes with its answer, so the first retry is given time to
    // meet the held file before the holder lets go.
    std::vector<std::string> lines = Run(BaseUrl(), "", [&](const std::string& line, ChildProcess& updater) {
      if (line.empty()) {
        updater.WriteInput(retry ? "r\n" : "i\n");
      } else if (line.rfind("dialog: 无法替换文件", 0) == 0 && retry && ++asked == 1) {
        std::this_thread::sleep_for(std::chrono::seconds(2));
        holder.CloseInput();
        holder.Wait();
        updater.WriteInput("重试[&R]\n");
      }
    });

    std::vector<std::string> dialogs;
    for (const std::string& line : lines) {
      if (line.rfind("dialog: ", 0) == 0) dialogs.push_back(line);
    }
    const std::string prompt = "dialog: 无法替换文件" + testsupport::ProgramPath(app / "readme.txt") +
                               ",因为这文件正在被其它软件使用，请关闭正在运行的软件后，再点重试，也可点忽略，不更换此文件";
    if (retry) {
      EXPECT_THAT(dialogs, ElementsAre(prompt + " -> 重试[&R]", prompt + " -> 重试[&R]"));
      EXPECT_EQ(app.Read("readme.txt"), "release 20240301\n");
    } else {
      EXPECT_THAT(dialogs, ElementsAre(prompt + " -> 忽略[&I]"));
      EXPECT_EQ(app.Read("readme.txt"), "release 20240101\n");
    }
    EXPECT_EQ(lines.back(), kClosed);
    EXPECT_EQ(exitCode, 0);
    EXPECT_TRUE(app.Read("data/lib.dat") == work.Read("pkg/data/lib.dat"));
    TIniFile record(testsupport::ProgramIni(app / "升级/更新记录.ini"));
    EXPECT_EQ(record.ReadString("设置", "更新日期", ""), "20240301");
    // Put back what the other choice starts from.
    Record("[设置]\r\n软件类别=demo\r\n更新日期=20240101\r\n");
  }
}

TEST_F(UpdateProcessTest, AMissingPackageEndsWith404AndTheWindowStays) {
  fs::create_directories(app / "tmp");
  Record("[设置]\r\n软件类别=demo\r\n更新日期=20240101\r\n");
  Publish("demo", "20240301", false);

  std::vector<std::string> lines = Run(BaseUrl(), "message: ");

  EXPECT_EQ(lines.back(), "message: Finished, error #404 Not Found");
  EXPECT_TRUE(stillRunning);
  EXPECT_THAT(lines, Not(Contains(kClosed)));
  EXPECT_THAT(Requested(), ElementsAre("/update/demo.html", "/update/demo.7z"));
}

TEST_F(UpdateProcessTest, AMissingTmpFolderIsReportedAndNothingIsFetched) {
  Record("[设置]\r\n软件类别=demo\r\n更新日期=20240101\r\n");
  Publish("demo", "20240301");

  std::vector<std::string> lines = Run(BaseUrl(), "error: ");

  ASSERT_EQ(lines.size(), 2u);
  EXPECT_THAT(lines[1], StartsWith("error: Cannot create file \"" + testsupport::ProgramPath(app / "tmp/rjsj.7z") + "\". "));
  EXPECT_TRUE(stillRunning);
  EXPECT_THAT(Requested(), ElementsAre("/update/demo.html"));
}

// With a real window under a virtual display, through a location that serves each
// connection slowly: mid-download the bar shows one blue segment per part, and the
// screenshot is kept under the build folder. The Windows updater's window has Windows'
// frame around the same client area.
TEST(UpdaterWindowProcess, ShowsTwoBlueSegmentsAndTheStatisticsLineMidDownload) {
  const std::string missing = testsupport::WindowSessionMissing();
  if (!missing.empty()) GTEST_SKIP() << missing;
  ScratchApp work, app;
  testsupport::NginxServer nginx(
      "    location /slow/ { rewrite ^/slow/(.*)$ /update/$1 break; limit_rate 100k; }\n");
  const std::string package = MakePackage(work, "20240301", 1 << 20);
  nginx.AddFile("update/demo.html", "20240301");
  nginx.AddFile("update/demo.7z", package);
  app.Put("升级/更新记录.ini", "[设置]\r\n软件类别=demo\r\n更新日期=20240101\r\n");
  fs::create_directories(app / "tmp");
  const std::string updater = testsupport::InstallProgram("tests/updater/updater_under_test", app.Dir(), "updater").back();

  const fs::path artifacts = testsupport::ArtifactFolder();
  const std::string shots = testsupport::UnderWine() ? "windows-" : "";
  auto env = testsupport::WindowSessionEnv();
  env["UPDATER_TEST_BASE_URL"] = nginx.Url("/slow/");
  env["LSAN_OPTIONS"] = "print_suppressions=0:suppressions=" + std::string(TEST_SOURCE_DIR) + "/tests/lsan.supp";
  ChildProcess session({"/usr/bin/xvfb-run", "-a", "-s", "-screen 0 1024x768x24",
                        std::string(TEST_SOURCE_DIR) + "/tests/updater/xvfb_session.sh", updater, artifacts.string()},
                       env);
  ASSERT_TRUE(session.Started());
  std::vector<std::string> expected = {"window name: 鼎川软件自动更新程序", "window size: 643x200", "blue segments: 2",
                                       "running during the download", "closed after the update"};
  if (testsupport::UnderWine()) expected.insert(expected.begin() + 2, "frame: title bar and borders");
  const std::vector<std::string> lines = session.ReadAllLines();
  EXPECT_EQ(session.Wait(), 0);
  EXPECT_THAT(lines, ElementsAreArray(expected));
  // A real window prints nothing on the console.
  EXPECT_EQ(testsupport::ReadFileText((artifacts / (shots + "updater-window.log")).string()), "");
  EXPECT_GT(fs::file_size(artifacts / (shots + "updater-download.png")), 0u);
  EXPECT_TRUE(app.Read("tmp/rjsj.7z") == package);
  EXPECT_TRUE(app.Read("data/lib.dat") == work.Read("pkg/data/lib.dat"));
}

}  // namespace

namespace {

// With a real window: a package whose data is slow to decode (PPMd, one thread) keeps the
// updater unpacking for a few seconds, and all that time the window repaints, moves and
// shows the unpacking's progress in ProgressBar1; the screenshots are kept.
TEST(UpdaterWindowProcess, RepaintsMovesAndShowsProgressWhileUnpacking) {
  const std::string missing = testsupport::WindowSessionMissing();
  if (!missing.empty()) GTEST_SKIP() << missing;
  ScratchApp work, app;
  testsupport::NginxServer nginx;
  const std::string program = testsupport::StartedProgramName();
  work.Put("pkg/list.ini",
           "[file]\r\n" + program + "=" + program + "\r\ndata\\lib.dat=data\\lib.dat\r\n[文件更新日期]\r\n" + program +
               "=20240301\r\ndata\\lib.dat=20240301\r\n[更新日期]\r\n更新日期=20240301\r\n[运行]\r\n程序=" + program +
               "\r\n");
  work.Put("pkg/" + program, testsupport::StartedProgramText());
  fs::permissions(work / ("pkg/" + program), fs::perms::owner_all);
  std::string text(3 << 20, 'a');
  uint64_t x = 88172645463325252ull;
  for (char& c : text) {
    x ^= x << 13, x ^= x >> 7, x ^= x << 17;
    c = static_cast<char>('a' + x % 26);
  }
  work.Put("pkg/data/lib.dat", text);
  archive_test::Make7z(work / "pkg", work / "package.7z", "-m0=PPMd -mx=9 -mmt=1");
  nginx.AddFile("update/demo.html", "20240301");
  nginx.AddFile("update/demo.7z", work.Read("package.7z"));
  app.Put("升级/更新记录.ini", "[设置]\r\n软件类别=demo\r\n更新日期=20240101\r\n");
  fs::create_directories(app / "tmp");
  const std::string updater = testsupport::InstallProgram("tests/updater/updater_under_test", app.Dir(), "updater").back();

  const fs::path artifacts = testsupport::ArtifactFolder();
  const std::string shots = testsupport::UnderWine() ? "windows-" : "";
  auto env = testsupport::WindowSessionEnv();
  env["UPDATER_TEST_BASE_URL"] = nginx.Url("/update/");
  env["LSAN_OPTIONS"] = "print_suppressions=0:suppressions=" + std::string(TEST_SOURCE_DIR) + "/tests/lsan.supp";
  // The fill of the bar: FLTK's green, or the system's highlight on Windows.
  const std::string fill = testsupport::UnderWine() ? kWindowsBarFill : "#06B025";
  ChildProcess session({"/usr/bin/xvfb-run", "-a", "-s", "-screen 0 1024x768x24",
                        std::string(TEST_SOURCE_DIR) + "/tests/updater/xvfb_unpack_session.sh", updater,
                        artifacts.string(), program, fill},
                       env);
  ASSERT_TRUE(session.Started());
  const std::vector<std::string> lines = session.ReadAllLines();
  EXPECT_EQ(session.Wait(), 0);
  EXPECT_THAT(lines, ElementsAre("window name: 鼎川软件自动更新程序", "bar partly filled while unpacking",
                                 "moved while unpacking", "bar advanced after the move", "closed after the update"));
  EXPECT_EQ(testsupport::ReadFileText((artifacts / (shots + "updater-unpack-window.log")).string()), "");
  EXPECT_GT(fs::file_size(artifacts / (shots + "updater-unpack.png")), 0u);
  EXPECT_TRUE(app.Read("data/lib.dat") == text);
}

}  // namespace
