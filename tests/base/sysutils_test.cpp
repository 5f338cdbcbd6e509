#include "base/sysutils.h"

#include <gtest/gtest.h>
#include <locale.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

TEST(Integers, AcceptDecimalAndDollarHexWithSpacesAndSign) {
  EXPECT_EQ(StrToInt("42"), 42);
  EXPECT_EQ(StrToInt("   -12"), -12);
  EXPECT_EQ(StrToInt("+7"), 7);
  EXPECT_EQ(StrToInt("$1F"), 31);
  EXPECT_EQ(StrToInt("$ff"), 255);
  EXPECT_EQ(StrToInt("-$10"), -16);
  EXPECT_EQ(StrToInt("2147483647"), INT32_MAX);
  EXPECT_EQ(StrToInt("-2147483648"), INT32_MIN);
  EXPECT_EQ(StrToInt("$7FFFFFFF"), INT32_MAX);
  EXPECT_EQ(StrToInt64("9223372036854775807"), INT64_MAX);
  EXPECT_EQ(StrToInt64("-9223372036854775808"), INT64_MIN);
  EXPECT_EQ(StrToInt64("4294967296"), 4294967296LL);
}

TEST(Integers, RejectEverythingElse) {
  int32_t v = 99;
  for (const char* bad : {"", " ", "+", "-", "$", "12 ", "1a", "0x10", "\t5", "1.0", "--1",
                          "$G", "2147483648", "-2147483649", "$80000000", "99999999999"}) {
    EXPECT_FALSE(TryStrToInt(bad, v)) << '"' << bad << '"';
  }
  EXPECT_EQ(v, 99);  // untouched on failure
  int64_t w;
  EXPECT_FALSE(TryStrToInt64("9223372036854775808", w));
  EXPECT_FALSE(TryStrToInt64("-9223372036854775809", w));
  EXPECT_FALSE(TryStrToInt64("18446744073709551616", w));
  EXPECT_EQ(StrToIntDef("abc", -5), -5);
  EXPECT_EQ(StrToInt64Def("", 3), 3);
}

TEST(Integers, ConversionErrorNamesTheText) {
  try {
    StrToInt("12x");
    FAIL();
  } catch (const EConvertError& e) {
    EXPECT_EQ(e.Message(), "'12x' is not a valid integer value");
    EXPECT_STREQ(e.ClassName(), "EConvertError");
  }
  EXPECT_THROW(StrToInt64("$"), EConvertError);
}

TEST(Floats, DecimalNumbersWithSpacesAroundThem) {
  EXPECT_EQ(StrToFloat("20240301"), 20240301.0);
  EXPECT_EQ(StrToFloat(" 20240301 "), 20240301.0);
  EXPECT_EQ(StrToFloat("-2.5E+3"), -2500.0);
  EXPECT_EQ(StrToFloat("+1.25e-2"), 0.0125);
  EXPECT_EQ(StrToFloat("1."), 1.0);
  EXPECT_EQ(StrToFloat(".5"), 0.5);
  EXPECT_EQ(StrToFloat("0"), 0.0);
  EXPECT_EQ(StrToFloat("1e-400"), 0.0);  // underflow is zero, not an error
}

TEST(Floats, RejectAnythingButTheNumber) {
  double v = 7;
  for (const char* bad : {"", " ", "+", "-", ".", "1e", "1e+", "e5", "20240301\n", "\t1",
                          "1 2", "1,5", "0x10", "$10", "inf", "nan", "1e400", "1.2.3", "--1"}) {
    EXPECT_FALSE(TryStrToFloat(bad, v)) << '"' << bad << '"';
  }
  EXPECT_EQ(v, 7);
  EXPECT_EQ(StrToFloatDef("abc", 0), 0);
}

TEST(Floats, ConversionErrorKeepsTheTextAsReceived) {
  try {
    StrToFloat("20240301\n");
    FAIL();
  } catch (const EConvertError& e) {
    EXPECT_EQ(e.Message(), "'20240301\n' is 不是一个有效的浮点值");
  }
}

