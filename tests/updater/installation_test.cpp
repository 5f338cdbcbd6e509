// The installation on a scratch application folder, in-process on the console backend:
// which files are copied, what is recorded, the prompt for files in use, the start of
// the application and the end of the window.
#include <gmock/gmock.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <map>
#include <memory>

#include "base/inifiles.h"
#include "gui/application.h"
#include "gui/consolebackend.h"
#include "gui/dialogs.h"
#include "platform/files.h"
#include "platform/messages.h"
#include "scratch_app.h"
#include "tests/updater/archive/archive_test_util.h"
#include "updater/extract_package.h"
#include "updater/form1.h"

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

const char* const kCaption = "鼎川软件自动更新程序";

// The console, with every dialog recorded before it is answered. A hook runs first (the
// user doing something while the dialog is open), and the first closeBoxes dialogs are
// closed with the close box instead of a button.
class TWatchedConsole : public TConsoleBackend {
 public:
  using TConsoleBackend::TConsoleBackend;

  int ShowDialog(const TMsgDlgParams& params, const std::string& title) override {
    dialogs.push_back(params);
    titles.push_back(title);
    if (beforeAnswer) beforeAnswer(static_cast<int>(dialogs.size()));
    if (closeBoxes > 0) {
      --closeBoxes;
      return params.CloseResult;
    }
    return TConsoleBackend::ShowDialog(params, title);
  }

  std::vector<TMsgDlgParams> dialogs;
  std::vector<std::string> titles;
  std::function<void(int)> beforeAnswer;
  int closeBoxes = 0;
};

// A file held open with exclusive access, as a running program holds its files.
class Holder {
 public:
  explicit Holder(const std::string& path)
      : h_(platform::FileOpen(path, platform::OPEN_READ | platform::SHARE_EXCLUSIVE)) {}
  ~Holder() { Release(); }
  bool Holds() const { return h_ != platform::INVALID_HANDLE; }
  void Release() {
    if (Holds()) platform::FileClose(h_);
    h_ = platform::INVALID_HANDLE;
  }

 private:
  platform::HANDLE h_;
};

class InstallationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(pipe(pipe_), 0);
    auto backend = std::make_unique<TWatchedConsole>(pipe_[0], [this](const std::string& l) { lines.push_back(l); });
    console = backend.get();
    application = std::make_unique<TApplication>(std::move(backend));
    application->SetTitle("鼎川软件更新程序");
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
    if (pipe_[1] >= 0) close(pipe_[1]);
  }

  // A package as unpacked: its manifest and files in the update directory.
  void Unpacked(const std::string& manifest, const std::map<std::string, std::string>& files = {}) {
    app.Put("升级/list.ini", manifest);
    for (const auto& [name, text] : files) app.Put("升级/" + name, text);
  }

  // Runs the installation with these answers for the prompts; after them, input ends.
  void Install(const std::string& answers = "") {
    if (!answers.empty()) {
      ASSERT_EQ(write(pipe_[1], answers.data(), answers.size()), static_cast<ssize_t>(answers.size()));
    }
    close(pipe_[1]);
    pipe_[1] = -1;
    Form1->Button1->Click();
  }

  std::string Recorded(const std::string& section, const std::string& key) const {
    return TIniFile(app / "升级/更新记录.ini").ReadString(section, key, "<none>");
  }

  std::string Prompt(const std::string& target) const {
    return "dialog: 无法替换文件" + target +
           ",因为这文件正在被其它软件使用，请关闭正在运行的软件后，再点重试，也可点忽略，不更换此文件";
  }

  // Waits (with a hang guard) for a file that a started program writes.
  bool AppearsSoon(const std::string& relative) const {
    for (int i = 0; i < 300 && !app.Exists(relative); ++i) poll(nullptr, 0, 100);
    return app.Exists(relative);
  }

  ScratchApp app;
  std::unique_ptr<TApplication> application;
  TWatchedConsole* console = nullptr;
  std::vector<std::string> lines;

 private:
  int pipe_[2] = {-1, -1};
};

}  // namespace

