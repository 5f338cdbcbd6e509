#include "http/httpresponseparser.h"

#include <algorithm>
#include <cstring>

#include "base/sysutils.h"

namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

std::string HttpParseErrorText(THttpParseError error) {
  switch (error) {
    case THttpParseError::HeaderLineTooLong: return "Bad response: header line too long";
    case THttpParseError::HeaderTooLarge: return "Bad response: header too large";
    case THttpParseError::TooManyInterim: return "Bad response: too many interim responses";
    case THttpParseError::InvalidStatusLine: return "Bad response: invalid status line";
    case THttpParseError::InvalidContentLength: return "Bad response: invalid Content-Length";
    case THttpParseError::InvalidChunkSize: return "Bad response: invalid chunk size";
    case THttpParseError::None: break;
  }
  return std::string();
}

TContentLengthParse ParseContentLength(const std::string& text, int64_t& value) {
  const std::string s = Trim(text);
  size_t i = 0;
  bool negative = false;
  if (i < s.size() && (s[i] == '-' || s[i] == '+')) negative = s[i++] == '-';
  if (i == s.size()) return TContentLengthParse::NotANumber;
  for (size_t j = i; j < s.size(); ++j)
    if (!IsDigit(s[j])) return TContentLengthParse::NotANumber;
  if (negative && s.find_first_not_of('0', i) != std::string::npos)
    return TContentLengthParse::Invalid;
  int64_t v = 0;
  for (size_t j = i; j < s.size(); ++j) {
    const int d = s[j] - '0';
    if (v > (INT64_MAX - d) / 10) return TContentLengthParse::Invalid;
    v = v * 10 + d;
  }
  value = v;
  return TContentLengthParse::Number;
}

void THttpResponseParser::Reset(bool headRequest) {
  *this = THttpResponseParser();
  headRequest_ = headRequest;
}

// What an interim answer said does not carry over to the next header.
void THttpResponseParser::StartResponse() {
  state_ = THttpParseState::StatusLine;
  statusCode_ = 0;
  statusText_.clear();
  contentLength_ = -1;
  chunked_ = false;
  headerSize_ = 0;
}

THttpParseStep THttpResponseParser::Fail(size_t consumed, THttpParseError error) {
  state_ = THttpParseState::Failed;
  error_ = error;
  return {consumed, THttpParseEvent::Error};
}

bool THttpResponseParser::CompleteAtClose() const {
  switch (state_) {
    case THttpParseState::Done:
    case THttpParseState::HeaderlessStart:
      return true;
    case THttpParseState::Body:
      return contentLength_ < 0 || bodyReceived_ >= contentLength_;
    default:
      return false;
  }
}

THttpParseEvent THttpResponseParser::TakeLine(size_t consumed, THttpParseStep& failure) {
  const std::string& line = line_;
  if (state_ == THttpParseState::StatusLine) {
    // Blank lines before a status line are noise left by an earlier response.
    if (line.empty()) return THttpParseEvent::NeedMore;
    if (line[0] == '<' && (StartsText("<HTML>", line) || StartsText("<!DOCTYPE", line))) {
      // No header at all: this line is the start of a document that runs to the close.
      headerless_ = true;
      hasBody_ = true;
      contentLength_ = -1;
      chunked_ = false;
      state_ = THttpParseState::HeaderlessStart;
      return THttpParseEvent::HeaderEnd;
    }
    state_ = THttpParseState::Fields;
    if (line.compare(0, 8, "HTTP/1.0") != 0 && line.compare(0, 8, "HTTP/1.1") != 0) {
      lineKind_ = THttpLineKind::NotHttp;
      return THttpParseEvent::Line;
    }
    size_t i = 9;
    while (i < line.size() && !IsDigit(line[i])) ++i;
    if (i + 3 > line.size() || !IsDigit(line[i]) || !IsDigit(line[i + 1]) ||
        !IsDigit(line[i + 2])) {
      failure = Fail(consumed, THttpParseError::InvalidStatusLine);
      return THttpParseEvent::Error;
    }
    lineKind_ = THttpLineKind::Status;
    version_ = line.substr(5, 3);
    statusCode_ = (line[i] - '0') * 100 + (line[i + 1] - '0') * 10 + (line[i + 2] - '0');
    statusText_ = i + 4 <= line.size() ? line.substr(i + 4) : std::string();
    return THttpParseEvent::Line;
  }

  if (line.empty()) {
    if (version_ == "1.1" && statusCode_ == 100) {
      if (++interimCount_ > kHttpMaxInterimResponses) {
        failure = Fail(consumed, THttpParseError::TooManyInterim);
        return THttpParseEvent::Error;
      }
      StartResponse();
      return THttpParseEvent::Interim;
    }
    const int s = statusCode_;
    hasBody_ = !(contentLength_ == 0 || headRequest_ ||
                 (contentLength_ == -1 && !chunked_ &&
                  (s < 200 || s == 204 || s == 301 || s == 302 || s == 304 || s == 401 ||
                   s == 407)));
    state_ = !hasBody_ ? THttpParseState::Done
             : chunked_ ? THttpParseState::ChunkSize
                        : THttpParseState::Body;
    return THttpParseEvent::HeaderEnd;
  }

  const size_t colon = line.find(':');
  if (colon == std::string::npos) {
    lineKind_ = THttpLineKind::Other;
    return THttpParseEvent::Line;
  }
  lineKind_ = THttpLineKind::Field;
  fieldName_ = LowerCase(line.substr(0, colon));
  size_t v = colon + 1;
  while (v < line.size() && line[v] == ' ') ++v;
  fieldValue_ = line.substr(v);
  if (fieldName_ == "content-length") {
    int64_t length = -1;
    switch (ParseContentLength(fieldValue_, length)) {
      case TContentLengthParse::Number: contentLength_ = length; break;
      case TContentLengthParse::NotANumber: contentLength_ = -1; break;
      case TContentLengthParse::Invalid:
        failure = Fail(consumed, THttpParseError::InvalidContentLength);
        return THttpParseEvent::Error;
    }
  } else if (fieldName_ == "transfer-encoding") {
    chunked_ = LowerCase(fieldValue_) == "chunked";
  }
  return THttpParseEvent::Line;
}

