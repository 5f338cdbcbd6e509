#include "updater/archive/itempath.h"

#include <gtest/gtest.h>

namespace {

std::string Convert(std::initializer_list<wchar_t> units) {
  return WideToUtf8(units.begin(), units.size());
}

TEST(WideToUtf8Test, CombinesSurrogatePairsTheLibrarySplits) {
  EXPECT_EQ(Convert({L'a', 0xD83D, 0xDE00, L'b'}), "a\xF0\x9F\x98\x80" "b");  // U+1F600
  EXPECT_EQ(Convert({0xDBFF, 0xDFFF}), "\xF4\x8F\xBF\xBF");                  // U+10FFFF
  EXPECT_EQ(Convert({0x5347, 0x7EA7}), "升级");
  EXPECT_EQ(Convert({0x7F, 0x80, 0x7FF, 0x800, 0xFFFF}),
            "\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF");
}

TEST(WideToUtf8Test, LoneSurrogatesBecomeReplacementCharacters) {
  const std::string r = "\xEF\xBF\xBD";
  EXPECT_EQ(Convert({0xD83D, L'x'}), r + "x");
  EXPECT_EQ(Convert({L'x', 0xDE00}), "x" + r);
  EXPECT_EQ(Convert({0xDE00, 0xD83D}), r + r);  // reversed pair
  EXPECT_EQ(Convert({0xD83D}), r);              // pair cut at the end
  EXPECT_EQ(Convert({static_cast<wchar_t>(0x110000)}), r);
}

TEST(WideToUtf8Test, StopsAtTheTerminator) {
  EXPECT_EQ(WideToUtf8(L"dir/f.txt"), "dir/f.txt");
  EXPECT_EQ(WideToUtf8(static_cast<const wchar_t*>(nullptr)), "");
}

TEST(IsSafeItemPathTest, AcceptsPathsBelowTheTarget) {
  for (const char* p : {"a.txt", "dir/sub/a.txt", "..a", "a..", "a/..b/c", "./a", "a\\b", "..."})
    EXPECT_TRUE(IsSafeItemPath(p)) << p;
}

TEST(IsSafeItemPathTest, RefusesEmptyAbsoluteAndClimbingPaths) {
  for (const char* p : {"", "/etc/passwd", "\\x", "..", "../x", "a/../../x", "a/..", "a\\..\\..\\x",
                        "C:/x", "c:x"})
    EXPECT_FALSE(IsSafeItemPath(p)) << p;
}

}  // namespace
