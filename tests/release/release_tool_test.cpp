// The vendor's release tool: a release folder becomes a signed, published update that the
// updater installs; keys are kept private and never overwritten; what the tool checks
// before it signs, publishes or calls a folder good.
#include "release/releasetool.h"

#include <gmock/gmock.h>
#include <sys/stat.h>

#include <sstream>

#include "base/inifiles.h"
#include "signing/releasestatement.h"
#include "tests/repairtool/child_process.h"
#include "tests/support/peer_servers.h"
#include "tests/updater/scratch_app.h"

using ::testing::ElementsAre;
using ::testing::HasSubstr;

namespace {

struct Result {
  int status;
  std::string out;
  std::string err;
};

Result Tool(const std::vector<std::string>& args) {
  std::ostringstream out, err;
  const int status = RunReleaseTool(args, out, err);
  return {status, out.str(), err.str()};
}

// The program itself, its standard error with its output.
std::vector<std::string> ToolProcess(const std::vector<std::string>& args, int& status) {
  std::vector<std::string> argv{"/bin/sh", "-c", "exec \"$0\" \"$@\" 2>&1",
                                std::string(TEST_BINARY_DIR) + "/release/updater-release"};
  argv.insert(argv.end(), args.begin(), args.end());
  ChildProcess tool(argv, {});
  std::vector<std::string> lines = tool.ReadAllLines();
  status = tool.Wait();
  return lines;
}

class ReleaseToolTest : public ::testing::Test {
 protected:
  ReleaseToolTest() {
    work.Put("release/app.sh", "#!/bin/sh\n: > \"$(dirname \"$0\")/started\"\n");
    fs::permissions(work / "release/app.sh", fs::perms::owner_all);
    work.Put("release/readme.txt", "release 20240301\n");
    work.Put("release/data/lib.dat", std::string(20000, 'd'));
  }

  std::string Keygen() {
    const Result r = Tool({"keygen", work / "vendor.key"});
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out.substr(0, r.out.find('\n'));
  }

  void PackAndSign(const std::string& date = "20240301") {
    Result r = Tool({"pack", work / "release", "--date", date, "--run", "app.sh"});
    ASSERT_EQ(r.status, 0) << r.err;
    r = Tool({"sign", work / "release.7z", "--category", "demo", "--date", date, "--key", work / "vendor.key"});
    ASSERT_EQ(r.status, 0) << r.err;
  }

  ScratchApp work;
};

TEST_F(ReleaseToolTest, FromAReleaseFolderToAnUpdateTheUpdaterInstalls) {
  int status = -1;
  const std::vector<std::string> keygen = ToolProcess({"keygen", work / "vendor.key"}, status);
  ASSERT_EQ(status, 0);
  ASSERT_EQ(keygen.size(), 1u);
  const std::string publicKey = keygen[0];
  ASSERT_TRUE(signing::ParsePublicKey(publicKey)) << publicKey;

  EXPECT_EQ(ToolProcess({"pack", work / "release", "--date", "20240301", "--run", "app.sh"}, status).size(), 1u);
  ASSERT_EQ(status, 0);
  ToolProcess({"sign", work / "release.7z", "--category", "demo", "--date", "20240301", "--key", work / "vendor.key"},
              status);
  ASSERT_EQ(status, 0);
  testsupport::NginxServer nginx;
  const std::string served = nginx.Root() + "/update";
  fs::create_directories(served);
  ToolProcess({"publish", work / "release.7z", work / "release.sig", served}, status);
  ASSERT_EQ(status, 0);
  EXPECT_THAT(ToolProcess({"verify", served, "--category", "demo", "--key", publicKey}, status),
              ElementsAre(HasSubstr("verified: category demo, date 20240301, length ")));
  EXPECT_EQ(status, 0);
  EXPECT_EQ(testsupport::ReadFileText(served + "/demo.html"), "20240301");
  EXPECT_EQ(fs::directory_iterator(served) == fs::directory_iterator(), false);
  for (const auto& entry : fs::directory_iterator(served))
    EXPECT_THAT(entry.path().filename().string(), ::testing::AnyOf("demo.7z", "demo.sig", "demo.html"));

  ScratchApp app;
  app.Put("升级/更新记录.ini", "[设置]\r\n软件类别=demo\r\n更新日期=20240101\r\n");
  fs::create_directories(app / "tmp");
  fs::copy_file(fs::path(TEST_BINARY_DIR) / "tests/updater/updater_under_test", app / "updater");
  ChildProcess updater({app / "updater"}, {{"DISPLAY", std::nullopt},
                                           {"UPDATER_TEST_BASE_URL", nginx.Url("/update/")},
                                           {"UPDATER_TEST_PUBLIC_KEY", publicKey},
                                           {"LSAN_OPTIONS", "suppressions=" + std::string(TEST_SOURCE_DIR) +
                                                                "/tests/lsan.supp"}});
  const std::vector<std::string> lines = updater.ReadAllLines();
  EXPECT_EQ(updater.Wait(), 0);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), "closed: 鼎川软件自动更新程序");
  EXPECT_EQ(app.Read("readme.txt"), "release 20240301\n");
  EXPECT_EQ(app.Read("data/lib.dat"), std::string(20000, 'd'));
  for (int i = 0; i < 100 && !app.Exists("started"); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_TRUE(app.Exists("started"));
  TIniFile record(app / "升级/更新记录.ini");
  EXPECT_EQ(record.ReadString("设置", "更新日期", ""), "20240301");
  EXPECT_EQ(record.ReadString("更新日期", "data\\lib.dat", ""), "20240301");
}

