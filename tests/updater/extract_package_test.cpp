#include "updater/extract_package.h"

#include <gtest/gtest.h>

#include "base/sysutils.h"
#include "tests/updater/archive/archive_test_util.h"

using namespace archive_test;

namespace {

TEST(ExtractPackageTest, UnpacksEveryItemWithItsRelativePath) {
  TempDir tmp;
  const fs::path root(tmp.path());
  PutFile(root / "src/list.ini", "[file]\n");
  PutFile(root / "src/bin/app", "binary");
  Make7z(root / "src", root / "pkg.7z");
  ExtractPackage(tmp / "pkg.7z", tmp / "升级");
  EXPECT_EQ(Listing(root / "升级"), (std::set<std::string>{"bin", "bin/app", "list.ini"}));
  EXPECT_EQ(ReadFile(root / "升级/bin/app"), "binary");
  EXPECT_EQ(OpenDescriptors(root / "pkg.7z"), 0);
}

TEST(ExtractPackageTest, ErrorsPassThroughAndThePackageIsClosed) {
  TempDir tmp;
  const fs::path root(tmp.path());
  PutFile(root / "pkg.7z", "not an archive");
  try {
    ExtractPackage(tmp / "pkg.7z", tmp / "升级");
    FAIL() << "no exception";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), SysErrorMessage(1));
  }
  EXPECT_EQ(OpenDescriptors(root / "pkg.7z"), 0);
  EXPECT_FALSE(fs::exists(root / "升级"));
}

}  // namespace