// ---------------------------------------------------------------------------------------
// Which files are copied, and what is recorded.

TEST_F(InstallationTest, CopiesNewerAndMissingFilesAndRecordsTheirDates) {
  app.Put("old.dll", "installed old");
  app.Put("hex.dll", "installed hex");
  app.Put("升级/更新记录.ini",
          "[设置]\r\n软件类别=erp\r\n更新日期=20240101\r\n"
          "[更新日期]\r\nold.dll=20240101\r\ngone.dll=20240201\r\nhex.dll=15\r\n");
  Unpacked(
      "[file]\r\nold.dll=old.dll\r\ngone.dll=lib\\deep\\gone.dll\r\nnodate.dll=nodate.dll\r\nhex.dll=hex.dll\r\n"
      "[文件更新日期]\r\nold.dll=20240301\r\ngone.dll=20240201\r\nhex.dll=0x10\r\n"
      "[更新日期]\r\n更新日期=20240301\r\n",
      {{"old.dll", "new old"}, {"gone.dll", "new gone"}, {"nodate.dll", "new nodate"}, {"hex.dll", "new hex"}});
  Form1->ProgressBar1->SetPosition(50);

  Install();

  // Newer by date; same date but missing (its directories made); no dates at all
  // (1 against 0); 0x10 against 15.
  EXPECT_EQ(app.Read("old.dll"), "new old");
  EXPECT_EQ(app.Read("lib/deep/gone.dll"), "new gone");
  EXPECT_EQ(app.Read("nodate.dll"), "new nodate");
  EXPECT_EQ(app.Read("hex.dll"), "new hex");
  EXPECT_EQ(Recorded("更新日期", "old.dll"), "20240301");
  EXPECT_EQ(Recorded("更新日期", "gone.dll"), "20240201");
  EXPECT_EQ(Recorded("更新日期", "nodate.dll"), "1");
  EXPECT_EQ(Recorded("更新日期", "hex.dll"), "0x10");
  EXPECT_EQ(Recorded("设置", "更新日期"), "20240301");
  EXPECT_EQ(Recorded("设置", "软件类别"), "erp");

  // One step per key, set before the key is worked on.
  EXPECT_EQ(Form1->ProgressBar1->Max(), 3);
  EXPECT_EQ(Form1->ProgressBar1->Position(), 3);
  EXPECT_TRUE(console->dialogs.empty());
  EXPECT_THAT(lines, ElementsAre(std::string("window: ") + kCaption, std::string("closed: ") + kCaption));
  EXPECT_TRUE(application->Terminated());
}

TEST_F(InstallationTest, CurrentFilesStayAndTheirUnpackedCopiesAreRemoved) {
  app.Put("same.dll", "installed same");
  app.Put("older.dll", "installed older");
  app.Put("升级/更新记录.ini", "[更新日期]\r\nsame.dll=20240301\r\nolder.dll=20240301\r\n");
  Unpacked(
      "[file]\r\nsame.dll=same.dll\r\nolder.dll=older.dll\r\n"
      "[文件更新日期]\r\nsame.dll=20240301\r\nolder.dll=20240201\r\n"
      "[更新日期]\r\n更新日期=20240301\r\n[运行]\r\n程序=\r\n",
      {{"same.dll", "package same"}, {"older.dll", "package older"}});

  Install();

  EXPECT_EQ(app.Read("same.dll"), "installed same");
  EXPECT_EQ(app.Read("older.dll"), "installed older");
  EXPECT_EQ(Recorded("更新日期", "older.dll"), "20240301");
  EXPECT_FALSE(app.Exists("升级/same.dll"));
  EXPECT_FALSE(app.Exists("升级/older.dll"));
  EXPECT_EQ(Recorded("设置", "更新日期"), "20240301");
}