THttpParseStep THttpResponseParser::Put(const char* data, size_t size) {
  size_t used = 0;
  data_ = nullptr;
  size_ = 0;
  if (lineHanded_) {
    line_.clear();
    lineHanded_ = false;
  }
  for (;;) {
    switch (state_) {
      case THttpParseState::StatusLine:
      case THttpParseState::Fields: {
        const char* at = data + used;
        const char* lf = static_cast<const char*>(std::memchr(at, '\n', size - used));
        const size_t take = lf ? static_cast<size_t>(lf - at) : size - used;
        // The limit holds for a line still waiting for its line feed too.
        if (line_.size() + take > static_cast<size_t>(kHttpMaxHeaderLine))
          return Fail(used, THttpParseError::HeaderLineTooLong);
        line_.append(at, take);
        used += take;
        if (!lf) return {used, THttpParseEvent::NeedMore};
        ++used;
        headerSize_ += static_cast<int64_t>(line_.size()) + 1;
        if (headerSize_ > kHttpMaxHeaderSize) return Fail(used, THttpParseError::HeaderTooLarge);
        const bool cr = !line_.empty() && line_.back() == '\r';
        if (cr) line_.pop_back();
        if (state_ == THttpParseState::StatusLine && !line_.empty() && line_[0] == '<')
          firstLine_ = line_ + (cr ? "\r\n" : "\n");
        THttpParseStep failure;
        const THttpParseEvent event = TakeLine(used, failure);
        if (event == THttpParseEvent::Error) return failure;
        if (event == THttpParseEvent::Line)
          lineHanded_ = true;  // kept for the caller until the next Put
        else
          line_.clear();
        if (event == THttpParseEvent::NeedMore) continue;
        return {used, event};
      }

      case THttpParseState::HeaderlessStart:
        if (!bodyStarted_) {
          bodyStarted_ = true;
          return {used, THttpParseEvent::BodyBegin};
        }
        state_ = THttpParseState::Body;
        data_ = firstLine_.data();
        size_ = firstLine_.size();
        bodyReceived_ += static_cast<int64_t>(size_);
        return {used, THttpParseEvent::Body};

      case THttpParseState::Body: {
        if (used == size) return {used, THttpParseEvent::NeedMore};
        if (!bodyStarted_) {
          bodyStarted_ = true;
          return {used, THttpParseEvent::BodyBegin};
        }
        size_t take = size - used;
        if (contentLength_ >= 0)
          take = static_cast<size_t>(
              std::min<int64_t>(static_cast<int64_t>(take), contentLength_ - bodyReceived_));
        data_ = data + used;
        size_ = take;
        used += take;
        bodyReceived_ += static_cast<int64_t>(take);
        if (contentLength_ >= 0 && bodyReceived_ >= contentLength_) state_ = THttpParseState::Done;
        return {used, THttpParseEvent::Body};
      }

      case THttpParseState::ChunkSize: {
        if (used == size) return {used, THttpParseEvent::NeedMore};
        if (!bodyStarted_) {
          bodyStarted_ = true;
          return {used, THttpParseEvent::BodyBegin};
        }
        const int d = HexDigit(data[used]);
        if (d < 0) {
          if (chunkDigits_ == 0) return Fail(used, THttpParseError::InvalidChunkSize);
          state_ = THttpParseState::ChunkExtension;
          continue;
        }
        chunkLength_ = chunkLength_ * 16 + d;
        ++chunkDigits_;
        if (chunkLength_ > kHttpMaxChunkLength) return Fail(used, THttpParseError::InvalidChunkSize);
        ++used;
        continue;
      }

      case THttpParseState::ChunkExtension:
      case THttpParseState::ChunkDataEnd: {
        const char* lf = static_cast<const char*>(std::memchr(data + used, '\n', size - used));
        if (!lf) return {size, THttpParseEvent::NeedMore};
        used = static_cast<size_t>(lf - data) + 1;
        if (state_ == THttpParseState::ChunkExtension) {
          chunkReceived_ = 0;
          state_ = chunkLength_ == 0 ? THttpParseState::ChunkDataEnd : THttpParseState::ChunkData;
        } else if (chunkLength_ == 0) {
          state_ = THttpParseState::Done;
        } else {
          state_ = THttpParseState::ChunkSize;
          chunkLength_ = chunkReceived_ = 0;
          chunkDigits_ = 0;
        }
        continue;
      }

      case THttpParseState::ChunkData: {
        if (used == size) return {used, THttpParseEvent::NeedMore};
        const size_t take = static_cast<size_t>(
            std::min<int64_t>(static_cast<int64_t>(size - used), chunkLength_ - chunkReceived_));
        data_ = data + used;
        size_ = take;
        used += take;
        chunkReceived_ += static_cast<int64_t>(take);
        bodyReceived_ += static_cast<int64_t>(take);
        if (chunkReceived_ >= chunkLength_) state_ = THttpParseState::ChunkDataEnd;
        return {used, THttpParseEvent::Body};
      }

      case THttpParseState::Done:
        return {used, THttpParseEvent::End};

      case THttpParseState::Failed:
        return {used, THttpParseEvent::Error};
    }
  }
}