TEST(Floats, FollowTheDecimalSeparatorVariable) {
  DecimalSeparator = ',';
  double comma = 0, dot = 0;
  const bool commaOk = TryStrToFloat("1,5", comma);
  const bool dotOk = TryStrToFloat("1.5", dot);
  DecimalSeparator = '.';
  EXPECT_TRUE(commaOk);
  EXPECT_EQ(comma, 1.5);
  EXPECT_FALSE(dotOk);
}

TEST(Formatting, PrintfRules) {
  EXPECT_EQ(Format("%3.0f", 45.6), " 46");
  EXPECT_EQ(Format("%6.2f", 12.5), " 12.50");
  EXPECT_EQ(Format("%2.2d %s %4.4d %2.2d:%2.2d:%2.2d", 1, "Mar", 24, 5, 0, 9),
            "01 Mar 0024 05:00:09");
  const std::string big(1000, 'x');
  EXPECT_EQ(Format("<%s>", big.c_str()), "<" + big + ">");
  EXPECT_EQ(Format("%s", ""), "");
  EXPECT_EQ(IntToStr(INT64_MIN), "-9223372036854775808");
  EXPECT_EQ(UIntToStr(UINT64_MAX), "18446744073709551615");
  EXPECT_EQ(IntToHex(255, 4), "00FF");
  EXPECT_EQ(IntToHex(0x12345, 2), "12345");
  EXPECT_EQ(IntToHex(0xDEADBEEFCAFEULL, 16), "0000DEADBEEFCAFE");
  EXPECT_EQ(IntToHex(UINT64_MAX, 20), "0000FFFFFFFFFFFFFFFF");
  EXPECT_EQ(IntToHex(0, 0), "0");
}

// Builds a locale with ',' as decimal separator in a private folder, so the test does
// not depend on which locales the machine has.
bool UseCommaLocale() {
  if (setlocale(LC_ALL, "de_DE.UTF-8") != nullptr) return true;
#ifdef _WIN32
  // The Windows C runtime names its locales its own way and has them all.
  return setlocale(LC_ALL, "German_Germany.1252") != nullptr || setlocale(LC_ALL, "de-DE") != nullptr;
#else
  const std::string dir = std::string(TEST_BINARY_DIR) + "/test-locales";
  const std::string locale = dir + "/de_DE.UTF-8";
  if (!std::filesystem::exists(locale)) {
    // Exit status 1 only means warnings: judge by the result.
    const std::string cmd = "mkdir -p '" + dir + "' && localedef -i de_DE -f UTF-8 '" + locale +
                            "' >/dev/null 2>&1";
    (void)std::system(cmd.c_str());
  }
  // Only now: the C library remembers a locale it failed to find.
  setenv("LOCPATH", dir.c_str(), 1);
  return setlocale(LC_ALL, "de_DE.UTF-8") != nullptr;
#endif
}

TEST(Formatting, IgnoresTheProcessLocale) {
  if (!UseCommaLocale()) GTEST_SKIP() << "no locale with a decimal comma could be made";
  char plain[32];
  std::snprintf(plain, sizeof plain, "%.2f", 12.5);
  const std::string formatted = Format("%6.2f", 12.5);
  double parsed = 0;
  const bool ok = TryStrToFloat("12.5", parsed);
  setlocale(LC_ALL, "C");
  ASSERT_STREQ(plain, "12,50");  // the locale is really in force
  EXPECT_EQ(formatted, " 12.50");
  EXPECT_TRUE(ok);
  EXPECT_EQ(parsed, 12.5);
}

TEST(Text, TrimRemovesBlanksAndControlCharactersOnly) {
  EXPECT_EQ(Trim("\t\r\n W7 \x01"), "W7");
  EXPECT_EQ(Trim(" 升级 "), "升级");  // bytes above 127 are text
  EXPECT_EQ(Trim("\xe5"), "\xe5");
  EXPECT_EQ(Trim(" \t "), "");
  EXPECT_EQ(Trim(""), "");
  EXPECT_EQ(TrimLeft("  a b  "), "a b  ");
  EXPECT_EQ(TrimRight("  a b \n"), "  a b");
  EXPECT_EQ(TrimRight("\x7f"), "\x7f");
}

