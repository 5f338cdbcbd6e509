#include "base/sysutils.h"

#include <charconv>
#include <clocale>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "platform/files.h"
#include "platform/process.h"

char DecimalSeparator = '.';
const char PathDelim = platform::PathDelim;

namespace {

// Formats one conversion of a printf format with the C library, then undoes what the
// process locale changed: the decimal point of a floating conversion. Grouping flags are
// dropped before, so that the result is what the "C" locale prints.
template <typename T>
std::string FormatOne(const std::string& conversion, T value, bool floating) {
  char small[128];
  int n = std::snprintf(small, sizeof small, conversion.c_str(), value);
  if (n < 0) throw EConvertError("Format '" + conversion + "' invalid or incompatible with argument");
  std::string out;
  if (static_cast<size_t>(n) < sizeof small) {
    out.assign(small, static_cast<size_t>(n));
  } else {
    out.resize(static_cast<size_t>(n));
    std::snprintf(out.data(), out.size() + 1, conversion.c_str(), value);
  }
  if (floating) {
    const char* point = std::localeconv()->decimal_point;
    if (point && point[0] && std::strcmp(point, ".") != 0) {
      size_t at = out.find(point);
      if (at != std::string::npos) out.replace(at, std::strlen(point), ".");
    }
  }
  return out;
}

bool IsBlankOrControl(char c) { return static_cast<unsigned char>(c) <= ' '; }

char ToUpperAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; }
char ToLowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Leading spaces, optional sign, decimal digits or '$' and hex digits, nothing after.
// The signed result must lie within [min, max].
bool ParseInteger(const std::string& s, int64_t min, int64_t max, int64_t& value) {
  size_t i = 0;
  const size_t n = s.size();
  while (i < n && s[i] == ' ') ++i;
  bool negative = false;
  if (i < n && (s[i] == '+' || s[i] == '-')) {
    negative = s[i] == '-';
    ++i;
  }
  int base = 10;
  if (i < n && s[i] == '$') {
    base = 16;
    ++i;
  }
  if (i == n) return false;
  // Magnitude limit for the sign: |min| may exceed max by one.
  const uint64_t limit =
      negative ? static_cast<uint64_t>(-(min + 1)) + 1 : static_cast<uint64_t>(max);
  uint64_t magnitude = 0;
  for (; i < n; ++i) {
    int digit = HexDigitValue(s[i]);
    if (digit < 0 || digit >= base) return false;
    if (magnitude > (limit - digit) / base) return false;
    magnitude = magnitude * base + digit;
  }
  value = negative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);
  return true;
}

// Days since 1899-12-30 of a proleptic Gregorian date, and back (civil-from-days
// arithmetic on 400-year eras, valid for any year).
int64_t DaysFromCivil(int64_t y, int m, int d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468 + 25569;  // 25569: 1899-12-30 to 1970-01-01
}

void CivilFromDays(int64_t days, int& year, int& month, int& day) {
  const int64_t z = days - 25569 + 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  year = static_cast<int>(yoe + era * 400 + (month <= 2));
}

bool IsLeapYear(int year) { return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0); }

int DaysInMonth(int year, int month) {
  static const int days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeapYear(year) ? 29 : days[month - 1];
}

// Splits a date-time value into whole days and milliseconds of the day. The value is
// rounded to the millisecond first, so 65 seconds stored as a fraction of a day reads
// back as 65 seconds. For negative values the time of day counts forward from midnight
// (-1.25 is 1899-12-29 06:00).
void SplitDateTime(TDateTime dt, int64_t& days, int64_t& msOfDay) {
  const double ms = std::round(dt * MSecsPerDay);
  // About 27 million years either way: beyond every date anyone will format.
  if (!std::isfinite(ms) || std::fabs(ms) > 1e18) {
    throw EConvertError("Invalid argument to date decode");
  }
  const auto total = static_cast<int64_t>(ms);
  days = total / static_cast<int64_t>(MSecsPerDay);
  msOfDay = std::llabs(total % static_cast<int64_t>(MSecsPerDay));
}

const char* const kShortMonthNames[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
const char* const kLongMonthNames[12] = {"January", "February", "March",     "April",
                                         "May",     "June",     "July",      "August",
                                         "September", "October", "November", "December"};
const char* const kShortDayNames[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const kLongDayNames[7] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                      "Thursday", "Friday", "Saturday"};

void AppendNumber(std::string& out, int value, int digits) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%0*d", digits, value);
  out += buf;
}

}  // namespace