TEST_F(InstallationTest, KeysWithBackslashesFindTheUnpackedFileAndAreRecordedAsWritten) {
  Unpacked("[file]\r\nsub\\x.dat=data\\x.dat\r\n[文件更新日期]\r\nsub\\x.dat=20240301\r\n",
           {{"sub/x.dat", "package x"}});

  Install();

  EXPECT_EQ(app.Read("data/x.dat"), "package x");
  EXPECT_EQ(Recorded("更新日期", "sub\\x.dat"), "20240301");
  EXPECT_FALSE(app.Exists("升级/sub/x.dat"));
}

TEST_F(InstallationTest, AFileMissingFromThePackageKeepsTheInstalledOne) {
  app.Put("kept.dll", "installed kept");
  app.Put("升级/更新记录.ini", "[更新日期]\r\nkept.dll=20240101\r\n");
  Unpacked("[file]\r\nkept.dll=kept.dll\r\nfresh.dll=fresh.dll\r\nnew.dll=new.dll\r\n"
           "[文件更新日期]\r\nkept.dll=20240301\r\nfresh.dll=20240301\r\nnew.dll=20240301\r\n",
           {{"new.dll", "package new"}});

  Install();

  // Not updated: the old file and its old date stay, so the next package brings it again.
  EXPECT_EQ(app.Read("kept.dll"), "installed kept");
  EXPECT_EQ(Recorded("更新日期", "kept.dll"), "20240101");
  EXPECT_FALSE(app.Exists("fresh.dll"));
  EXPECT_EQ(Recorded("更新日期", "fresh.dll"), "<none>");
  // The rest of the package is installed as usual.
  EXPECT_EQ(app.Read("new.dll"), "package new");
  EXPECT_EQ(Recorded("更新日期", "new.dll"), "20240301");
  EXPECT_TRUE(application->Terminated());
}

TEST_F(InstallationTest, AKeyLeadingOutOfTheUpdateDirectoryIsNeitherCopiedNorDeleted) {
  // Relative to the update directory, both keys name files of the installation itself.
  app.Put("data.db", "the user's data");
  app.Put("config.ini", "the user's settings");
  app.Put("target.dll", "installed target");
  Unpacked("[file]\r\n..\\data.db=target.dll\r\n../config.ini=other.dll\r\nok.dll=ok.dll\r\n"
           "[文件更新日期]\r\n..\\data.db=2\r\n../config.ini=2\r\nok.dll=2\r\n"
           "[更新日期]\r\n更新日期=20240301\r\n",
           {{"ok.dll", "package ok"}});

  Install();

  EXPECT_EQ(app.Read("data.db"), "the user's data");
  EXPECT_EQ(app.Read("config.ini"), "the user's settings");
  EXPECT_EQ(app.Read("target.dll"), "installed target");
  EXPECT_FALSE(app.Exists("other.dll"));
  EXPECT_EQ(Recorded("更新日期", "..\\data.db"), "<none>");
  EXPECT_EQ(Recorded("更新日期", "../config.ini"), "<none>");
  // The rest of the package is installed as usual.
  EXPECT_EQ(app.Read("ok.dll"), "package ok");
  EXPECT_EQ(Recorded("更新日期", "ok.dll"), "2");
  EXPECT_TRUE(application->Terminated());
}

