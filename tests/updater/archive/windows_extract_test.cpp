// The 7-Zip bridge on Windows with the real 64-bit 7z.dll beside the test program; the
// archives are made by the Windows 7z.exe of the same release.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>

#include "base/classes.h"
#include "base/sysutils.h"
#include "updater/archive/7zinarchive.h"

namespace {

namespace fs = std::filesystem;

fs::path U8(const std::string& s) { return fs::path(std::u8string(s.begin(), s.end())); }

std::string Read(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void Put(const fs::path& path, const std::string& content) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << content;
}

std::string Utf8(const fs::path& path) {
  const std::u8string s = path.u8string();
  return std::string(s.begin(), s.end());
}

template <class Fn>
std::string MessageOf(Fn fn) {
  try {
    fn();
  } catch (const Exception& e) {
    return e.Message();
  }
  return "";
}

class WindowsExtractTest : public ::testing::Test {
 protected:
  void SetUp() override {
    static std::atomic<int> serial{0};
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    root = fs::path(TEST_BINARY_DIR) / "test-files" / ("7z." + std::string(info->name()) + std::to_string(++serial));
    fs::remove_all(root);
    src = root / "src";
    out = root / "out";
    pkg = Utf8(root / "pkg.7z");
    fs::create_directories(src);
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(root, ignored);
  }

  // Packs the contents of src with 7z.exe (beside this program).
  void Make7z(const std::string& options = "") {
    const fs::path tool = fs::path(TEST_BINARY_DIR) / "tests/updater/archive/7z.exe";
    const std::string cmd = "cd /d \"" + src.string() + "\" && \"" + tool.string() + "\" a -bso0 -bsp0 -bse0 " + options +
                            " \"" + root.string() + "\\pkg.7z\" . > NUL";
    ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
  }

  void Extract(bool libraryThreads = false) {
    auto* archive = new T7zInArchive(k7zLibraryName);
    TComPtr<I7zReader> reader(static_cast<I7zReader*>(archive));
    archive->UseLibraryThreads = libraryThreads;
    reader->SetFormatId(sevenzip::CLSID_Format7z);
    reader->OpenArchiveFile(pkg);
    reader->ExtractAllTo(Utf8(out));
  }

  fs::path root, src, out;
  std::string pkg;
};

TEST_F(WindowsExtractTest, ATreeWithChineseNamesComesOutWholeOnEitherThread) {
  std::string big;
  for (int i = 0; i < 200000; ++i) big += "line " + std::to_string(i * 7919 % 100003) + "\n";
  Put(src / U8("升级/更新记录.ini"), "[设置]\r\n");
  Put(src / "a/b/deep.txt", "deep");
  Put(src / "a/big.txt", big);
  Put(src / "a/empty.txt", "");
  fs::create_directories(src / "nothing");
  Make7z();

  for (bool libraryThreads : {false, true}) {
    SCOPED_TRACE(libraryThreads ? "library threads" : "caller's thread");
    fs::remove_all(out);
    Extract(libraryThreads);
    std::set<std::string> listing;
    for (const auto& e : fs::recursive_directory_iterator(out)) listing.insert(Utf8(fs::relative(e.path(), out)));
    EXPECT_EQ(listing, (std::set<std::string>{"a", "a\\b", "a\\b\\deep.txt", "a\\big.txt", "a\\empty.txt", "升级",
                                              "升级\\更新记录.ini"}));
    EXPECT_EQ(Read(out / U8("升级/更新记录.ini")), "[设置]\r\n");
    EXPECT_EQ(Read(out / "a/b/deep.txt"), "deep");
    EXPECT_TRUE(Read(out / "a/big.txt") == big);
  }
}

TEST_F(WindowsExtractTest, DamagedDataRaisesAfterTheLibraryReturns) {
  std::string text;
  for (int i = 0; i < 20000; ++i) text += "entry " + std::to_string(i) + " of the manifest\n";
  Put(src / "list.ini", text);
  for (const char* method : {"-mx0", "-mx5"}) {
    SCOPED_TRACE(method);
    fs::remove(root / "pkg.7z");
    Make7z(method);
    {
      std::fstream f(root / "pkg.7z", std::ios::in | std::ios::out | std::ios::binary);
      f.seekp(32 + 2000);  // inside the packed data, after the signature header
      f.write("\x55\xAA\x55\xAA\x55\xAA\x55\xAA", 8);
    }
    const std::string message = MessageOf([&] { Extract(); });
    EXPECT_NE(message.find("\"list.ini\" is damaged"), std::string::npos) << message;
  }
}

TEST_F(WindowsExtractTest, ATargetHeldExclusivelyStopsTheExtractionThere) {
  Put(src / "1.txt", "one");
  Put(src / "2.txt", "two");
  Put(src / "3.txt", "three");
  Make7z();
  Put(out / "2.txt", "held");
  TFileStream holder(Utf8(out / "2.txt"), fmOpenRead | fmShareExclusive);

  EXPECT_EQ(MessageOf([&] { Extract(); }), SysErrorMessage(1));

  EXPECT_EQ(Read(out / "1.txt"), "one");
  EXPECT_FALSE(fs::exists(out / "3.txt"));
}

TEST_F(WindowsExtractTest, ANonArchiveAndAMissingPackageRaiseAsOnLinux) {
  Put(root / "pkg.7z", "this is not a 7z archive, just some text");
  TComPtr<I7zReader> reader = NewInArchive(sevenzip::CLSID_Format7z);
  EXPECT_EQ(MessageOf([&] { reader->OpenArchiveFile(pkg); }), SysErrorMessage(1));
  fs::remove(root / "pkg.7z");
  EXPECT_THROW(reader->OpenArchiveFile(pkg), EFOpenError);
}

}  // namespace