void Assert(bool condition, const std::string& message) {
  if (!condition) throw EAssertionFailed(message);
}

// ---------------------------------------------------------------------------------------
// Formatting.

std::string Format(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  std::string result;
  try {
    result = FormatV(fmt, args);
  } catch (...) {
    va_end(args);
    throw;
  }
  va_end(args);
  return result;
}

std::string FormatV(const char* fmt, va_list args) {
  const auto invalid = [fmt] {
    return EConvertError(std::string("Format '") + fmt + "' invalid or incompatible with argument");
  };
  va_list ap;
  va_copy(ap, args);
  struct End {
    va_list& ap;
    ~End() { va_end(ap); }
  } end{ap};
  std::string result;
  for (const char* p = fmt; *p;) {
    if (*p != '%') {
      const char* next = std::strchr(p, '%');
      if (!next) next = p + std::strlen(p);
      result.append(p, next);
      p = next;
      continue;
    }
    std::string conversion = "%";
    ++p;
    while (*p && std::strchr("-+ #0'", *p)) {
      if (*p != '\'') conversion += *p;
      ++p;
    }
    const auto number = [&] {
      if (*p == '*') {
        ++p;
        conversion += std::to_string(va_arg(ap, int));
      } else {
        while (*p >= '0' && *p <= '9') conversion += *p++;
      }
    };
    number();
    if (*p == '.') {
      conversion += *p++;
      number();
    }
    std::string length;
    while (*p && std::strchr("hlLjzt", *p)) length += *p++;
    const char conv = *p;
    if (!conv) throw invalid();
    ++p;
    conversion += length;
    conversion += conv;
    switch (conv) {
      case '%':
        result += '%';
        break;
      case 'd':
      case 'i':
        if (length == "l") {
          result += FormatOne(conversion, va_arg(ap, long), false);
        } else if (length == "ll") {
          result += FormatOne(conversion, va_arg(ap, long long), false);
        } else if (length == "j") {
          result += FormatOne(conversion, va_arg(ap, intmax_t), false);
        } else if (length == "z" || length == "t") {
          result += FormatOne(conversion, va_arg(ap, ptrdiff_t), false);
        } else if (length.empty() || length == "h" || length == "hh") {
          result += FormatOne(conversion, va_arg(ap, int), false);
        } else {
          throw invalid();
        }
        break;
      case 'u':
      case 'o':
      case 'x':
      case 'X':
        if (length == "l") {
          result += FormatOne(conversion, va_arg(ap, unsigned long), false);
        } else if (length == "ll") {
          result += FormatOne(conversion, va_arg(ap, unsigned long long), false);
        } else if (length == "j") {
          result += FormatOne(conversion, va_arg(ap, uintmax_t), false);
        } else if (length == "z" || length == "t") {
          result += FormatOne(conversion, va_arg(ap, size_t), false);
        } else if (length.empty() || length == "h" || length == "hh") {
          result += FormatOne(conversion, va_arg(ap, unsigned), false);
        } else {
          throw invalid();
        }
        break;
      case 'c':
        if (!length.empty()) throw invalid();
        result += FormatOne(conversion, va_arg(ap, int), false);
        break;
      case 's':
        if (!length.empty()) throw invalid();
        result += FormatOne(conversion, va_arg(ap, const char*), false);
        break;
      case 'p':
        result += FormatOne(conversion, va_arg(ap, void*), false);
        break;
      case 'f':
      case 'F':
      case 'e':
      case 'E':
      case 'g':
      case 'G':
      case 'a':
      case 'A':
        if (length == "L") {
          result += FormatOne(conversion, va_arg(ap, long double), true);
        } else if (length.empty() || length == "l") {
          result += FormatOne(conversion, va_arg(ap, double), true);
        } else {
          throw invalid();
        }
        break;
      default:  // %n among them: a format never writes into its arguments
        throw invalid();
    }
  }
  return result;
}

std::string IntToStr(int64_t value) { return std::to_string(value); }

std::string UIntToStr(uint64_t value) { return std::to_string(value); }

std::string IntToHex(uint64_t value, int digits) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "%llX", static_cast<unsigned long long>(value));
  std::string hex = buf;
  if (digits > static_cast<int>(hex.size())) {
    hex.insert(0, static_cast<size_t>(digits) - hex.size(), '0');
  }
  return hex;
}