TEST(Text, CaseRulesAreAsciiOnly) {
  EXPECT_EQ(UpperCase("abc-Z 升级"), "ABC-Z 升级");
  EXPECT_EQ(LowerCase("Content-Length"), "content-length");
  EXPECT_TRUE(SameText("Keep-Alive", "keep-ALIVE"));
  EXPECT_FALSE(SameText("abc", "abcd"));
  EXPECT_LT(CompareText("abc", "ABD"), 0);
  EXPECT_GT(CompareText("b", "A"), 0);
  EXPECT_LT(CompareText("ab", "abc"), 0);
  EXPECT_GT(CompareText("\xe5", "z"), 0);  // high bytes sort after ASCII
  EXPECT_TRUE(StartsText("http://", "HTTP://host/"));
  EXPECT_FALSE(StartsText("http://", "http:/"));
}

TEST(Text, ReplaceAllScansLeftToRight) {
  EXPECT_EQ(StringReplaceAll("升级\\bin\\a.dll", "\\", "/"), "升级/bin/a.dll");
  EXPECT_EQ(StringReplaceAll("aaa", "aa", "b"), "ba");
  EXPECT_EQ(StringReplaceAll("abc", "", "x"), "abc");
  EXPECT_EQ(StringReplaceAll("abab", "ab", "abab"), "abababab");
  EXPECT_EQ(StringReplaceAll("Abc", "a", "x"), "Abc");
}

TEST(FileNames, SplitAtTheLastSeparator) {
  EXPECT_EQ(ExtractFilePath("/opt/app/updater"), "/opt/app/");
  EXPECT_EQ(ExtractFileDir("/opt/app/updater"), "/opt/app");
  EXPECT_EQ(ExtractFileName("/opt/app/updater"), "updater");
  EXPECT_EQ(ExtractFileDir("/updater"), "/");
  EXPECT_EQ(ExtractFilePath("updater"), "");
  EXPECT_EQ(ExtractFileDir("updater"), "");
  EXPECT_EQ(ExtractFileName("dir/"), "");
  EXPECT_EQ(ExtractFileExt("/a/b.tar.gz"), ".gz");
  EXPECT_EQ(ExtractFileExt("/a.b/c"), "");
  EXPECT_EQ(ExtractFileExt("noext"), "");
  EXPECT_EQ(ChangeFileExt("/a.b/c", ".ini"), "/a.b/c.ini");
  EXPECT_EQ(ChangeFileExt("/a/list.ini", ".bak"), "/a/list.bak");
  EXPECT_EQ(ChangeFileExt("/a/list.ini", ""), "/a/list");
}

TEST(FileNames, TrailingSeparatorAndNativeForm) {
  const std::string d(1, PathDelim);
  EXPECT_EQ(IncludeTrailingPathDelimiter("/opt/app"), "/opt/app" + d);
  EXPECT_EQ(IncludeTrailingPathDelimiter("/opt/app/"), "/opt/app/");
  EXPECT_EQ(IncludeTrailingPathDelimiter(""), d);
  EXPECT_EQ(ExcludeTrailingPathDelimiter("/opt/app/"), "/opt/app");
  EXPECT_EQ(ExcludeTrailingPathDelimiter("/opt/app"), "/opt/app");
  EXPECT_EQ(ExcludeTrailingPathDelimiter("/"), "/");
  EXPECT_EQ(NativePath("升级\\更新记录.ini"), "升级" + d + "更新记录.ini");
  EXPECT_EQ(NativePath("bin\\sub/x.dll"), "bin" + d + "sub" + d + "x.dll");
}

#ifdef _WIN32
TEST(FileNames, BothSeparatorsCountOnWindows) {
  EXPECT_EQ(ExtractFilePath("C:\\Program Files/app\\updater.exe"), "C:\\Program Files/app\\");
  EXPECT_EQ(ExtractFileName("C:\\app/updater.exe"), "updater.exe");
  EXPECT_EQ(ExtractFileExt("C:\\a.b\\c"), "");
  EXPECT_EQ(ExcludeTrailingPathDelimiter("C:\\app\\"), "C:\\app");
}
#endif

