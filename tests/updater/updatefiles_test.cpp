// The update record and the package manifest: places, sections, keys, types, defaults.
#include "updater/updatefiles.h"

#include <gmock/gmock.h>

#include "base/classes.h"
#include "base/sysutils.h"
#include "scratch_app.h"

using ::testing::ElementsAre;

namespace {

std::vector<std::string> Keys(const TPackageManifest& manifest) {
  TStringList list;
  manifest.ReadFileKeys(&list);
  std::vector<std::string> keys;
  for (int i = 0; i < list.Count(); ++i) keys.push_back(list[i]);
  return keys;
}

}  // namespace

TEST(UpdatePlacesTest, EveryPlaceLiesBelowTheApplicationDirectoryWithNativeSeparators) {
  TUpdatePlaces places("/opt/鼎川/");
  EXPECT_EQ(places.UpdateDir(), "/opt/鼎川/升级");
  EXPECT_EQ(places.RecordFile(), "/opt/鼎川/升级/更新记录.ini");
  EXPECT_EQ(places.ManifestFile(), "/opt/鼎川/升级/list.ini");
  EXPECT_EQ(places.PackageFile(), "/opt/鼎川/tmp/rjsj.7z");
  // Paths written on Windows name the same relative places.
  EXPECT_EQ(places.UnpackedFile("data.dll"), "/opt/鼎川/升级/data.dll");
  EXPECT_EQ(places.UnpackedFile("sub\\data.dll"), "/opt/鼎川/升级/sub/data.dll");
  EXPECT_EQ(places.Installed("bin\\x\\data.dll"), "/opt/鼎川/bin/x/data.dll");
  EXPECT_EQ(places.Installed("bin/data.dll"), "/opt/鼎川/bin/data.dll");
  EXPECT_EQ(places.Installed(""), "/opt/鼎川/");
}

TEST(UpdateRecordTest, AMissingRecordReadsAsDefaults) {
  ScratchApp app;
  TUpdateRecord record(TUpdatePlaces(app.Dir()).RecordFile());
  EXPECT_EQ(record.Category(), "0");
  EXPECT_EQ(record.ReleaseDate(), 0.0);
  EXPECT_EQ(record.ReleaseDateText(), "0");
  EXPECT_EQ(record.FileDate("app.exe"), 0);
  EXPECT_FALSE(app.Exists("升级/更新记录.ini"));
}

TEST(UpdateRecordTest, ReleaseDateIsANumberForTheComparisonAndTextForTheMessage) {
  ScratchApp app;
  TUpdateRecord record(app / "升级/更新记录.ini");
  app.Put("升级/更新记录.ini", "[设置]\r\n软件类别=erp\r\n更新日期=20240301\r\n");
  EXPECT_EQ(record.Category(), "erp");
  EXPECT_EQ(record.ReleaseDate(), 20240301.0);
  EXPECT_EQ(record.ReleaseDateText(), "20240301");

  for (const char* notANumber : {"", "abc", "2024-03-01"}) {
    app.Put("升级/更新记录.ini", std::string("[设置]\r\n更新日期=") + notANumber + "\r\n");
    EXPECT_EQ(record.ReleaseDate(), 0.0) << notANumber;
    EXPECT_EQ(record.ReleaseDateText(), notANumber);
  }
}

