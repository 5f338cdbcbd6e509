// THttpResponseParser: reads one HTTP/1.x response from bytes it is fed, without any I/O.
// Put takes what it can of the bytes and stops at the next thing worth telling: a header
// line, the end of an interim or of the final header, the start of the body, a block of
// body data (chunked bodies come out decoded), the end of the document, or an error.
// Lines may end in LF or CR LF; the bytes may be cut anywhere, the result is the same.
//
// What is read: the status line ("HTTP/1.0" or "HTTP/1.1" and a three-digit code), header
// fields, interim "100 Continue" answers of HTTP/1.1 (each starts the response afresh),
// a first line "<HTML>" or "<!DOCTYPE" (a response without a header: the body runs to the
// close), Content-Length, chunked bodies with extensions (the trailer is not read: the
// first line end after the last chunk ends the document) and the limits below.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Limits on what a server may send. A response that goes beyond one is an error instead
// of growing memory or looping.
constexpr int kHttpMaxHeaderLine = 64 * 1024;        // bytes in one header line
constexpr int kHttpMaxHeaderSize = 256 * 1024;       // bytes in one response header
constexpr int kHttpMaxInterimResponses = 32;         // "100 Continue" answers per request
constexpr int64_t kHttpMaxChunkLength = 0x7FFFFFFF;  // bytes in one chunk

enum class THttpParseState {
  StatusLine,       // before the first line of a header
  Fields,           // the lines after the status line
  HeaderlessStart,  // the first line of a response without header is still to hand out
  Body,             // a body of Content-Length bytes, or up to the close
  ChunkSize,
  ChunkExtension,   // up to the line end after a chunk size
  ChunkData,
  ChunkDataEnd,     // up to the line end after a chunk's data
  Done,
  Failed
};

enum class THttpParseError {
  None,
  HeaderLineTooLong,
  HeaderTooLarge,
  TooManyInterim,
  InvalidStatusLine,
  InvalidContentLength,
  InvalidChunkSize
};

// The text a request ends with for the error ("Bad response: ...").
std::string HttpParseErrorText(THttpParseError error);

enum class THttpLineKind {
  Status,  // "HTTP/1.x" status line
  NotHttp, // a first line that is no HTTP status line (read on as a header)
  Field,   // name ":" value
  Other    // a later line without ":"
};

enum class THttpParseEvent {
  NeedMore,   // all bytes taken; nothing more to tell until more come
  Line,       // a non-empty header line: Line(), LineKind(), FieldName(), FieldValue()
  Interim,    // the blank line of an interim answer; a new header follows
  HeaderEnd,  // the end of the final header (also for a response without header)
  BodyBegin,  // the first byte of the body is there; nothing was taken for this event
  Body,       // decoded body bytes: Data(), Size()
  End,        // the document is complete; bytes after it are not the parser's
  Error       // Error() tells what; the parser takes nothing more
};

struct THttpParseStep {
  size_t Consumed = 0;
  THttpParseEvent Event = THttpParseEvent::NeedMore;
};

// A Content-Length value: decimal digits, surrounding blanks allowed. A text that is no
// number at all means "until the close" (-1); a negative or out-of-range number is invalid.
enum class TContentLengthParse { Number, NotANumber, Invalid };
TContentLengthParse ParseContentLength(const std::string& text, int64_t& value);

class THttpResponseParser {
 public:
  // Ready for the response to a new request; the answer to HEAD has no body.
  void Reset(bool headRequest = false);
  THttpParseStep Put(const char* data, size_t size);
  // The connection ended here: was the document complete? (A body without length and
  // without chunks is complete at the close.)
  bool CompleteAtClose() const;

  THttpParseState State() const { return state_; }
  THttpParseError Error() const { return error_; }

  const std::string& Line() const { return line_; }
  THttpLineKind LineKind() const { return lineKind_; }
  const std::string& FieldName() const { return fieldName_; }  // lower-cased
  const std::string& FieldValue() const { return fieldValue_; }  // leading blanks skipped

  // Of the last status line: "1.0" or "1.1", the code and the reason phrase.
  const std::string& Version() const { return version_; }
  int StatusCode() const { return statusCode_; }
  const std::string& StatusText() const { return statusText_; }
  int64_t ContentLength() const { return contentLength_; }
  bool Chunked() const { return chunked_; }
  bool Headerless() const { return headerless_; }
  // Known at HeaderEnd: whether a body follows.
  bool HasBody() const { return hasBody_; }
  int InterimCount() const { return interimCount_; }
  int64_t BodyReceived() const { return bodyReceived_; }

  // The block of the last Body event; valid until the next Put or Reset.
  const char* Data() const { return data_; }
  size_t Size() const { return size_; }

 private:
  THttpParseStep Fail(size_t consumed, THttpParseError error);
  // A complete header line is in line_: what it means, or NeedMore when it says nothing.
  THttpParseEvent TakeLine(size_t consumed, THttpParseStep& failure);
  void StartResponse();

  bool headRequest_ = false;
  THttpParseState state_ = THttpParseState::StatusLine;
  THttpParseError error_ = THttpParseError::None;
  std::string line_;
  std::string firstLine_;  // the header-less first line with its line end
  THttpLineKind lineKind_ = THttpLineKind::Other;
  std::string fieldName_, fieldValue_;
  std::string version_;
  int statusCode_ = 0;
  std::string statusText_;
  int64_t contentLength_ = -1;
  bool chunked_ = false;
  bool headerless_ = false;
  bool hasBody_ = false;
  bool bodyStarted_ = false;
  bool lineHanded_ = false;
  int64_t headerSize_ = 0;
  int interimCount_ = 0;
  int64_t bodyReceived_ = 0;
  int64_t chunkLength_ = 0;
  int64_t chunkReceived_ = 0;
  int chunkDigits_ = 0;
  const char* data_ = nullptr;
  size_t size_ = 0;
};
