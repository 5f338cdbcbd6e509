// Helpers that ask the system: the clock and the executable's folder.
#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <string>

#include "base/sysutils.h"

namespace {

std::string LibcToday() {
  const std::time_t t = std::time(nullptr);
  std::tm tm{};
#ifdef _WIN32
  localtime_s(&tm, &t);
#else
  localtime_r(&t, &tm);
#endif
  char buf[16];
  std::strftime(buf, sizeof buf, "%Y%m%d", &tm);
  return buf;
}

TEST(Runtime, NowIsTheLocalDateAndTime) {
  // Retried once in case the day changes between the two readings.
  std::string expected, actual;
  for (int attempt = 0; attempt < 2; ++attempt) {
    expected = LibcToday();
    actual = FormatDateTime("yyyymmdd", Now());
    if (actual == expected && LibcToday() == expected) break;
  }
  EXPECT_EQ(actual, expected);
  const TDateTime now = Now();
  const TDateTime today = Date();
  EXPECT_LE(today, now);
  EXPECT_LT(now - today, 1.0);
  EXPECT_EQ(today, static_cast<double>(static_cast<int64_t>(today)));
}

TEST(Runtime, AppDirIsTheExecutablesFolder) {
  const std::string dir = AppDir();
  ASSERT_FALSE(dir.empty());
  EXPECT_EQ(dir.back(), PathDelim);
#ifdef _WIN32
  const auto self = std::filesystem::canonical(std::filesystem::path(TEST_BINARY_DIR) / "tests/base/base_tests.exe");
#else
  const auto self = std::filesystem::canonical("/proc/self/exe");
#endif
  EXPECT_EQ(std::filesystem::canonical(dir), self.parent_path());
}

}  // namespace
