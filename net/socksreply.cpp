#include "net/socksreply.h"

#include <algorithm>

namespace {

constexpr size_t kVersion4ReplySize = 8;
constexpr size_t kLongestVersion5Reply = 255 + 7;  // a domain name of 255 bytes

std::string Version5ReplyText(unsigned char code) {
  switch (code) {
    case 1: return "general SOCKS server failure";
    case 2: return "connection not allowed by ruleset";
    case 3: return "network unreachable";
    case 4: return "host unreachable";
    case 5: return "connection refused";
    case 6: return "time to live expired";
    case 7: return "command not supported";
    case 8: return "address type not supported";
    default: return "unassigned error #" + std::to_string(code);
  }
}

int Version5ReplyCode(unsigned char code) { return code >= 1 && code <= 8 ? 20003 + code : 20012; }

std::string HexGroup(unsigned value) {
  static const char digits[] = "0123456789abcdef";
  std::string s;
  do {
    s.insert(s.begin(), digits[value & 15]);
    value >>= 4;
  } while (value != 0);
  return s;
}

}  // namespace

void TSocksReplyReader::Expect(TSocksReplyState state) {
  state_ = state;
  got_.clear();
  errorCode_ = 0;
  errorText_.clear();
}

TSocksReplyEvent TSocksReplyReader::Fail(int code, const std::string& text) {
  state_ = TSocksReplyState::Failed;
  errorCode_ = code;
  errorText_ = text;
  return TSocksReplyEvent::Failed;
}

size_t TSocksReplyReader::MaxWanted() const {
  switch (state_) {
    case TSocksReplyState::Version4Reply: return kVersion4ReplySize - got_.size();
    case TSocksReplyState::Version5Reply: return kLongestVersion5Reply - got_.size();
    case TSocksReplyState::MethodReply:
    case TSocksReplyState::AuthReply: return kLongestVersion5Reply;
    default: return 0;
  }
}

TSocksReplyEvent TSocksReplyReader::Put(const uint8_t* data, size_t size, size_t& consumed) {
  consumed = 0;
  const auto byte = [this](size_t i) { return static_cast<unsigned char>(got_[i]); };
  switch (state_) {
    case TSocksReplyState::MethodReply: {
      consumed = std::min(size, 2 - got_.size());
      got_.append(reinterpret_cast<const char*>(data), consumed);
      if (got_.size() < 2) return TSocksReplyEvent::NeedMore;
      if (byte(0) != 5) return Fail(20002, "socks version error");
      if (byte(1) != 0 && byte(1) != 2) return Fail(20003, "authentification method not acceptable");
      method_ = byte(1);
      state_ = TSocksReplyState::Done;
      return TSocksReplyEvent::MethodChosen;
    }
    case TSocksReplyState::AuthReply: {
      // The proxy says nothing more before our connect request.
      const bool tooMuch = got_.size() + size > 2;
      consumed = std::min(size, 2 - got_.size());
      got_.append(reinterpret_cast<const char*>(data), consumed);
      if (got_.empty()) return TSocksReplyEvent::NeedMore;
      if (byte(0) != 1) return Fail(20002, "socks version error");
      if (tooMuch) return Fail(20001, "too much data availaible");
      if (got_.size() < 2) return TSocksReplyEvent::NeedMore;
      if (byte(1) != 0) return Fail(20015, "socks authentication failed");
      state_ = TSocksReplyState::Done;
      return TSocksReplyEvent::AuthAccepted;
    }
    case TSocksReplyState::Version4Reply: {
      consumed = std::min(size, kVersion4ReplySize - got_.size());
      got_.append(reinterpret_cast<const char*>(data), consumed);
      if (got_.size() < kVersion4ReplySize) return TSocksReplyEvent::NeedMore;
      if (byte(0) != 0) return Fail(20002, "socks version error");
      switch (byte(1)) {
        case 90: state_ = TSocksReplyState::Done; return TSocksReplyEvent::Connected;
        case 91: return Fail(20016, "request rejected or failed");
        case 92: return Fail(20008, "connection refused");
        case 93: return Fail(20015, "authentification failed");
        default: return Fail(20012, "unassigned error #" + std::to_string(byte(1)));
      }
    }
    case TSocksReplyState::Version5Reply: {
      // Take what may belong to the reply; Version5Reply gives back what does not.
      const size_t before = got_.size();
      consumed = std::min(size, kLongestVersion5Reply - before);
      got_.append(reinterpret_cast<const char*>(data), consumed);
      const TSocksReplyEvent event = Version5Reply();
      if (event == TSocksReplyEvent::Connected) consumed = got_.size() - before;
      return event;
    }
    default:
      return TSocksReplyEvent::NeedMore;
  }
}

TSocksReplyEvent TSocksReplyReader::Version5Reply() {
  const auto byte = [this](size_t i) { return static_cast<unsigned char>(got_[i]); };
  if (got_.empty()) return TSocksReplyEvent::NeedMore;
  if (byte(0) != 5) return Fail(20002, "socks version error");
  if (got_.size() >= 2 && byte(1) != 0)
    return Fail(Version5ReplyCode(byte(1)), Version5ReplyText(byte(1)));
  if (got_.size() <= 4) return TSocksReplyEvent::NeedMore;
  size_t length;
  switch (byte(3)) {
    case 1: length = 10; break;
    case 3: length = byte(4) + 7u; break;
    case 4: length = 22; break;
    default: return Fail(20011, "address type not supported");
  }
  if (got_.size() < length) return TSocksReplyEvent::NeedMore;
  const size_t a = 4;
  switch (byte(3)) {
    case 1:
      boundAddr_ = std::to_string(byte(a)) + "." + std::to_string(byte(a + 1)) + "." +
                   std::to_string(byte(a + 2)) + "." + std::to_string(byte(a + 3));
      break;
    case 3: boundAddr_ = got_.substr(a + 1, byte(a)); break;
    default:
      // A proxy that reached the target over IPv6 says so; the connection is still good.
      boundAddr_.clear();
      for (size_t i = 0; i < 16; i += 2) {
        if (i > 0) boundAddr_ += ':';
        boundAddr_ += HexGroup(static_cast<unsigned>(byte(a + i) << 8 | byte(a + i + 1)));
      }
      break;
  }
  boundPort_ = std::to_string(byte(length - 2) << 8 | byte(length - 1));
  got_.resize(length);  // what follows is the application's
  state_ = TSocksReplyState::Done;
  return TSocksReplyEvent::Connected;
}