TEST_F(InstallationTest, EntriesTheRecordCannotTakeAreSkippedAndReportedBeforeAnythingIsInstalled) {
  // A carriage return inside a key, one inside a date, a NUL inside a key: the reader
  // takes them, the record's writer would refuse them half-way through.
  app.Put("first.dll", "installed first");
  app.Put("cr.dll", "installed cr");
  app.Put("date.dll", "installed date");
  Unpacked(std::string("[file]\r\nfirst.dll=first.dll\r\na\rb=cr.dll\r\ndate.dll=date.dll\r\n") +
               std::string("n\0ul=nul.dll\r\nlast.dll=last.dll\r\n", 33) +
               "[文件更新日期]\r\nfirst.dll=2\r\na\rb=2\r\ndate.dll=2\r3\r\nlast.dll=2\r\n"
               "[更新日期]\r\n更新日期=20240301\r\n",
           {{"first.dll", "package first"}, {"a\rb", "package cr"}, {"date.dll", "package date"},
            {"last.dll", "package last"}});

  EXPECT_NO_THROW(Install());

  EXPECT_EQ(app.Read("first.dll"), "package first");
  EXPECT_EQ(app.Read("last.dll"), "package last");
  EXPECT_EQ(app.Read("cr.dll"), "installed cr");
  EXPECT_EQ(app.Read("date.dll"), "installed date");
  EXPECT_FALSE(app.Exists("nul.dll"));
  EXPECT_FALSE(app.Exists("ul"));
  EXPECT_EQ(Recorded("更新日期", "first.dll"), "2");
  EXPECT_EQ(Recorded("更新日期", "last.dll"), "2");
  EXPECT_EQ(Recorded("更新日期", "date.dll"), "<none>");
  EXPECT_EQ(Recorded("设置", "更新日期"), "20240301");
  // Reported once, before the first file; then the window closes as usual.
  EXPECT_THAT(lines, ElementsAre(std::string("window: ") + kCaption,
                                 "message: 升级包清单中有无法记录的项目，已跳过: a?b, date.dll",
                                 std::string("closed: ") + kCaption));
  EXPECT_TRUE(application->Terminated());
}

TEST_F(InstallationTest, AfterwardsTheManifestKeepsAllButItsFileListAndTheUnpackedFilesAreGone) {
  Unpacked("[file]\r\na.dll=a.dll\r\nb.dll=b.dll\r\n[文件更新日期]\r\na.dll=20240301\r\n"
           "[更新日期]\r\n更新日期=20240301\r\n[运行]\r\n程序=none\r\n",
           {{"a.dll", "a"}, {"b.dll", "b"}});

  Install();

  TIniFile manifest(app / "升级/list.ini");
  EXPECT_FALSE(manifest.SectionExists("file"));
  EXPECT_EQ(manifest.ReadString("文件更新日期", "a.dll", ""), "20240301");
  EXPECT_EQ(manifest.ReadString("更新日期", "更新日期", ""), "20240301");
  EXPECT_EQ(manifest.ReadString("运行", "程序", ""), "none");
  std::vector<std::string> left;
  for (const auto& entry : fs::directory_iterator(app / "升级")) left.push_back(entry.path().filename().string());
  std::sort(left.begin(), left.end());
  EXPECT_THAT(left, ElementsAre("list.ini", "更新记录.ini"));
}

// ---------------------------------------------------------------------------------------
// Nothing to install.

TEST_F(InstallationTest, AnEmptyFileListStillRecordsTheReleaseDateStartsAndCloses) {
  app.Put("start.sh", "#!/bin/sh\n: > \"$(dirname \"$0\")/started\"\n");
  fs::permissions(app / "start.sh", fs::perms::owner_all);
  Unpacked("[file]\r\n[更新日期]\r\n更新日期=20240301\r\n[运行]\r\n程序=start.sh\r\n");
  Form1->ProgressBar1->SetPosition(37);

  Install();

  EXPECT_EQ(Form1->ProgressBar1->Max(), 100);
  EXPECT_EQ(Form1->ProgressBar1->Position(), 37);
  EXPECT_EQ(Recorded("设置", "更新日期"), "20240301");
  EXPECT_TRUE(AppearsSoon("started"));
  EXPECT_THAT(lines, ElementsAre(std::string("window: ") + kCaption, std::string("closed: ") + kCaption));
}

