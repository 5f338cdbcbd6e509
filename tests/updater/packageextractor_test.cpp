#include "updater/packageextractor.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "base/sysutils.h"
#include "platform/messages.h"
#include "tests/http/pump.h"
#include "tests/updater/archive/archive_test_util.h"

using namespace archive_test;

namespace {

// Text that LZMA cannot make much of quickly: the extraction takes a while.
std::string Noise(size_t size) {
  std::string data(size, 'a');
  uint64_t x = 0x9E3779B97F4A7C15ull;
  for (char& c : data) {
    x ^= x << 13, x ^= x >> 7, x ^= x << 17;
    c = static_cast<char>('a' + x % 26);
  }
  return data;
}

struct Outcome {
  std::vector<std::pair<int64_t, int64_t>> progress;
  std::vector<platform::DWORD> threads;
  int done = 0;
  std::exception_ptr error;
};

void Watch(TPackageExtractor& x, Outcome& o) {
  x.OnProgress = [&o](TObject*, int64_t done, int64_t total) {
    o.progress.emplace_back(done, total);
    o.threads.push_back(platform::GetCurrentThreadId());
  };
  x.OnDone = [&o](TObject*, std::exception_ptr error) {
    ++o.done;
    o.error = error;
    o.threads.push_back(platform::GetCurrentThreadId());
  };
}

std::string MessageOf(std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (const Exception& e) {
    return e.Message();
  }
}

TEST(PackageExtractorTest, UnpacksOnAWorkerAndReportsProgressAndTheEndOnTheOwnersLoop) {
  TempDir tmp;
  const fs::path root(tmp.path());
  const std::string data = Noise(3 << 20);
  PutFile(root / "src/list.ini", "[file]\n");
  PutFile(root / "src/data/big.dat", data);
  Make7z(root / "src", root / "pkg.7z", "-mx=1");

  TPackageExtractor x(nullptr);
  Outcome o;
  Watch(x, o);
  x.Start(tmp / "pkg.7z", tmp / "升级");
  // Start only starts: the end is an event of the loop, never of the call.
  EXPECT_TRUE(x.Running());
  EXPECT_EQ(o.done, 0);
  EXPECT_THROW(x.Start(tmp / "pkg.7z", tmp / "升级"), EInvalidOperation);
  ASSERT_TRUE(testsupport::PumpUntil([&] { return o.done > 0; }));
  testsupport::PumpFor(50);

  EXPECT_EQ(o.done, 1);
  EXPECT_FALSE(o.error);
  EXPECT_FALSE(x.Running());
  EXPECT_TRUE(ReadFile(root / "升级/data/big.dat") == data);
  EXPECT_EQ(OpenDescriptors(root / "pkg.7z"), 0);
  ASSERT_FALSE(o.progress.empty());
  for (size_t i = 1; i < o.progress.size(); ++i) EXPECT_GE(o.progress[i].first, o.progress[i - 1].first);
  EXPECT_EQ(o.progress.back().second, static_cast<int64_t>(data.size() + 7));
  for (platform::DWORD id : o.threads) EXPECT_EQ(id, platform::GetCurrentThreadId());

  // The same component unpacks again once the first has ended.
  x.Start(tmp / "pkg.7z", tmp / "again");
  ASSERT_TRUE(testsupport::PumpUntil([&] { return o.done > 1; }));
  EXPECT_FALSE(o.error);
  EXPECT_TRUE(fs::exists(root / "again/list.ini"));
}

TEST(PackageExtractorTest, TheErrorIsWhatExtractPackageRaises) {
  TempDir tmp;
  const fs::path root(tmp.path());
  PutFile(root / "pkg.7z", "not an archive");
  TPackageExtractor x(nullptr);
  Outcome o;
  Watch(x, o);
  x.Start(tmp / "pkg.7z", tmp / "升级");
  ASSERT_TRUE(testsupport::PumpUntil([&] { return o.done > 0; }));
  ASSERT_TRUE(o.error);
  EXPECT_EQ(MessageOf(o.error), SysErrorMessage(1));
  EXPECT_FALSE(fs::exists(root / "升级"));
}

TEST(PackageExtractorTest, CancelledOrDestroyedMidWayItStopsAndLeavesNothingOpen) {
  TempDir tmp;
  const fs::path root(tmp.path());
  PutFile(root / "src/big.dat", Noise(16 << 20));
  Make7z(root / "src", root / "pkg.7z", "-mx=1 -mmt=1");

  {
    TPackageExtractor x(nullptr);
    Outcome o;
    Watch(x, o);
    x.OnProgress = [&](TObject*, int64_t, int64_t) { x.Cancel(); };
    x.Start(tmp / "pkg.7z", tmp / "cancelled");
    ASSERT_TRUE(testsupport::PumpUntil([&] { return o.done > 0; }));
    ASSERT_TRUE(o.error) << "16 MiB unpacked before the first progress report was seen";
    EXPECT_EQ(MessageOf(o.error), SysErrorMessage(0x80004004u));
    // Stopped before the file was begun, or part-way through it.
    if (fs::exists(root / "cancelled/big.dat")) {
      EXPECT_LT(fs::file_size(root / "cancelled/big.dat"), 16u << 20);
    }
  }
  EXPECT_EQ(OpenDescriptors(root / "pkg.7z"), 0);

  // Going away at once waits for the worker and fires nothing.
  Outcome o;
  {
    auto x = std::make_unique<TPackageExtractor>(nullptr);
    Watch(*x, o);
    x->Start(tmp / "pkg.7z", tmp / "destroyed");
  }
  testsupport::PumpFor(50);
  EXPECT_EQ(o.done, 0);
  EXPECT_TRUE(o.progress.empty());
  EXPECT_EQ(OpenDescriptors(root / "pkg.7z"), 0);
}

}  // namespace
