// Runtime library: exception classes, text formatting, number conversion, file-name
// helpers, date-time values. Text is UTF-8 bytes in std::string.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <exception>
#include <string>

// ---------------------------------------------------------------------------------------
// Exceptions. Every exception of the system derives from Exception, carries its message
// and answers its class name (some texts shown to the user contain it).

class Exception : public std::exception {
 public:
  explicit Exception(std::string message) : message_(std::move(message)) {}
  ~Exception() override = default;
  const std::string& Message() const { return message_; }
  void SetMessage(std::string message) { message_ = std::move(message); }
  const char* what() const noexcept override { return message_.c_str(); }
  virtual const char* ClassName() const { return "Exception"; }

 private:
  std::string message_;
};

// Declares an exception class that only adds its class name.
#define DECLARE_EXCEPTION_CLASS(Name, Base)                         \
  class Name : public Base {                                        \
   public:                                                          \
    using Base::Base;                                               \
    const char* ClassName() const override { return #Name; }        \
  }

DECLARE_EXCEPTION_CLASS(EConvertError, Exception);
DECLARE_EXCEPTION_CLASS(ERangeError, Exception);
DECLARE_EXCEPTION_CLASS(EInvalidOperation, Exception);
DECLARE_EXCEPTION_CLASS(EAssertionFailed, Exception);
DECLARE_EXCEPTION_CLASS(EOSError, Exception);
DECLARE_EXCEPTION_CLASS(EStreamError, Exception);
DECLARE_EXCEPTION_CLASS(EFCreateError, EStreamError);
DECLARE_EXCEPTION_CLASS(EFOpenError, EStreamError);
DECLARE_EXCEPTION_CLASS(EReadError, EStreamError);
DECLARE_EXCEPTION_CLASS(EWriteError, EStreamError);
DECLARE_EXCEPTION_CLASS(EStringListError, Exception);
DECLARE_EXCEPTION_CLASS(EIniFileException, Exception);

// Raises EAssertionFailed with the message when the condition is false.
void Assert(bool condition, const std::string& message);

// ---------------------------------------------------------------------------------------
// Formatting. printf rules ("%d", "%s", "%3.0f", "%6.2f", "%2.2d", ...), with '.' as the
// decimal separator whatever the process locale.

// Checked as the C99 printf it runs through, also where the system's own printf differs.
#ifdef _WIN32
std::string Format(const char* fmt, ...) __attribute__((format(gnu_printf, 1, 2)));
#else
std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
#endif
std::string FormatV(const char* fmt, va_list args);

std::string IntToStr(int64_t value);
std::string UIntToStr(uint64_t value);
std::string IntToHex(uint64_t value, int digits);

// ---------------------------------------------------------------------------------------
// Number conversion.
//
// Integers: optional leading blanks, an optional sign, then decimal digits or '$' and
// hexadecimal digits; nothing else (no trailing characters). A value outside the type's
// range does not convert.
bool TryStrToInt(const std::string& s, int32_t& value);
bool TryStrToInt64(const std::string& s, int64_t& value);
int32_t StrToInt(const std::string& s);      // EConvertError "'%s' is not a valid integer value"
int64_t StrToInt64(const std::string& s);    // same message
int32_t StrToIntDef(const std::string& s, int32_t def);
int64_t StrToInt64Def(const std::string& s, int64_t def);

// Floating point: optional blanks (character 32) before and after, an optional sign,
// digits with an optional fraction after DecimalSeparator, an optional exponent ('E' or
// 'e', optional sign, digits); nothing else, not even a line break. At least one digit.
extern char DecimalSeparator;  // '.'
bool TryStrToFloat(const std::string& s, double& value);
double StrToFloat(const std::string& s);     // EConvertError "'%s' is 不是一个有效的浮点值"
double StrToFloatDef(const std::string& s, double def);

// ---------------------------------------------------------------------------------------
// Text.

// The native line break, ending every line of TStrings::Text.
constexpr char sLineBreak[] = "\n";

// Removes leading and trailing characters up to and including blank (control characters
// and spaces).
std::string Trim(const std::string& s);
std::string TrimLeft(const std::string& s);
std::string TrimRight(const std::string& s);
// ASCII letters only; other bytes unchanged.
std::string UpperCase(const std::string& s);
std::string LowerCase(const std::string& s);
bool SameText(const std::string& a, const std::string& b);  // ASCII case-insensitive
int CompareText(const std::string& a, const std::string& b);
bool StartsText(const std::string& prefix, const std::string& s);  // case-insensitive
// Replaces every occurrence (case-sensitive).
std::string StringReplaceAll(const std::string& s, const std::string& from,
                             const std::string& to);

// ---------------------------------------------------------------------------------------
// File names. PathDelim is the native separator ('/' on Linux).

extern const char PathDelim;
std::string IncludeTrailingPathDelimiter(const std::string& path);
std::string ExcludeTrailingPathDelimiter(const std::string& path);
// Up to and including the last separator; empty when there is none.
std::string ExtractFilePath(const std::string& path);
// Up to the last separator, without it.
std::string ExtractFileDir(const std::string& path);
std::string ExtractFileName(const std::string& path);
// From the last '.' of the file name on ("" when none).
std::string ExtractFileExt(const std::string& path);
std::string ChangeFileExt(const std::string& path, const std::string& ext);
// A relative path from stored data (which may use '\', as written on Windows) in the
// native form.
std::string NativePath(const std::string& path);
// The directory of the running executable, with its trailing separator.
std::string AppDir();

// The system's message for an error code (Windows error code or HRESULT).
std::string SysErrorMessage(uint32_t code);

// ---------------------------------------------------------------------------------------
// Date-time values: days since 1899-12-30, the fraction is the time of day.

using TDateTime = double;
constexpr double MSecsPerDay = 86400000.0;

TDateTime Now();
TDateTime Date();
TDateTime EncodeDate(int year, int month, int day);        // EConvertError on bad input
TDateTime EncodeTime(int hour, int min, int sec, int msec);
void DecodeDate(TDateTime dt, int& year, int& month, int& day);
void DecodeTime(TDateTime dt, int& hour, int& min, int& sec, int& msec);
int DayOfWeek(TDateTime dt);  // 1 = Sunday ... 7 = Saturday

// Delphi format patterns: yyyy yy m mm d dd h hh n nn s ss z zzz, "m" after "h" means
// minutes, text in quotes is literal, other characters are copied.
// FormatDateTime("yyyymmdd", dt) gives "20240301"; "hh:nn:ss" gives "00:01:05".
std::string FormatDateTime(const std::string& format, TDateTime dt);
