#include "updater/archive/7zinarchive.h"

#include <gtest/gtest.h>

#include <mutex>
#include <set>
#include <thread>

#include "base/classes.h"
#include "tests/updater/archive/archive_test_util.h"

using namespace archive_test;

namespace {

// Runs fn and hands back the message of the Exception it raises ("" when none).
template <class Fn>
std::string MessageOf(Fn fn) {
  try {
    fn();
  } catch (const Exception& e) {
    return e.Message();
  }
  return "";
}

class ExtractTest : public ::testing::Test {
 protected:
  void Extract(const std::string& dir, bool libraryThreads = false) {
    auto* archive = new T7zInArchive(k7zLibraryName);
    TComPtr<I7zReader> reader(static_cast<I7zReader*>(archive));
    archive->UseLibraryThreads = libraryThreads;
    reader->SetFormatId(sevenzip::CLSID_Format7z);
    reader->OpenArchiveFile(pkg);
    reader->ExtractAllTo(dir);
  }

  TempDir tmp;
  fs::path root{tmp.path()};
  fs::path src = root / "src";
  fs::path out = root / "out";
  std::string pkg = tmp / "pkg.7z";
};

class ExtractTreeTest : public ExtractTest, public ::testing::WithParamInterface<bool> {};

TEST_P(ExtractTreeTest, NestedFoldersAreReproducedEmptyFoldersAreNot) {
  std::string big;
  for (int i = 0; i < 200000; ++i) big += "line " + std::to_string(i * 7919 % 100003) + "\n";
  PutFile(src / "top.txt", "top");
  PutFile(src / "a/b/c/deep.txt", "deep");
  PutFile(src / "a/big.txt", big);
  PutFile(src / "a/empty.txt", "");
  fs::create_directories(src / "empty");
  fs::create_directories(src / "a/b/nothing");
  Make7z(src, pkg);

  Extract(out.string(), GetParam());

  EXPECT_EQ(Listing(out), (std::set<std::string>{"a", "a/b", "a/b/c", "a/b/c/deep.txt",
                                                 "a/big.txt", "a/empty.txt", "top.txt"}));
  EXPECT_EQ(ReadFile(out / "top.txt"), "top");
  EXPECT_EQ(ReadFile(out / "a/b/c/deep.txt"), "deep");
  EXPECT_EQ(ReadFile(out / "a/big.txt"), big);
  EXPECT_EQ(ReadFile(out / "a/empty.txt"), "");
}

INSTANTIATE_TEST_SUITE_P(Threads, ExtractTreeTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Library" : "Caller"; });

TEST_F(ExtractTest, TrailingSeparatorOnTheTargetMakesNoDifference) {
  PutFile(src / "d/f.txt", "f");
  PutFile(src / "g.txt", "g");
  Make7z(src, pkg);
  Extract(out.string());
  Extract((root / "out2").string() + "/");
  EXPECT_EQ(Listing(out), (std::set<std::string>{"d", "d/f.txt", "g.txt"}));
  EXPECT_EQ(Listing(root / "out2"), Listing(out));
  // Not the root of the file system.
  EXPECT_EQ(MessageOf([&] { Extract(""); }), "No target directory given");
}

TEST_F(ExtractTest, NamesOutsideTheBasicPlaneAreWrittenAsUtf8) {
  const std::string name = "升级 \xF0\x9F\x98\x80 \xF0\x9D\x84\x9E.txt";  // CJK, U+1F600, U+1D11E
  PutFile(src / name, "x");
  Make7z(src, pkg);
  Extract(out.string());
  EXPECT_EQ(Listing(out), (std::set<std::string>{name}));
}

TEST_F(ExtractTest, PermissionBitsTravelWithTheFiles) {
  PutFile(src / "bin/run.sh", "#!/bin/sh\n");
  PutFile(src / "private.txt", "p");
  PutFile(src / "shared.txt", "s");
  fs::permissions(src / "bin/run.sh", static_cast<fs::perms>(0755));
  fs::permissions(src / "private.txt", static_cast<fs::perms>(0600));
  fs::permissions(src / "shared.txt", static_cast<fs::perms>(0664));
  Make7z(src, pkg);
  Extract(out.string());
  EXPECT_EQ(Permissions(out / "bin/run.sh"), 0755u);
  EXPECT_EQ(Permissions(out / "private.txt"), 0600u);
  EXPECT_EQ(Permissions(out / "shared.txt"), 0664u);
}

TEST_F(ExtractTest, ReadOnlyTargetIsReplacedAndReadOnlyAgain) {
  PutFile(src / "app.exe", "new contents");
  fs::permissions(src / "app.exe", static_cast<fs::perms>(0755));
  Make7z(src, pkg);
  PutFile(out / "app.exe", "old");
  fs::permissions(out / "app.exe", static_cast<fs::perms>(0555));

  Extract(out.string());

  EXPECT_EQ(ReadFile(out / "app.exe"), "new contents");
  EXPECT_EQ(Permissions(out / "app.exe") & 0222, 0u);
  EXPECT_EQ(Permissions(out / "app.exe") & 0111, 0111u);
}

TEST_F(ExtractTest, TargetHeldExclusivelyStopsTheExtractionThere) {
  PutFile(src / "1.txt", "one");
  PutFile(src / "2.txt", "two");
  PutFile(src / "3.txt", "three");
  Make7z(src, pkg);
  PutFile(out / "2.txt", "held");
  fs::permissions(out / "2.txt", static_cast<fs::perms>(0444));
  TFileStream holder((out / "2.txt").string(), fmOpenRead | fmShareExclusive);

  EXPECT_EQ(MessageOf([&] { Extract(out.string()); }), SysErrorMessage(1));

  EXPECT_EQ(ReadFile(out / "1.txt"), "one");
  EXPECT_EQ(ReadFile(out / "2.txt"), "held");
  EXPECT_EQ(Permissions(out / "2.txt") & 0222, 0u) << "the held file keeps its read-only state";
  EXPECT_FALSE(fs::exists(out / "3.txt"));
}

// Damaged data reaches the reader only as a per-item result; the run must still fail.
class DamagedArchiveTest : public ExtractTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(DamagedArchiveTest, RaisesAfterTheLibraryReturns) {
  std::string text;
  for (int i = 0; i < 20000; ++i) text += "entry " + std::to_string(i) + " of the manifest\n";
  PutFile(src / "list.ini", text);
  Make7z(src, pkg, GetParam());
  {
    std::fstream f(pkg, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(32 + 2000);  // inside the packed data, after the signature header
    f.write("\x55\xAA\x55\xAA\x55\xAA\x55\xAA", 8);
  }
  const std::string message = MessageOf([&] { Extract(out.string()); });
  EXPECT_NE(message.find("\"list.ini\" is damaged"), std::string::npos) << message;
}

INSTANTIATE_TEST_SUITE_P(Methods, DamagedArchiveTest, ::testing::Values("-mx0", "-mx5"),
                         [](const auto& info) { return std::string(info.param).substr(1); });

TEST_F(ExtractTest, NonArchiveRaisesTheSystemMessageForCode1) {
  PutFile(pkg, "this is not a 7z archive, just some text");
  TComPtr<I7zReader> reader = NewInArchive(sevenzip::CLSID_Format7z);
  EXPECT_EQ(MessageOf([&] { reader->OpenArchiveFile(pkg); }), SysErrorMessage(1));
  EXPECT_EQ(MessageOf([&] { reader->ExtractAllTo(out.string()); }), "No archive is open");
  EXPECT_FALSE(fs::exists(out));
}

TEST_F(ExtractTest, MissingPackageRaisesTheFileOpenError) {
  TComPtr<I7zReader> reader = NewInArchive(sevenzip::CLSID_Format7z);
  EXPECT_THROW(reader->OpenArchiveFile(tmp / "missing.7z"), EFOpenError);
}

TEST_F(ExtractTest, ItemsClimbingOutOfTheTargetAreRefusedBeforeAnythingIsWritten) {
  // Made from inside work/a/b, the archive stores "inside.txt" and "../../evil.txt". The
  // library hands out files without data first, so the empty one would come first.
  const fs::path cwd = root / "work/a/b";
  PutFile(cwd / "inside.txt", "");
  PutFile(root / "work/evil.txt", "evil");
  ASSERT_EQ(Shell("cd '" + cwd.string() + "' && 7z a -bso0 -bsp0 -spf '" + pkg +
                "' inside.txt ../../evil.txt >/dev/null"),
            0);
  // out/x/../../evil.txt would be tmp/evil.txt.
  const fs::path target = root / "out/x";
  EXPECT_EQ(MessageOf([&] { Extract(target.string()); }),
            "Archive item \"../../evil.txt\" would be written outside " + target.string());
  EXPECT_FALSE(fs::exists(root / "evil.txt"));
  EXPECT_FALSE(fs::exists(target / "inside.txt"));
}

TEST_F(ExtractTest, AbsoluteItemPathsAreRefused) {
  const fs::path victim = root / "abs/victim.txt";
  PutFile(victim, "original");
  ASSERT_EQ(Shell("7z a -bso0 -bsp0 -spf '" + pkg + "' '" + victim.string() + "' >/dev/null"), 0);
  fs::remove(victim);
  const std::string message = MessageOf([&] { Extract(out.string()); });
  EXPECT_EQ(message, "Archive item \"" + victim.string() + "\" would be written outside " +
                         out.string());
  EXPECT_FALSE(fs::exists(victim));
  EXPECT_TRUE(Listing(out).empty());
}

TEST_F(ExtractTest, PackageFileIsClosedWhenTheReaderIsReleased) {
  PutFile(src / "f.txt", "f");
  Make7z(src, pkg);
  TComPtr<I7zReader> reader = NewInArchive(sevenzip::CLSID_Format7z);
  reader->OpenArchiveFile(pkg);
  EXPECT_EQ(OpenDescriptors(pkg), 1);
  reader->ExtractAllTo(out.string());
  reader.Reset();
  EXPECT_EQ(OpenDescriptors(pkg), 0);
}

// Records the threads the library calls back on.
class ThreadRecordingArchive : public T7zInArchive {
 public:
  using T7zInArchive::GetStream;
  using T7zInArchive::SetCompleted;
  using T7zInArchive::T7zInArchive;

  sevenzip::HRESULT GetStream(uint32_t index, sevenzip::ISequentialOutStream** out,
                              int32_t mode) override {
    Record();
    return T7zInArchive::GetStream(index, out, mode);
  }
  sevenzip::HRESULT SetCompleted(const uint64_t* value) override {
    Record();
    return T7zInArchive::SetCompleted(value);
  }
  sevenzip::HRESULT SetOperationResult(int32_t result) override {
    Record();
    return T7zInArchive::SetOperationResult(result);
  }
  bool OnlyOn(std::thread::id id) {
    std::lock_guard<std::mutex> lock(mutex_);
    return threads_ == std::set<std::thread::id>{id};
  }

 private:
  void Record() {
    std::lock_guard<std::mutex> lock(mutex_);
    threads_.insert(std::this_thread::get_id());
  }
  std::mutex mutex_;
  std::set<std::thread::id> threads_;
};

TEST_F(ExtractTest, CallbacksStayOnTheCallersThreadUnlessLibraryThreadsAreAllowed) {
  std::string data;
  for (int i = 0; i < 300000; ++i) data += std::to_string(i * 2654435761u) + "\n";
  PutFile(src / "data.bin", data);
  // A filter before the compressor: two coders, which the library runs on threads of its
  // own when it may.
  Make7z(src, pkg, "-mf=BCJ");
  bool onCaller[2];
  for (bool threads : {true, false}) {
    auto* archive = new ThreadRecordingArchive(k7zLibraryName);
    TComPtr<I7zReader> reader(static_cast<I7zReader*>(archive));
    archive->UseLibraryThreads = threads;
    reader->SetFormatId(sevenzip::CLSID_Format7z);
    reader->OpenArchiveFile(pkg);
    reader->ExtractAllTo((out / (threads ? "t" : "c")).string());
    EXPECT_EQ(ReadFile(out / (threads ? "t" : "c") / "data.bin"), data);
    onCaller[threads] = archive->OnlyOn(std::this_thread::get_id());
  }
  if (onCaller[true]) GTEST_SKIP() << "this library calls back on the caller's thread anyway";
  EXPECT_TRUE(onCaller[false]);
}

// ---------------------------------------------------------------------------------------
// Loading the library.

TEST(LibraryTest, MissingLibraryIsNamedInTheError) {
  EXPECT_EQ(MessageOf([] { T7zInArchive archive("7z-not-installed.so"); }),
            "Error loading library 7z-not-installed.so");
}

TEST(LibraryTest, LibraryWithoutTheFactoryIsNotA7zLibrary) {
  EXPECT_EQ(MessageOf([] { T7zInArchive archive(FAKE_7Z_NONE); }),
            std::string(FAKE_7Z_NONE) + " is not a 7z library");
}

TEST(LibraryTest, LibraryWithoutHandlerPropertiesIsNotAFormatLibrary) {
  EXPECT_EQ(MessageOf([] { T7zInArchive archive(FAKE_7Z_CREATE); }),
            std::string(FAKE_7Z_CREATE) + " is not a Format library");
}

TEST(LibraryTest, FactoryFailureRaisesTheSystemMessageForItsCode) {
  TempDir tmp;
  PutFile(tmp / "pkg.7z", "x");
  TComPtr<I7zReader> fake(new T7zInArchive(FAKE_7Z_FORMAT));
  EXPECT_EQ(MessageOf([&] { fake->OpenArchiveFile(tmp / "pkg.7z"); }),
            SysErrorMessage(0x80040111));
  // The real library knows no format by this id either.
  TComPtr<I7zReader> real = NewInArchive(sevenzip::GUID{1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}});
  EXPECT_EQ(MessageOf([&] { real->OpenArchiveFile(tmp / "pkg.7z"); }),
            SysErrorMessage(0x80040111));
}

}  // namespace
