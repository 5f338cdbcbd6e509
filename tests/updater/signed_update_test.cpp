// A build with the vendor's key, as a process without a display against nginx (and a
// scripted server where nginx cannot misbehave): a signed release is installed, and every
// kind of tampering is refused with its reason, nothing unpacked, installed or started,
// the package file removed and the record as it was but for the check date.
#include <gmock/gmock.h>

#include "base/inifiles.h"
#include "scratch_app.h"
#include "signing/releasestatement.h"
#include "tests/repairtool/child_process.h"
#include "tests/support/peer_servers.h"
#include "tests/support/program_under_test.h"
#include "tests/support/scripted_server.h"
#include "tests/updater/archive/archive_test_util.h"

using ::testing::ElementsAre;

namespace {

const char* const kWindow = "window: 鼎川软件自动更新程序";
const char* const kClosed = "closed: 鼎川软件自动更新程序";
const char* const kRecord = "[设置]\r\n软件类别=demo\r\n更新日期=20240101\r\n";

signing::TSecretKey TestKey(uint8_t seed) {
  signing::TSecretKey key;
  for (size_t i = 0; i < key.size(); ++i) key[i] = static_cast<uint8_t>(seed * 31 + i);
  return key;
}

class SignedUpdateTest : public ::testing::Test {
 protected:
  SignedUpdateTest() : key(TestKey(1)) {
    fs::create_directories(app / "tmp");
    app.Put("升级/更新记录.ini", kRecord);
    package = MakePackage("20240301");
  }

  // list.ini, a program that notes it was started, a readme.
  std::string MakePackage(const std::string& manifestDate) {
    const std::string program = testsupport::StartedProgramName();
    work.Put("pkg/list.ini", "[file]\r\n" + program + "=" + program + "\r\nreadme.txt=readme.txt\r\n[文件更新日期]\r\n" +
                                 program + "=20240301\r\nreadme.txt=20240301\r\n[更新日期]\r\n更新日期=" + manifestDate +
                                 "\r\n[运行]\r\n程序=" + program + "\r\n");
    work.Put("pkg/" + program, testsupport::StartedProgramText());
    fs::permissions(work / ("pkg/" + program), fs::perms::owner_all);
    work.Put("pkg/readme.txt", "release 20240301\n" + std::string(50000, 'r'));
    fs::remove(work / "package.7z");
    archive_test::Make7z(work / "pkg", work / "package.7z");
    return work.Read("package.7z");
  }

  std::string Statement(const std::string& signedPackage, const std::string& category = "demo",
                        const std::string& date = "20240301", const signing::TSecretKey& by = TestKey(1)) {
    signing::TReleaseStatement s;
    s.category = category;
    s.date = date;
    s.length = static_cast<int64_t>(signedPackage.size());
    s.sha256 = signing::Sha256(signedPackage);
    return signing::SignStatement(s, by);
  }

  // The date file, the package and (when not empty) the statement.
  void Publish(const std::string& served, const std::string& statement) {
    nginx.AddFile("update/demo.html", "20240301");
    nginx.AddFile("update/demo.7z", served);
    if (!statement.empty()) nginx.AddFile("update/demo.sig", statement);
  }