TEST_F(InstallationTest, AMissingManifestRecordsReleaseDateZeroAndCloses) {
  app.Put("升级/更新记录.ini", "[设置]\r\n更新日期=20240101\r\n");

  Install();

  EXPECT_EQ(Recorded("设置", "更新日期"), "0");
  EXPECT_FALSE(app.Exists("升级/list.ini"));
  // Starting the application directory fails without a word.
  EXPECT_THAT(lines, ElementsAre(std::string("window: ") + kCaption, std::string("closed: ") + kCaption));
  EXPECT_TRUE(application->Terminated());
}

TEST_F(InstallationTest, ARecordThatCannotBeWrittenEndsTheInstallationWithTheWindowOpen) {
  fs::remove_all(app / "升级");

  EXPECT_THROW(
      try { Install(); } catch (const EIniFileException& e) {
        EXPECT_EQ(e.Message(), "写 " + app.Dir() + "升级/更新记录.ini 失败");
        throw;
      },
      EIniFileException);
  EXPECT_FALSE(application->Terminated());
  EXPECT_TRUE(Form1->Visible());
}

// ---------------------------------------------------------------------------------------
// Cut off half-way: the journal, the backups, and what the next start makes of them.

TEST_F(InstallationTest, AFileUnpackedOnTheSameFileSystemIsMovedIntoPlace) {
  app.Put("a.dll", "installed a");
  Unpacked("[file]\r\na.dll=a.dll\r\n[文件更新日期]\r\na.dll=2\r\n[更新日期]\r\n更新日期=20240301\r\n",
           {{"a.dll", "package a"}});
  fs::permissions(app / "升级/a.dll", fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  const auto inode = fs::status(app / "升级/a.dll").permissions();
  struct stat before {};
  ASSERT_EQ(::stat((app / "升级/a.dll").c_str(), &before), 0);

  Install();

  struct stat after {};
  ASSERT_EQ(::stat((app / "a.dll").c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino) << "copied instead of moved";
  EXPECT_EQ(app.Read("a.dll"), "package a");
  EXPECT_EQ(fs::status(app / "a.dll").permissions(), inode);
  EXPECT_FALSE(app.Exists("升级/a.dll"));
  EXPECT_FALSE(app.Exists("升级/install.journal"));
  EXPECT_FALSE(app.Exists("升级/install.backup"));
}

TEST_F(InstallationTest, AnInterruptedInstallationIsUndoneWhenTheWindowShows) {
  // As a kill after the second file left it: a.dll replaced, new.dll added, the record
  // already holding the new dates; b.dll not reached (no backup yet).
  app.Put("a.dll", "new a");
  app.Put("b.dll", "old b");
  app.Put("sub/new.dll", "new file");
  app.Put("升级/更新记录.ini", "[设置]\r\n更新日期=20240301\r\n[更新日期]\r\na.dll=2\r\nnew.dll=2\r\n");
  app.Put("升级/install.backup/record", "[设置]\r\n更新日期=20240101\r\n");
  app.Put("升级/install.backup/0", "old a");
  app.Put("升级/install.journal",
          "install-journal 1\nrecord 1\nfile 0 1 a.dll\nfile 1 0 sub\\new.dll\nfile 2 1 b.dll\nend\n");

  Form1->FormShow(Form1);

  EXPECT_EQ(app.Read("a.dll"), "old a");
  EXPECT_EQ(app.Read("b.dll"), "old b");
  EXPECT_FALSE(app.Exists("sub/new.dll"));
  EXPECT_EQ(app.Read("升级/更新记录.ini"), "[设置]\r\n更新日期=20240101\r\n");
  EXPECT_FALSE(app.Exists("升级/install.journal"));
  EXPECT_FALSE(app.Exists("升级/install.backup"));
  EXPECT_TRUE(Form1->Timer1->Enabled()) << "the check goes on as usual";
  EXPECT_THAT(lines, ElementsAre(std::string("window: ") + kCaption));
}

TEST_F(InstallationTest, ADamagedJournalIsReportedAndTheBackupsKept) {
  Form1->Timer1->SetEnabled(false);
  app.Put("a.dll", "new a");
  app.Put("升级/install.backup/0", "old a");
  app.Put("升级/install.journal", "install-journal 1\nrecord 1\nfile 0 1 a.d");  // cut short

  Form1->FormShow(Form1);

  EXPECT_EQ(app.Read("a.dll"), "new a") << "nothing is guessed";
  EXPECT_EQ(app.Read("升级/install.backup/0"), "old a");
  EXPECT_TRUE(app.Exists("升级/install.journal"));
  EXPECT_FALSE(Form1->Timer1->Enabled()) << "no update may start over it";
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1], "message: 上次升级未完成，其记录已损坏，备份文件保留在" + app.Dir() + "升级/install.backup");
  // Pressed by hand, the check does not start either.
  Form1->Button2->Click();
  EXPECT_FALSE(Form1->Busy());
}

