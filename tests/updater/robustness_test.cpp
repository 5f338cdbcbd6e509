// The installation against a package manifest it cannot trust blindly: keys that lead
// out of the update directory, and more keys than one listing of the INI functions holds.
#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>

#include "base/inifiles.h"
#include "base/sysutils.h"
#include "gui/application.h"
#include "gui/consolebackend.h"
#include "platform/messages.h"
#include "scratch_app.h"
#include "updater/form1.h"
#include "updater/updatefiles.h"

namespace {

class ManifestTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(pipe(pipe_), 0);
    close(pipe_[1]);  // no answers: a dialog takes its safe choice
    application = std::make_unique<TApplication>(
        std::make_unique<TConsoleBackend>(pipe_[0], [this](const std::string& l) { lines.push_back(l); }));
    application->CreateForm(Form1);
    Form1->Places = TUpdatePlaces(app.Dir());
    Form1->ExeName = app / "updater";
    Form1->Show();
  }
  void TearDown() override {
    application.reset();
    platform::MSG msg;
    while (platform::PeekMessage(&msg, 0, 0, 0, platform::PM_REMOVE)) {
    }
    close(pipe_[0]);
  }

  std::string Recorded(const std::string& key) const {
    return TIniFile(app / "升级/更新记录.ini").ReadString("更新日期", key, "<none>");
  }

  ScratchApp app;
  std::unique_ptr<TApplication> application;
  std::vector<std::string> lines;

 private:
  int pipe_[2] = {-1, -1};
};

TEST_F(ManifestTest, KeyLeadingOutOfTheUpdateDirectoryIsNeitherCopiedNorDeleted) {
  // Relative to the update directory, both keys name files of the installation itself.
  app.Put("data.db", "the user's data");
  app.Put("config.ini", "the user's settings");
  app.Put("target.dll", "installed target");
  app.Put("升级/list.ini",
          "[file]\r\n..\\data.db=target.dll\r\n../config.ini=other.dll\r\nok.dll=ok.dll\r\n"
          "[文件更新日期]\r\n..\\data.db=2\r\n../config.ini=2\r\nok.dll=2\r\n"
          "[更新日期]\r\n更新日期=20240301\r\n");
  app.Put("升级/ok.dll", "package ok");

  Form1->Button1->Click();

  EXPECT_EQ(app.Read("data.db"), "the user's data");
  EXPECT_EQ(app.Read("config.ini"), "the user's settings");
  EXPECT_EQ(app.Read("target.dll"), "installed target");
  EXPECT_FALSE(app.Exists("other.dll"));
  EXPECT_EQ(Recorded("..\\data.db"), "<none>");
  EXPECT_EQ(Recorded("../config.ini"), "<none>");
  // The rest of the package is installed as usual.
  EXPECT_EQ(app.Read("ok.dll"), "package ok");
  EXPECT_EQ(Recorded("ok.dll"), "2");
  EXPECT_TRUE(application->Terminated());
}

TEST(PackageManifest, ListsEveryFileKeyHoweverLongTheList) {
  ScratchApp app;
  std::string text = "[file]\r\n";
  for (int i = 0; i < 1200; ++i) text += Format("bin\\module-number-%04d.dll=x\r\n", i);  // 25 bytes a name
  text += "[更新日期]\r\n更新日期=1\r\n";
  app.Put("升级/list.ini", text);
  TStringList keys;
  TPackageManifest(app / "升级/list.ini").ReadFileKeys(&keys);
  // 30000 bytes of names: a listing that stopped at 16384 would leave files out of the
  // installation while the release is recorded as installed.
  ASSERT_EQ(keys.Count(), 1200);
  EXPECT_EQ(keys[0], "bin\\module-number-0000.dll");
  EXPECT_EQ(keys[1199], "bin\\module-number-1199.dll");
}

}  // namespace
