// TSocksReplyReader: reads the SOCKS proxy's replies (versions 4, 4A and 5, with the user
// name reply of 5) from bytes it is fed, without any I/O. The socket says which reply
// its last request asks for, feeds what it receives, and acts on the result; the bytes
// after a reply are the caller's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

enum class TSocksReplyState {
  Idle,           // no reply expected
  MethodReply,    // version 5: the authentication method the proxy chose
  AuthReply,      // version 5: the answer to user name and password
  Version4Reply,  // the answer to a version 4 or 4A connect request
  Version5Reply,  // the answer to a version 5 connect request
  Done,
  Failed
};

enum class TSocksReplyEvent {
  NeedMore,
  MethodChosen,  // Method() is 0 (none) or 2 (user name and password)
  AuthAccepted,
  Connected,     // BoundAddr() and BoundPort() tell the proxy's end (version 5)
  Failed         // ErrorCode() (20001 to 20016) and ErrorText()
};

class TSocksReplyReader {
 public:
  void Expect(TSocksReplyState state);
  // Takes the reply's bytes from data; consumed tells how many were its own.
  TSocksReplyEvent Put(const uint8_t* data, size_t size, size_t& consumed);
  // At most this many more bytes belong to the reply (a version 4 reply is read
  // exactly, so what follows stays for the application).
  size_t MaxWanted() const;

  TSocksReplyState State() const { return state_; }
  uint8_t Method() const { return method_; }
  int ErrorCode() const { return errorCode_; }
  const std::string& ErrorText() const { return errorText_; }
  const std::string& BoundAddr() const { return boundAddr_; }
  const std::string& BoundPort() const { return boundPort_; }

 private:
  TSocksReplyEvent Fail(int code, const std::string& text);
  TSocksReplyEvent Version5Reply();

  TSocksReplyState state_ = TSocksReplyState::Idle;
  std::string got_;
  uint8_t method_ = 0;
  int errorCode_ = 0;
  std::string errorText_;
  std::string boundAddr_, boundPort_;
};