  std::vector<std::string> Run(const std::string& baseUrl, const std::string& until) {
    ChildProcess updater(testsupport::InstallProgram("tests/updater/updater_under_test", app.Dir(), "updater"),
                         {{"DISPLAY", std::nullopt},
                          {"UPDATER_TEST_BASE_URL", baseUrl},
                          {"UPDATER_TEST_PUBLIC_KEY", signing::PublicKeyText(signing::PublicKeyOf(key))},
                          {"LSAN_OPTIONS", "suppressions=" + std::string(TEST_SOURCE_DIR) + "/tests/lsan.supp"}});
    EXPECT_TRUE(updater.Started());
    std::vector<std::string> lines;
    std::string line;
    while (updater.ReadLine(line, 60000)) {
      // Statistics lines come and go with the timing; the tests look at the rest.
      if (line.rfind("label Label1: 已下载", 0) != 0) lines.push_back(line);
      if (line.rfind(until, 0) == 0) break;
    }
    // A refusal leaves the window open for a new check; nothing more happens by itself.
    while (updater.ReadLine(line, 1000))
      if (line.rfind("label Label1: 已下载", 0) != 0) lines.push_back(line);
    stillRunning = updater.Running();
    updater.Terminate();
    updater.Wait();
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

  // What a refusal must leave: nothing installed or started, nothing unpacked, no package
  // file, and the record as it was but for the check date.
  void ExpectNothingInstalled() {
    EXPECT_FALSE(app.Exists("readme.txt"));
    EXPECT_FALSE(app.Exists(testsupport::StartedProgramName()));
    EXPECT_FALSE(app.Exists("started"));
    EXPECT_FALSE(app.Exists("升级/list.ini"));
    EXPECT_FALSE(app.Exists("升级/readme.txt"));
    EXPECT_FALSE(app.Exists("tmp/rjsj.7z"));
    EXPECT_FALSE(app.Exists("tmp/list.ini"));
    TIniFile record(testsupport::ProgramIni(app / "升级/更新记录.ini"));
    EXPECT_EQ(record.ReadString("设置", "更新日期", ""), "20240101");
    EXPECT_EQ(record.ReadString("设置", "软件类别", ""), "demo");
    EXPECT_EQ(record.ReadString("设置", "检测更新日期", "").size(), 8u);
    TStringList sections;
    record.ReadSections(&sections);
    EXPECT_EQ(sections.Count(), 1);
    EXPECT_TRUE(stillRunning) << "the window stays for a new check";
  }

  ScratchApp work;
  ScratchApp app;
  testsupport::NginxServer nginx;
  signing::TSecretKey key;
  std::string package;
  bool stillRunning = false;
};

TEST_F(SignedUpdateTest, ASignedReleaseIsCheckedFirstThenDownloadedInstalledAndStarted) {
  Publish(package, Statement(package));

  std::vector<std::string> lines = Run(nginx.Url("/update/"), kClosed);

  EXPECT_THAT(lines, ElementsAre(kWindow, "label Label1: 正在解压文件", "label Label1: 正在复制文件", kClosed));
  EXPECT_THAT(Requested(), ElementsAre("/update/demo.html", "/update/demo.sig", "/update/demo.7z", "/update/demo.7z",
                                       "/update/demo.7z"));
  EXPECT_EQ(app.Read("readme.txt").substr(0, 17), "release 20240301\n");
  for (int i = 0; i < 300 && !app.Exists("started"); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_TRUE(app.Exists("started"));
  EXPECT_FALSE(app.Exists("tmp/list.ini")) << "the manifest read for its date is not left behind";
  EXPECT_EQ(TIniFile(testsupport::ProgramIni(app / "升级/更新记录.ini")).ReadString("设置", "更新日期", ""), "20240301");
}

TEST_F(SignedUpdateTest, WithoutAStatementNothingIsFetched) {
  Publish(package, "");

  EXPECT_THAT(Run(nginx.Url("/update/"), "message: "), ElementsAre(kWindow, "message: 拒绝更新：没有签名"));
  EXPECT_THAT(Requested(), ElementsAre("/update/demo.html", "/update/demo.sig"));
  ExpectNothingInstalled();
}

TEST_F(SignedUpdateTest, StatementsThatAreNotTheVendorsOrNotForThisReleaseAreRefusedBeforeTheDownload) {
  struct Case {
    std::string statement;
    std::string message;
  };
  std::string flipped = Statement(package);
  // A digit of the length changed: still a number, so only the signature tells.
  flipped[flipped.find("length: ") + 8] ^= 0x01;
  std::string damaged = Statement(package);
  damaged.erase(damaged.find("sha256"), damaged.find("signature") - damaged.find("sha256"));
  const Case cases[] = {
      {Statement(package, "demo", "20240301", TestKey(2)), "message: 拒绝更新：签名不正确"},
      {Statement(package, "other"), "message: 拒绝更新：软件类别不符"},
      {Statement(package, "demo", "20240201"), "message: 拒绝更新：日期不符"},
      {Statement(package, "demo", "20240302"), "message: 拒绝更新：日期不符"},
      {damaged, "message: 拒绝更新：签名文件无效（缺少行）"},
      {"updater release statement 1\ncategory: demo\n", "message: 拒绝更新：签名文件无效（缺少行）"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    Publish(package, c.statement);
    const size_t before = Requested().size();
    EXPECT_THAT(Run(nginx.Url("/update/"), "message: "), ElementsAre(kWindow, c.message));
    const std::vector<std::string> requested = Requested();
    EXPECT_THAT(std::vector<std::string>(requested.begin() + static_cast<long>(before), requested.end()),
                ElementsAre("/update/demo.html", "/update/demo.sig"));
    ExpectNothingInstalled();
  }
  // A flipped byte anywhere: refused, whatever the reason.
  Publish(package, flipped);
  std::vector<std::string> lines = Run(nginx.Url("/update/"), "message: ");
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1].rfind("message: 拒绝更新：", 0), 0u) << lines[1];
  ExpectNothingInstalled();
}

TEST_F(SignedUpdateTest, APackageOneByteLongerShorterOrDifferentIsRefusedAndRemoved) {
  const std::string statement = Statement(package);
  std::string different = package;
  different[different.size() / 2] ^= 0x20;
  const std::pair<std::string, std::string> cases[] = {
      {package + "x", "message: 拒绝更新：长度不符"},
      {package.substr(0, package.size() - 1), "message: 拒绝更新：长度不符"},
      {different, "message: 拒绝更新：内容不符"},
  };
  for (const auto& [served, message] : cases) {
    SCOPED_TRACE(message);
    Publish(served, statement);
    EXPECT_THAT(Run(nginx.Url("/update/"), "message: "), ElementsAre(kWindow, message));
    ExpectNothingInstalled();
  }
}

TEST_F(SignedUpdateTest, AManifestDatedOtherwiseThanSignedIsRefusedBeforeAnythingIsUnpacked) {
  const std::string other = MakePackage("20240302");
  Publish(other, Statement(other));

  EXPECT_THAT(Run(nginx.Url("/update/"), "message: "), ElementsAre(kWindow, "message: 拒绝更新：日期不符"));
  ExpectNothingInstalled();
}

// nginx answers ranges as asked; this server sends more than each range holds.
TEST_F(SignedUpdateTest, ARangeAnswerLongerThanItsRangeStopsTheDownload) {
  const std::string statement = Statement(package);
  const std::string pkg = package;
  testsupport::ScriptedServer server([&](testsupport::ScriptedConnection& c) {
    const std::string request = c.ReadRequest();
    const std::string length = std::to_string(pkg.size());
    if (request.find("demo.html") != std::string::npos) {
      c.Write("HTTP/1.0 200 OK\r\nContent-Length: 8\r\n\r\n20240301");
    } else if (request.find("demo.sig") != std::string::npos) {
      c.Write("HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(statement.size()) + "\r\n\r\n" + statement);
    } else if (request.find("Range: bytes=") == std::string::npos) {
      c.Write("HTTP/1.0 200 OK\r\nContent-Length: " + length + "\r\n\r\n");
    } else {
      // The whole package and as much again, whatever range was asked for.
      const size_t from = std::stoul(request.substr(request.find("bytes=") + 6));
      const std::string body = pkg.substr(from) + std::string(pkg.size(), 'X');
      c.Write("HTTP/1.0 206 Partial Content\r\nContent-Range: bytes " + std::to_string(from) + "-" +
              std::to_string(from + body.size() - 1) + "/*\r\nContent-Length: " + std::to_string(body.size()) +
              "\r\n\r\n" + body);
    }
    c.Close();
  });

  EXPECT_THAT(Run(server.Url("/update/"), "message: "), ElementsAre(kWindow, "message: 拒绝更新：长度不符"));
  ExpectNothingInstalled();
}

}  // namespace
