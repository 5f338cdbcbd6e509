// The SOCKS reply reader on its own: every reply cut anywhere reads the same, and what
// each malformed reply fails with.
#include "net/socksreply.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::string Bytes(std::initializer_list<int> values) {
  std::string s;
  for (int v : values) s += static_cast<char>(v);
  return s;
}

// Feeds the pieces; answers the event that ended the reply and what was left after it.
std::string Read(TSocksReplyState expect, const std::vector<std::string>& pieces,
                 TSocksReplyReader* out = nullptr) {
  TSocksReplyReader r;
  r.Expect(expect);
  std::string left;
  std::string result = "need more";
  bool failed = false;
  for (const std::string& p : pieces) {
    if (failed) break;
    if (result != "need more") {
      left += p;
      continue;
    }
    size_t used = 0;
    const TSocksReplyEvent e =
        r.Put(reinterpret_cast<const uint8_t*>(p.data()), p.size(), used);
    switch (e) {
      case TSocksReplyEvent::NeedMore: EXPECT_EQ(used, p.size()); continue;
      case TSocksReplyEvent::MethodChosen: result = "method " + std::to_string(r.Method()); break;
      case TSocksReplyEvent::AuthAccepted: result = "accepted"; break;
      case TSocksReplyEvent::Connected: result = "connected " + r.BoundAddr() + ":" + r.BoundPort(); break;
      case TSocksReplyEvent::Failed:
        result = std::to_string(r.ErrorCode()) + " " + r.ErrorText();
        failed = true;
        break;
    }
    if (e != TSocksReplyEvent::Failed) left += p.substr(used);
  }
  if (out) *out = r;
  return result + (left.empty() ? "" : " + " + left);
}

std::string Whole(TSocksReplyState s, const std::string& bytes) { return Read(s, {bytes}); }

struct Reply {
  TSocksReplyState state;
  std::string bytes;
  std::string result;
};

std::vector<Reply> Replies() {
  using S = TSocksReplyState;
  return {
      {S::MethodReply, Bytes({5, 0}), "method 0"},
      {S::MethodReply, Bytes({5, 2}), "method 2"},
      {S::MethodReply, Bytes({5, 0xff}), "20003 authentification method not acceptable"},
      {S::MethodReply, Bytes({4, 0}), "20002 socks version error"},
      {S::AuthReply, Bytes({1, 0}), "accepted"},
      {S::AuthReply, Bytes({1, 1}), "20015 socks authentication failed"},
      {S::AuthReply, Bytes({5, 0}), "20002 socks version error"},
      {S::Version4Reply, Bytes({0, 90, 0, 80, 1, 2, 3, 4}) + "data", "connected : + data"},
      {S::Version4Reply, Bytes({0, 91, 0, 0, 0, 0, 0, 0}), "20016 request rejected or failed"},
      {S::Version4Reply, Bytes({0, 92, 0, 0, 0, 0, 0, 0}), "20008 connection refused"},
      {S::Version4Reply, Bytes({0, 93, 0, 0, 0, 0, 0, 0}), "20015 authentification failed"},
      {S::Version4Reply, Bytes({0, 94, 0, 0, 0, 0, 0, 0}), "20012 unassigned error #94"},
      {S::Version4Reply, Bytes({1, 90, 0, 0, 0, 0, 0, 0}), "20002 socks version error"},
      {S::Version5Reply, Bytes({5, 0, 0, 1, 10, 1, 2, 3, 0x04, 0xd2}) + "app",
       "connected 10.1.2.3:1234 + app"},
      {S::Version5Reply, Bytes({5, 0, 0, 3, 4}) + "host" + Bytes({0, 80}),
       "connected host:80"},
      {S::Version5Reply,
       Bytes({5, 0, 0, 4, 0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0x1f, 0x90}),
       "connected 2001:db8:0:0:0:0:0:1:8080"},
      {S::Version5Reply, Bytes({5, 0, 0, 9, 0}), "20011 address type not supported"},
      {S::Version5Reply, Bytes({5, 5}), "20008 connection refused"},
      {S::Version5Reply, Bytes({5, 9}), "20012 unassigned error #9"},
      {S::Version5Reply, Bytes({6}), "20002 socks version error"},
  };
}

TEST(SocksReplyReader, EachReplyReadsAsExpected) {
  for (const Reply& r : Replies()) {
    SCOPED_TRACE(r.result);
    EXPECT_EQ(Whole(r.state, r.bytes), r.result);
  }
}

TEST(SocksReplyReader, EveryReplyCutAnywhereReadsTheSame) {
  for (const Reply& r : Replies()) {
    const std::string whole = Whole(r.state, r.bytes);
    for (size_t i = 1; i < r.bytes.size(); ++i) {
      SCOPED_TRACE(r.result + " cut at " + std::to_string(i));
      EXPECT_EQ(Read(r.state, {r.bytes.substr(0, i), r.bytes.substr(i)}), whole);
    }
  }
}

TEST(SocksReplyReader, AReplyIsNeverReadPastItself) {
  TSocksReplyReader r;
  r.Expect(TSocksReplyState::Version4Reply);
  EXPECT_EQ(r.MaxWanted(), 8u);
  size_t used = 0;
  const std::string part = Bytes({0, 90, 0});
  r.Put(reinterpret_cast<const uint8_t*>(part.data()), part.size(), used);
  EXPECT_EQ(r.MaxWanted(), 5u);
  r.Expect(TSocksReplyState::Version5Reply);
  EXPECT_EQ(r.MaxWanted(), 262u) << "the longest reply: a 255-byte name";
  // A name reply of 255 bytes with application data after it.
  const std::string longest = Bytes({5, 0, 0, 3, 255}) + std::string(255, 'n') + Bytes({0, 1});
  EXPECT_EQ(Whole(TSocksReplyState::Version5Reply, longest + "xyz"),
            "connected " + std::string(255, 'n') + ":1 + xyz");
}

TEST(SocksReplyReader, AnAuthenticationReplyWithMoreBehindItFails) {
  EXPECT_EQ(Whole(TSocksReplyState::AuthReply, Bytes({1, 0, 5})),
            "20001 too much data availaible");
}

TEST(SocksReplyReader, NothingIsReadWhileNoReplyIsExpected) {
  TSocksReplyReader r;
  EXPECT_EQ(r.MaxWanted(), 0u);
  size_t used = 7;
  EXPECT_EQ(r.Put(reinterpret_cast<const uint8_t*>("abc"), 3, used), TSocksReplyEvent::NeedMore);
  EXPECT_EQ(used, 0u);
}

}  // namespace