TEST(DateTime, DaysCountFromTheEndOf1899) {
  EXPECT_EQ(EncodeDate(1899, 12, 30), 0.0);
  EXPECT_EQ(EncodeDate(1900, 1, 1), 2.0);
  EXPECT_EQ(EncodeDate(1970, 1, 1), 25569.0);
  EXPECT_EQ(EncodeDate(2024, 3, 1), 45352.0);
  EXPECT_EQ(EncodeDate(1, 1, 1), -693593.0);
  EXPECT_EQ(DayOfWeek(0), 7);                         // Saturday
  EXPECT_EQ(DayOfWeek(EncodeDate(2024, 3, 1)), 6);    // Friday
  EXPECT_EQ(DayOfWeek(EncodeDate(2024, 3, 3)), 1);    // Sunday
  EXPECT_EQ(DayOfWeek(-1), 6);
}

TEST(DateTime, EveryDayRoundTrips) {
  // Four centuries cover every leap-year rule.
  double previous = EncodeDate(1799, 12, 31);
  for (int y = 1800; y < 2200; ++y) {
    for (int m = 1; m <= 12; ++m) {
      for (int d = 1; d <= 31; ++d) {
        double dt;
        try {
          dt = EncodeDate(y, m, d);
        } catch (const EConvertError&) {
          continue;
        }
        ASSERT_EQ(dt, previous + 1) << y << '-' << m << '-' << d;
        previous = dt;
        int yy, mm, dd;
        // Before 1899-12-30 the time of day is subtracted (day -1 at 6:00 is -1.25).
        DecodeDate(dt >= 0 ? dt + 0.75 : dt - 0.75, yy, mm, dd);
        ASSERT_EQ(yy * 10000 + mm * 100 + dd, y * 10000 + m * 100 + d);
      }
    }
  }
}

TEST(DateTime, InvalidPartsAreRejected) {
  EXPECT_NO_THROW(EncodeDate(2024, 2, 29));
  EXPECT_NO_THROW(EncodeDate(2000, 2, 29));
  EXPECT_THROW(EncodeDate(2023, 2, 29), EConvertError);
  EXPECT_THROW(EncodeDate(1900, 2, 29), EConvertError);
  EXPECT_THROW(EncodeDate(2024, 4, 31), EConvertError);
  EXPECT_THROW(EncodeDate(2024, 13, 1), EConvertError);
  EXPECT_THROW(EncodeDate(2024, 0, 1), EConvertError);
  EXPECT_THROW(EncodeDate(2024, 1, 0), EConvertError);
  EXPECT_THROW(EncodeDate(0, 1, 1), EConvertError);
  EXPECT_THROW(EncodeTime(24, 0, 0, 0), EConvertError);
  EXPECT_THROW(EncodeTime(0, 60, 0, 0), EConvertError);
  EXPECT_THROW(EncodeTime(0, 0, 0, 1000), EConvertError);
  int y, m, d;
  EXPECT_THROW(DecodeDate(NAN, y, m, d), EConvertError);
  EXPECT_THROW(DecodeDate(INFINITY, y, m, d), EConvertError);
}

TEST(DateTime, TimeOfDayIsRoundedToTheMillisecond) {
  int h, n, s, z;
  DecodeTime(65.0 / 86400.0, h, n, s, z);  // not exact in binary
  EXPECT_EQ(h * 10000000 + n * 100000 + s * 1000 + z, 105000);
  DecodeTime(EncodeTime(23, 59, 59, 999) + 45000, h, n, s, z);
  EXPECT_EQ(h * 10000000 + n * 100000 + s * 1000 + z, 235959999);
  // Negative values: the time counts forward from that day's midnight.
  int y, m, d;
  DecodeDate(-1.25, y, m, d);
  DecodeTime(-1.25, h, n, s, z);
  EXPECT_EQ(y * 10000 + m * 100 + d, 18991229);
  EXPECT_EQ(h, 6);
}