// ---------------------------------------------------------------------------------------
// Number conversion.

bool TryStrToInt(const std::string& s, int32_t& value) {
  int64_t v;
  if (!ParseInteger(s, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max(),
                    v)) {
    return false;
  }
  value = static_cast<int32_t>(v);
  return true;
}

bool TryStrToInt64(const std::string& s, int64_t& value) {
  return ParseInteger(s, std::numeric_limits<int64_t>::min(), std::numeric_limits<int64_t>::max(),
                      value);
}

int32_t StrToInt(const std::string& s) {
  int32_t v;
  if (!TryStrToInt(s, v)) throw EConvertError("'" + s + "' is not a valid integer value");
  return v;
}

int64_t StrToInt64(const std::string& s) {
  int64_t v;
  if (!TryStrToInt64(s, v)) throw EConvertError("'" + s + "' is not a valid integer value");
  return v;
}

int32_t StrToIntDef(const std::string& s, int32_t def) {
  int32_t v;
  return TryStrToInt(s, v) ? v : def;
}

int64_t StrToInt64Def(const std::string& s, int64_t def) {
  int64_t v;
  return TryStrToInt64(s, v) ? v : def;
}

bool TryStrToFloat(const std::string& s, double& value) {
  const size_t n = s.size();
  size_t i = 0;
  while (i < n && s[i] == ' ') ++i;
  const size_t start = i;
  if (i < n && (s[i] == '+' || s[i] == '-')) ++i;
  size_t digits = 0;
  for (; i < n && s[i] >= '0' && s[i] <= '9'; ++i) ++digits;
  if (i < n && s[i] == DecimalSeparator) {
    ++i;
    for (; i < n && s[i] >= '0' && s[i] <= '9'; ++i) ++digits;
  }
  if (digits == 0) return false;
  if (i < n && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    if (i < n && (s[i] == '+' || s[i] == '-')) ++i;
    size_t expDigits = 0;
    for (; i < n && s[i] >= '0' && s[i] <= '9'; ++i) ++expDigits;
    if (expDigits == 0) return false;
  }
  const size_t end = i;
  while (i < n && s[i] == ' ') ++i;
  if (i != n) return false;

  // The grammar is checked; the conversion itself never looks at the process locale.
  std::string text = s.substr(start, end - start);
  if (DecimalSeparator != '.') {
    for (char& c : text) {
      if (c == DecimalSeparator) c = '.';
    }
  }
  const char* first = text.c_str();
  const char* last = first + text.size();
  const bool negative = *first == '-';
  if (*first == '+' || *first == '-') ++first;
  double v = 0;
  const auto [ptr, ec] = std::from_chars(first, last, v, std::chars_format::general);
  if (ptr != last) return false;
  if (ec == std::errc::result_out_of_range) {
    // Out of range is either side: a tiny magnitude is zero, as the C library gives it;
    // a huge one is an overflow. Which one follows from where the first nonzero digit
    // stands against the exponent.
    int64_t position = 0;  // decimal exponent of the first significant digit, roughly
    bool seenPoint = false, seenDigit = false;
    const char* q = first;
    for (; q < last && *q != 'e' && *q != 'E'; ++q) {
      if (*q == '.') {
        seenPoint = true;
      } else if (!seenDigit && *q == '0') {
        if (seenPoint) --position;
      } else {
        if (!seenDigit && seenPoint) --position;
        seenDigit = true;
        if (!seenPoint) ++position;
      }
    }
    int64_t exponent = 0;
    if (q < last) {
      const char* digits = q + 1 + (q[1] == '+');
      if (std::from_chars(digits, last, exponent).ec != std::errc()) {
        exponent = *digits == '-' ? -(int64_t{1} << 62) : (int64_t{1} << 62);
      }
    }
    if (position + exponent > 0) return false;  // overflow
    v = 0;
  } else if (ec != std::errc()) {
    return false;
  }
  if (!std::isfinite(v)) return false;
  value = negative ? -v : v;
  return true;
}

double StrToFloat(const std::string& s) {
  double v;
  if (!TryStrToFloat(s, v)) throw EConvertError("'" + s + "' is 不是一个有效的浮点值");
  return v;
}