TEST(UpdateRecordTest, WritesReachTheFileAtOnceAndKeepTheOtherValues) {
  ScratchApp app;
  TUpdateRecord record(app / "升级/更新记录.ini");
  record.WriteCheckDate("20240305");  // creates the record
  app.Put("升级/更新记录.ini", app.Read("升级/更新记录.ini") + "[设置]\r\n软件类别=erp\r\n");
  record.WriteReleaseDate("20240301");
  record.WriteFileDate("bin\\data.dll", "0x10");
  record.WriteFileDate("app.exe", "20240215");

  TIniFile ini(app / "升级/更新记录.ini");
  EXPECT_EQ(ini.ReadString("设置", "检测更新日期", ""), "20240305");
  EXPECT_EQ(ini.ReadString("设置", "软件类别", ""), "erp");
  EXPECT_EQ(ini.ReadString("设置", "更新日期", ""), "20240301");
  // A key keeps its '\'; a date is kept as written and read back as an integer.
  EXPECT_EQ(ini.ReadString("更新日期", "bin\\data.dll", ""), "0x10");
  EXPECT_EQ(record.FileDate("bin\\data.dll"), 16);
  EXPECT_EQ(record.FileDate("app.exe"), 20240215);
  EXPECT_EQ(record.FileDate("APP.EXE"), 20240215);
  // The per-file section and the [设置] key share a name, not a value.
  EXPECT_EQ(record.FileDate("更新日期"), 0);
}

TEST(UpdateRecordTest, AFailedWriteNamesTheRecord) {
  ScratchApp app;
  fs::remove(app / "升级");
  TUpdateRecord record(TUpdatePlaces(app.Dir()).RecordFile());
  try {
    record.WriteCheckDate("20240305");
    FAIL() << "no error";
  } catch (const EIniFileException& e) {
    EXPECT_EQ(std::string(e.Message()), "写 " + app.Dir() + "升级/更新记录.ini 失败");
  }
}

TEST(PackageManifestTest, ReadsFilesDatesReleaseDateAndProgram) {
  ScratchApp app;
  app.Put("升级/list.ini",
          "[file]\r\napp.exe=app.exe\r\ndata.dll=bin\\data.dll\r\nsub\\x.dat=x.dat\r\nnodate.txt=\r\n"
          "[文件更新日期]\r\napp.exe=20240301\r\ndata.dll=0x10\r\nsub\\x.dat=later\r\n"
          "[更新日期]\r\n更新日期=20240301\r\n"
          "[运行]\r\n程序=app.exe\r\n");
  TPackageManifest manifest(app / "升级/list.ini");
  EXPECT_THAT(Keys(manifest), ElementsAre("app.exe", "data.dll", "sub\\x.dat", "nodate.txt"));
  EXPECT_EQ(manifest.FileTarget("data.dll"), "bin\\data.dll");
  EXPECT_EQ(manifest.FileTarget("nodate.txt"), "");
  EXPECT_EQ(manifest.FileTarget("unlisted"), "");

  EXPECT_EQ(manifest.FileDate("app.exe"), 20240301);
  EXPECT_EQ(manifest.FileDate("data.dll"), 16);
  EXPECT_EQ(manifest.FileDateText("data.dll"), "0x10");
  // Not an integer, or no entry: date 1, recorded as written or as "1".
  EXPECT_EQ(manifest.FileDate("sub\\x.dat"), 1);
  EXPECT_EQ(manifest.FileDateText("sub\\x.dat"), "later");
  EXPECT_EQ(manifest.FileDate("nodate.txt"), 1);
  EXPECT_EQ(manifest.FileDateText("nodate.txt"), "1");

  EXPECT_EQ(manifest.ReleaseDate(), "20240301");
  EXPECT_EQ(manifest.Program(), "app.exe");
}


TEST(PackageManifestTest, ListsEveryFileKeyHoweverLongTheList) {
  ScratchApp app;
  std::string text = "[file]\r\n";
  for (int i = 0; i < 1200; ++i) text += Format("bin\\module-number-%04d.dll=x\r\n", i);  // 25 bytes a name
  app.Put("升级/list.ini", text);
  // 30000 bytes of names: a listing that stopped at 16384 would leave files out of the
  // installation while the release is recorded as installed.
  const std::vector<std::string> keys = Keys(TPackageManifest(app / "升级/list.ini"));
  ASSERT_EQ(keys.size(), 1200u);
  EXPECT_EQ(keys.front(), "bin\\module-number-0000.dll");
  EXPECT_EQ(keys.back(), "bin\\module-number-1199.dll");
}
