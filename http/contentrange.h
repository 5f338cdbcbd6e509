// The value of a response's Content-Range header, read without any I/O.
#pragma once

#include <cstdint>
#include <string>

struct TContentRange {
  // As the client publishes them (ContentRangeBegin, ContentRangeEnd): the text from the
  // seventh character up to the first "-", and the text between that "-" and the first
  // "/". For "bytes 100-199/1000" these are "100" and "199"; a part that is not there is
  // empty.
  std::string First;
  std::string Last;
  // The value is exactly "bytes FIRST-LAST/TOTAL" (TOTAL may be "*") with decimal numbers,
  // FIRST <= LAST, and LAST < TOTAL when the total is known. Only then are these set.
  bool Valid = false;
  int64_t FirstByte = -1;
  int64_t LastByte = -1;
  int64_t Total = -1;  // -1 for "*"
};

TContentRange ParseContentRange(const std::string& value);