double StrToFloatDef(const std::string& s, double def) {
  double v;
  return TryStrToFloat(s, v) ? v : def;
}

// ---------------------------------------------------------------------------------------
// Text.

std::string Trim(const std::string& s) {
  size_t first = 0;
  size_t last = s.size();
  while (first < last && IsBlankOrControl(s[first])) ++first;
  while (last > first && IsBlankOrControl(s[last - 1])) --last;
  return s.substr(first, last - first);
}

std::string TrimLeft(const std::string& s) {
  size_t first = 0;
  while (first < s.size() && IsBlankOrControl(s[first])) ++first;
  return s.substr(first);
}

std::string TrimRight(const std::string& s) {
  size_t last = s.size();
  while (last > 0 && IsBlankOrControl(s[last - 1])) --last;
  return s.substr(0, last);
}

std::string UpperCase(const std::string& s) {
  std::string r = s;
  for (char& c : r) c = ToUpperAscii(c);
  return r;
}

std::string LowerCase(const std::string& s) {
  std::string r = s;
  for (char& c : r) c = ToLowerAscii(c);
  return r;
}

bool SameText(const std::string& a, const std::string& b) { return CompareText(a, b) == 0; }

int CompareText(const std::string& a, const std::string& b) {
  const size_t n = a.size() < b.size() ? a.size() : b.size();
  for (size_t i = 0; i < n; ++i) {
    const int ca = static_cast<unsigned char>(ToUpperAscii(a[i]));
    const int cb = static_cast<unsigned char>(ToUpperAscii(b[i]));
    if (ca != cb) return ca - cb;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

bool StartsText(const std::string& prefix, const std::string& s) {
  return s.size() >= prefix.size() && SameText(s.substr(0, prefix.size()), prefix);
}

std::string StringReplaceAll(const std::string& s, const std::string& from, const std::string& to) {
  if (from.empty()) return s;
  std::string result;
  size_t pos = 0;
  for (;;) {
    const size_t hit = s.find(from, pos);
    if (hit == std::string::npos) break;
    result.append(s, pos, hit - pos);
    result += to;
    pos = hit + from.size();
  }
  result.append(s, pos, std::string::npos);
  return result;
}

// ---------------------------------------------------------------------------------------
// File names.

namespace {

// Windows takes '/' as a separator too.
#ifdef _WIN32
constexpr const char* kPathDelims = "\\/";
#else
constexpr const char* kPathDelims = "/";
#endif

bool IsPathDelim(char c) { return c != '\0' && std::strchr(kPathDelims, c) != nullptr; }

size_t LastPathDelim(const std::string& path) { return path.find_last_of(kPathDelims); }

}  // namespace

std::string IncludeTrailingPathDelimiter(const std::string& path) {
  if (!path.empty() && IsPathDelim(path.back())) return path;
  return path + PathDelim;
}

std::string ExcludeTrailingPathDelimiter(const std::string& path) {
  // The root stays the root.
  if (path.size() > 1 && IsPathDelim(path.back())) return path.substr(0, path.size() - 1);
  return path;
}

std::string ExtractFilePath(const std::string& path) {
  const size_t i = LastPathDelim(path);
  return i == std::string::npos ? std::string() : path.substr(0, i + 1);
}

std::string ExtractFileDir(const std::string& path) {
  const size_t i = LastPathDelim(path);
  if (i == std::string::npos) return std::string();
  // Keep the separator when it is the root or follows another one.
  if (i == 0 || IsPathDelim(path[i - 1])) return path.substr(0, i + 1);
  return path.substr(0, i);
}

std::string ExtractFileName(const std::string& path) {
  const size_t i = LastPathDelim(path);
  return i == std::string::npos ? path : path.substr(i + 1);
}

std::string ExtractFileExt(const std::string& path) {
  const size_t dot = path.rfind('.');
  const size_t delim = LastPathDelim(path);
  if (dot == std::string::npos || (delim != std::string::npos && dot < delim)) return std::string();
  return path.substr(dot);
}

std::string ChangeFileExt(const std::string& path, const std::string& ext) {
  const size_t extLength = ExtractFileExt(path).size();
  return path.substr(0, path.size() - extLength) + ext;
}

std::string NativePath(const std::string& path) {
  std::string r = path;
  for (char& c : r) {
    if (c == '\\' || c == '/') c = PathDelim;
  }
  return r;
}

std::string AppDir() { return ExtractFilePath(platform::GetModuleFileName()); }

std::string SysErrorMessage(uint32_t code) { return platform::SysErrorMessage(code); }

// ---------------------------------------------------------------------------------------
// Date-time values.

TDateTime Now() {
  platform::SYSTEMTIME t;
  platform::GetLocalTime(&t);
  return EncodeDate(t.wYear, t.wMonth, t.wDay) +
         EncodeTime(t.wHour, t.wMinute, t.wSecond, t.wMilliseconds);
}

TDateTime Date() {
  platform::SYSTEMTIME t;
  platform::GetLocalTime(&t);
  return EncodeDate(t.wYear, t.wMonth, t.wDay);
}

TDateTime EncodeDate(int year, int month, int day) {
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 ||
      day > DaysInMonth(year, month)) {
    throw EConvertError("Invalid argument to date encode");
  }
  return static_cast<double>(DaysFromCivil(year, month, day));
}

TDateTime EncodeTime(int hour, int min, int sec, int msec) {
  if (hour < 0 || hour > 23 || min < 0 || min > 59 || sec < 0 || sec > 59 || msec < 0 ||
      msec > 999) {
    throw EConvertError("Invalid argument to time encode");
  }
  return ((hour * 3600 + min * 60 + sec) * 1000.0 + msec) / MSecsPerDay;
}

void DecodeDate(TDateTime dt, int& year, int& month, int& day) {
  int64_t days, ms;
  SplitDateTime(dt, days, ms);
  CivilFromDays(days, year, month, day);
}

void DecodeTime(TDateTime dt, int& hour, int& min, int& sec, int& msec) {
  int64_t days, ms;
  SplitDateTime(dt, days, ms);
  hour = static_cast<int>(ms / 3600000);
  min = static_cast<int>(ms / 60000 % 60);
  sec = static_cast<int>(ms / 1000 % 60);
  msec = static_cast<int>(ms % 1000);
}

int DayOfWeek(TDateTime dt) {
  int64_t days, ms;
  SplitDateTime(dt, days, ms);
  // Day 0, 1899-12-30, was a Saturday.
  return static_cast<int>(((days + 6) % 7 + 7) % 7) + 1;
}

std::string FormatDateTime(const std::string& format, TDateTime dt) {
  int year, month, day, hour, min, sec, msec;
  DecodeDate(dt, year, month, day);
  DecodeTime(dt, hour, min, sec, msec);
  std::string out;
  char lastToken = 0;  // upper-cased letter of the last pattern token
  size_t i = 0;
  const size_t n = format.size();
  while (i < n) {
    const char c = format[i];
    if (c == '\'' || c == '"') {
      size_t close = format.find(c, i + 1);
      if (close == std::string::npos) close = n;
      out.append(format, i + 1, close - i - 1);
      i = close < n ? close + 1 : n;
      continue;
    }
    const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    if (!letter) {
      out += c;
      ++i;
      continue;
    }
    size_t count = 1;
    while (i + count < n && format[i + count] == c) ++count;
    char token = ToUpperAscii(c);
    if (token == 'M' && lastToken == 'H') token = 'N';
    lastToken = token;
    switch (token) {
      case 'Y':
        if (count <= 2) {
          AppendNumber(out, year % 100, 2);
        } else {
          AppendNumber(out, year, 4);
        }
        break;
      case 'M':
        if (count <= 2) {
          AppendNumber(out, month, static_cast<int>(count));
        } else {
          out += count == 3 ? kShortMonthNames[month - 1] : kLongMonthNames[month - 1];
        }
        break;
      case 'D':
        if (count <= 2) {
          AppendNumber(out, day, static_cast<int>(count));
        } else {
          const int dow = DayOfWeek(dt) - 1;
          out += count == 3 ? kShortDayNames[dow] : kLongDayNames[dow];
        }
        break;
      case 'H':
        AppendNumber(out, hour, count >= 2 ? 2 : 1);
        break;
      case 'N':
        AppendNumber(out, min, count >= 2 ? 2 : 1);
        break;
      case 'S':
        AppendNumber(out, sec, count >= 2 ? 2 : 1);
        break;
      case 'Z':
        AppendNumber(out, msec, count >= 3 ? 3 : 1);
        break;
      default:
        out.append(format, i, count);
        break;
    }
    i += count;
  }
  return out;
}