TEST_F(InstallationTest, AJournalThatCameWithThePackageIsNotTakenForOurs) {
  // Replayed, it would delete or overwrite files of the installation at the next start.
  app.Put("keep.dll", "the user's file");
  Unpacked("[file]\r\nok.dll=ok.dll\r\n[文件更新日期]\r\nok.dll=2\r\n[更新日期]\r\n更新日期=20240301\r\n",
           {{"ok.dll", "package ok"}});

  Install();
  EXPECT_FALSE(app.Exists("升级/install.journal"));

  // And one left lying around names only files below the application directory.
  app.Put("升级/install.journal", "install-journal 1\nrecord 0\nfile 0 0 ..\\outside.txt\nend\n");
  app.Put("../outside.txt", "outside");
  Form1->FormShow(Form1);
  EXPECT_EQ(app.Read("../outside.txt"), "outside");
}

// ---------------------------------------------------------------------------------------
// The application started at the end.

TEST_F(InstallationTest, StartsTheManifestsProgramWhichStaysExecutable) {
  const std::string script = "#!/bin/sh\necho \"$#\" > \"$(dirname \"$0\")/../started\"\n";
  Unpacked("[file]\r\nbin\\run.sh=bin\\run.sh\r\n[运行]\r\n程序=bin\\run.sh\r\n", {{"bin/run.sh", script}});
  fs::permissions(app / "升级/bin/run.sh", fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);

  Install();

  EXPECT_EQ(fs::status(app / "bin/run.sh").permissions(),
            fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
  ASSERT_TRUE(AppearsSoon("started"));
  EXPECT_EQ(app.Read("started"), "0\n");  // no arguments
}

TEST_F(InstallationTest, AProgramFromAPackageRunsOnceUnpackedAndInstalled) {
  // Authored on Windows: '\' in keys and values, CRLF lines.
  ScratchApp source;
  source.Put("pkg/list.ini", "[file]\r\nbin\\run.sh=tools\\run.sh\r\n[运行]\r\n程序=tools\\run.sh\r\n");
  source.Put("pkg/bin/run.sh", "#!/bin/sh\n: > \"$(dirname \"$0\")/../started\"\n");
  fs::permissions(source / "pkg/bin/run.sh", fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
  archive_test::Make7z(source / "pkg", source / "rjsj.7z");
  ExtractPackage(source / "rjsj.7z", app / "升级");

  Install();

  EXPECT_EQ(archive_test::Permissions(app / "tools/run.sh"), 0750u);
  EXPECT_TRUE(AppearsSoon("started"));
}

// ---------------------------------------------------------------------------------------
// Files in use.

TEST_F(InstallationTest, RetryAfterTheHolderLetGoReplacesTheFile) {
  app.Put("busy.dll", "installed busy");
  Unpacked("[file]\r\nbusy.dll=busy.dll\r\n[文件更新日期]\r\nbusy.dll=20240301\r\n", {{"busy.dll", "new busy"}});
  Holder holder(app / "busy.dll");
  ASSERT_TRUE(holder.Holds());
  // Retry while it is still held asks again; the program is closed during the second.
  console->beforeAnswer = [&](int shown) {
    EXPECT_TRUE(app.Exists("busy.dll"));
    if (shown == 2) holder.Release();
  };

  Install("r\n重试[&R]\n");

  EXPECT_EQ(app.Read("busy.dll"), "new busy");
  EXPECT_EQ(Recorded("更新日期", "busy.dll"), "20240301");
  ASSERT_EQ(console->dialogs.size(), 2u);
  const TMsgDlgParams& p = console->dialogs[0];
  EXPECT_EQ(console->titles[0], "警告");
  EXPECT_EQ(p.Type, mtWarning);
  ASSERT_EQ(p.Buttons.size(), 2u);
  EXPECT_EQ(p.Buttons[0].Caption, "重试[&R]");
  EXPECT_EQ(p.Buttons[0].Result, mrRetry);
  EXPECT_EQ(p.Buttons[1].Caption, "忽略[&I]");
  EXPECT_EQ(p.Buttons[1].Result, mrIgnore);
  EXPECT_EQ(p.DefaultButton, 0);
  EXPECT_EQ(p.SafeButton, 1);
  const std::string prompt = Prompt(app / "busy.dll");
  EXPECT_THAT(lines, ElementsAre(std::string("window: ") + kCaption, prompt + " -> 重试[&R]",
                                 prompt + " -> 重试[&R]", std::string("closed: ") + kCaption));
}

TEST_F(InstallationTest, IgnoreLeavesTheHeldFileAndStillRecordsTheDate) {
  app.Put("busy.dll", "installed busy");
  app.Put("free.dll", "installed free");
  Unpacked("[file]\r\nbusy.dll=busy.dll\r\nfree.dll=free.dll\r\n"
           "[文件更新日期]\r\nbusy.dll=20240301\r\nfree.dll=20240301\r\n",
           {{"busy.dll", "new busy"}, {"free.dll", "new free"}});
  Holder holder(app / "busy.dll");
  ASSERT_TRUE(holder.Holds());

  Install("忽略\n");

  EXPECT_EQ(app.Read("busy.dll"), "installed busy");  // the copy failed while held
  EXPECT_EQ(Recorded("更新日期", "busy.dll"), "20240301");
  EXPECT_FALSE(app.Exists("升级/busy.dll"));
  EXPECT_EQ(app.Read("free.dll"), "new free");
  EXPECT_THAT(lines, ElementsAre(std::string("window: ") + kCaption, Prompt(app / "busy.dll") + " -> 忽略[&I]",
                                 std::string("closed: ") + kCaption));
}

TEST_F(InstallationTest, TheCloseBoxLooksAgainWithoutDeleting) {
  app.Put("busy.dll", "installed busy");
  Unpacked("[file]\r\nbusy.dll=busy.dll\r\n", {{"busy.dll", "new busy"}});
  Holder holder(app / "busy.dll");
  console->closeBoxes = 1;
  // Let go during the first prompt: closing it must not delete, so it comes again.
  console->beforeAnswer = [&](int shown) {
    if (shown == 1) holder.Release();
  };

  Install("i\n");

  ASSERT_EQ(console->dialogs.size(), 2u);
  EXPECT_EQ(console->dialogs[0].CloseResult, mrCancel);
  EXPECT_EQ(app.Read("busy.dll"), "new busy");
}

TEST_F(InstallationTest, TheUpdatersOwnExecutableIsReplacedWithoutAPrompt) {
  app.Put("updater", "running updater");
  app.Put("other", "installed other");
  Unpacked("[file]\r\nupdater=updater\r\nother=other\r\n[文件更新日期]\r\nupdater=20240301\r\n",
           {{"updater", "new updater"}, {"other", "new other"}});
  // The running program cannot be replaced; it gets one attempt and no prompt.
  Holder running(app / "updater");
  Holder other(app / "other");

  Install();

  EXPECT_EQ(app.Read("updater"), "running updater");
  EXPECT_EQ(Recorded("更新日期", "updater"), "20240301");
  ASSERT_EQ(console->dialogs.size(), 1u);
  EXPECT_THAT(console->dialogs[0].Text, HasSubstr(app / "other"));
  EXPECT_THAT(console->dialogs[0].Text, Not(HasSubstr(app / "updater")));
}

// ---------------------------------------------------------------------------------------
// Unpacking beside the loop, from the end of the download.

class UnpackingTest : public InstallationTest {
 protected:
  // A package slow enough to unpack that the test acts while it runs, as it lies once
  // downloaded; no check of its own starts meanwhile.
  void Downloaded() {
    Form1->Timer1->SetEnabled(false);
    std::string text(4 << 20, 'a');
    uint64_t x = 0x9E3779B97F4A7C15ull;
    for (char& c : text) {
      x ^= x << 13, x ^= x >> 7, x ^= x << 17;
      c = static_cast<char>('a' + x % 26);
    }
    app.Put("src/list.ini", "[file]\r\nbig.dat=big.dat\r\n[文件更新日期]\r\nbig.dat=2\r\n[更新日期]\r\n更新日期=20240301\r\n");
    app.Put("src/big.dat", text);
    archive_test::Make7z(app / "src", app / "tmp/rjsj.7z", "-mx=1 -mmt=1");
  }
};

TEST_F(UnpackingTest, ClosedWhileUnpackingItStopsInstallsNothingAndLeavesThePackageClosed) {
  Downloaded();
  app.Put("big.dat", "installed");
  Form1->MPHttpRequestDone(Form1->MPHttp, 200, "OK");
  // The handler returned with the unpacking under way and the window busy: a second
  // check does nothing, not even write the record.
  ASSERT_TRUE(Form1->Unpacker->Running());
  EXPECT_TRUE(Form1->Busy());
  Form1->Button2->Click();
  EXPECT_FALSE(app.Exists("升级/更新记录.ini"));
  EXPECT_EQ(lines.back(), "label Label1: 正在解压文件");

  application.reset();
  EXPECT_EQ(app.Read("big.dat"), "installed");
  EXPECT_FALSE(app.Exists("升级/install.journal"));
  EXPECT_FALSE(app.Exists("升级/更新记录.ini"));
  EXPECT_EQ(archive_test::OpenDescriptors(app / "tmp/rjsj.7z"), 0);
  EXPECT_EQ(lines.back(), "label Label1: 正在解压文件");
}

TEST_F(UnpackingTest, TheBarShowsTheUnpackingThenTheInstallationTakesItOver) {
  Downloaded();
  std::vector<int> positions;
  Form1->Unpacker->OnProgress = [&](TObject* s, int64_t done, int64_t total) {
    Form1->UnpackerProgress(s, done, total);
    positions.push_back(Form1->ProgressBar1->Position());
  };
  Form1->MPHttpRequestDone(Form1->MPHttp, 200, "OK");
  for (int i = 0; i < 6000 && !app.Exists("big.dat"); ++i) {
    platform::MsgWaitForInput(10);
    application->ProcessMessages();
  }
  ASSERT_TRUE(app.Exists("big.dat"));
  ASSERT_FALSE(positions.empty());
  EXPECT_EQ(Form1->ProgressBar1->Max(), 0);  // one key: the installation's own range
  EXPECT_TRUE(std::is_sorted(positions.begin(), positions.end()));
  EXPECT_GE(positions.back(), 90);
  EXPECT_LE(positions.back(), 100);
  EXPECT_THAT(lines, testing::Contains("label Label1: 正在复制文件"));
  EXPECT_EQ(Recorded("更新日期", "big.dat"), "2");
}