TEST_F(ReleaseToolTest, KeygenKeepsTheSecretKeyToItsOwnerAndNeverOverwritesOne) {
  const std::string publicKey = Keygen();
  struct stat st {};
  ASSERT_EQ(stat((work / "vendor.key").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  const std::string secret = work.Read("vendor.key");
  ASSERT_TRUE(signing::ParseSecretKeyFile(secret));
  EXPECT_EQ(signing::PublicKeyText(signing::PublicKeyOf(*signing::ParseSecretKeyFile(secret))), publicKey);

  const Result again = Tool({"keygen", work / "vendor.key"});
  EXPECT_EQ(again.status, 1);
  EXPECT_THAT(again.err, HasSubstr("never overwritten"));
  EXPECT_EQ(work.Read("vendor.key"), secret);
  // Two keys are never the same.
  EXPECT_NE(Tool({"keygen", work / "other.key"}).out, publicKey + "\n");
}

TEST_F(ReleaseToolTest, PackWritesTheManifestOfEveryFileAndTheToolBuildsThePackage) {
  work.Put("release/list.ini", "[file]\r\nstale=stale\r\n");  // from an earlier pack
  const Result r = Tool({"pack", work / "release", "--date", "20240301", "--run", "app.sh"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(work.Read("release/list.ini"),
            "[file]\r\napp.sh=app.sh\r\ndata\\lib.dat=data\\lib.dat\r\nreadme.txt=readme.txt\r\n"
            "[文件更新日期]\r\napp.sh=20240301\r\ndata\\lib.dat=20240301\r\nreadme.txt=20240301\r\n"
            "[更新日期]\r\n更新日期=20240301\r\n[运行]\r\n程序=app.sh\r\n");
  // Packed again into the same file: nothing of the first package stays in it.
  work.Put("release/readme.txt", "second\n");
  fs::remove(work / "release/data/lib.dat");
  ASSERT_EQ(Tool({"pack", work / "release", "--date", "20240302"}).status, 0);
  int status = -1;
  ChildProcess list({"/usr/bin/7z", "l", "-slt", work / "release.7z"}, {});
  std::vector<std::string> listing;
  for (const std::string& line : list.ReadAllLines())
    if (line.rfind("Path = ", 0) == 0) listing.push_back(line.substr(7));
  status = list.Wait();
  EXPECT_EQ(status, 0);
  std::sort(listing.begin(), listing.end());
  EXPECT_THAT(listing, ElementsAre(work / "release.7z", "app.sh", "list.ini", "readme.txt"));
  EXPECT_EQ(work.Read("release/list.ini").find("[运行]"), std::string::npos) << "no --run, no program";
}

TEST_F(ReleaseToolTest, PackRefusesWhatTheManifestCannotName) {
  EXPECT_EQ(Tool({"pack", work / "release", "--date", "2024031"}).status, 1);
  EXPECT_THAT(Tool({"pack", work / "release", "--date", "20240301", "--run", "missing.exe"}).err,
              HasSubstr("no file of the release"));
  EXPECT_THAT(Tool({"pack", work / "release", "--date", "20240301", "--output", work / "release/x.7z"}).err,
              HasSubstr("must not be written inside"));
  work.Put("release/a=b.txt", "x");
  EXPECT_THAT(Tool({"pack", work / "release", "--date", "20240301"}).err, HasSubstr("cannot be named"));
  fs::remove(work / "release/a=b.txt");
  work.Put("release/README.TXT", "x");
  EXPECT_THAT(Tool({"pack", work / "release", "--date", "20240301"}).err, HasSubstr("differ only in case"));
  EXPECT_FALSE(work.Exists("release.7z"));
  EXPECT_EQ(ManifestNameProblem(" a"), "blanks at its start or end");
  EXPECT_EQ(ManifestNameProblem("[a]"), "'[' or ';' at its start");
  EXPECT_EQ(ManifestNameProblem("a\rb"), "a control character");
  EXPECT_EQ(ManifestNameProblem("数据/a b.txt"), "");
}

TEST_F(ReleaseToolTest, SignAndPublishRefuseWhatAnUpdaterWouldRefuse) {
  Keygen();
  ASSERT_EQ(Tool({"pack", work / "release", "--date", "20240301"}).status, 0);
  // The manifest says 20240301: a statement for another date would never install.
  Result r = Tool({"sign", work / "release.7z", "--category", "demo", "--date", "20240302", "--key", work / "vendor.key"});
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.err, HasSubstr("not dated 20240302"));
  EXPECT_FALSE(work.Exists("release.sig"));
  r = Tool({"sign", work / "release.7z", "--category", "demo", "--date", "20240301", "--key", work / "release/readme.txt"});
  EXPECT_THAT(r.err, HasSubstr("not a secret key file"));
  r = Tool({"sign", work / "release.7z", "--category", "de\tmo", "--date", "20240301", "--key", work / "vendor.key"});
  EXPECT_THAT(r.err, HasSubstr("invalid category"));
  ASSERT_EQ(Tool({"sign", work / "release.7z", "--category", "demo", "--date", "20240301", "--key", work / "vendor.key"})
                .status,
            0);

  fs::create_directories(work / "www");
  std::string package = work.Read("release.7z");
  work.Put("other.7z", package + "x");
  r = Tool({"publish", work / "other.7z", work / "release.sig", work / "www"});
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.err, HasSubstr("wrong length"));
  EXPECT_TRUE(fs::is_empty(work / "www")) << "nothing published, no temporary file left";
}

TEST_F(ReleaseToolTest, VerifyNamesWhatIsWrongWithAPublishedFolder) {
  const std::string publicKey = Keygen();
  PackAndSign();
  fs::create_directories(work / "www");
  ASSERT_EQ(Tool({"publish", work / "release.7z", work / "release.sig", work / "www"}).status, 0);
  auto verify = [&](const std::string& key = std::string()) {
    return Tool({"verify", work / "www", "--category", "demo", "--key", key.empty() ? publicKey : key}).out;
  };
  EXPECT_THAT(verify(), HasSubstr("verified"));
  EXPECT_THAT(verify(work / "vendor.key"), HasSubstr("verified")) << "the key file gives its public key";

  const signing::TSecretKey other{};
  EXPECT_EQ(verify(signing::PublicKeyText(signing::PublicKeyOf(other))), "refused: bad signature\n");
  work.Put("www/demo.html", "20240302");
  EXPECT_EQ(verify(), "refused: wrong date\n");
  work.Put("www/demo.html", "20240301");
  std::string package = work.Read("www/demo.7z");
  package[100] ^= 1;
  work.Put("www/demo.7z", package);
  EXPECT_EQ(verify(), "refused: wrong content\n");
  work.Put("www/demo.sig", "updater release statement 1\n");
  EXPECT_EQ(verify(), "refused: statement does not parse (line missing)\n");
  fs::remove(work / "www/demo.sig");
  EXPECT_EQ(verify(), "refused: no signature\n");
}

}  // namespace