TEST(DateTime, FormatPatterns) {
  const TDateTime dt = EncodeDate(2024, 3, 1) + EncodeTime(7, 5, 9, 42);
  EXPECT_EQ(FormatDateTime("yyyymmdd", dt), "20240301");
  EXPECT_EQ(FormatDateTime("hh:nn:ss", 65.0 / 86400.0), "00:01:05");
  EXPECT_EQ(FormatDateTime("hh:mm", dt), "07:05");  // m after h is minutes
  EXPECT_EQ(FormatDateTime("h:m d/m/yy", dt), "7:5 1/3/24");
  EXPECT_EQ(FormatDateTime("yyyy-mm-dd hh:nn:ss.zzz", dt), "2024-03-01 07:05:09.042");
  EXPECT_EQ(FormatDateTime("s z", dt), "9 42");
  EXPECT_EQ(FormatDateTime("'mm' \"dd\" mm", dt), "mm dd 03");
  EXPECT_EQ(FormatDateTime("'unclosed mm", dt), "unclosed mm");
  EXPECT_EQ(FormatDateTime("ddd dddd mmm mmmm", dt), "Fri Friday Mar March");
  EXPECT_EQ(FormatDateTime("yyyy-mm-ddThh:nn", dt), "2024-03-01T07:05");
  EXPECT_EQ(FormatDateTime("", dt), "");
  // An elapsed time over a day shows the hour of the day.
  EXPECT_EQ(FormatDateTime("hh:nn:ss", 1 + 3600.0 / 86400.0), "01:00:00");
}

TEST(Exceptions, AssertRaisesWithItsMessage) {
  try {
    Assert(false, "broken");
    FAIL();
  } catch (const Exception& e) {
    EXPECT_STREQ(e.ClassName(), "EAssertionFailed");
    EXPECT_EQ(e.Message(), "broken");
  }
  EXPECT_NO_THROW(Assert(true, "fine"));
}

}  // namespace

TEST(Floats, EdgesOfTheRange) {
  double v = 0;
  EXPECT_EQ(StrToFloat("1e308"), 1e308);
  EXPECT_FALSE(TryStrToFloat("1e309", v));
  EXPECT_FALSE(TryStrToFloat("-123456789e301", v));
  EXPECT_EQ(StrToFloat("0.000001e-320"), 0.0);
  EXPECT_EQ(StrToFloat("1e-99999999999999999999999"), 0.0);
  EXPECT_FALSE(TryStrToFloat("1e99999999999999999999999", v));
  EXPECT_EQ(StrToFloat("4.9e-324"), 4.9e-324);  // the smallest subnormal survives
  EXPECT_TRUE(std::signbit(StrToFloat("-1e-400")));
  EXPECT_EQ(StrToFloat("0.1"), 0.1);  // correctly rounded
}

TEST(Formatting, EveryConversionKind) {
  EXPECT_EQ(Format("%5s|%-4d|%+i|%05u|%x|%#X|%o|%c|%%", "ab", 7, 3, 42u, 255u, 255u, 8u, 'Z'),
            "   ab|7   |+3|00042|ff|0XFF|10|Z|%");
  EXPECT_EQ(Format("%lld %llu %ld %zu", -9000000000LL, 18000000000ULL, -5L, size_t{12}),
            "-9000000000 18000000000 -5 12");
  EXPECT_EQ(Format("%*d|%.*f|%-*s|", 4, 1, 2, 3.14159, 3, "x"), "   1|3.14|x  |");
  EXPECT_EQ(Format("%e %g %.3G", 1500.0, 0.0001, 123456.0), "1.500000e+03 0.0001 1.23E+05");
  // Formats a checker would refuse, as they may come from data.
  const char* grouped = "%'d";
  const char* writes = "%n";
  const char* cut = "50%";
  EXPECT_EQ(Format(grouped, 1234567), "1234567");  // no grouping, as in the "C" locale
  EXPECT_THROW(Format(writes, 0), EConvertError);
  EXPECT_THROW(Format(cut, 0), EConvertError);
}
