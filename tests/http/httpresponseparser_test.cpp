// The response parser on its own: the same result wherever the bytes are cut, the limits
// at their edges, and what each kind of answer comes out as.
#include "http/httpresponseparser.h"

#include <gtest/gtest.h>

#include <dirent.h>

#include <fstream>
#include <sstream>

#include "tests/support/http_transcript.h"

namespace testsupport {
namespace {

// The answers the scripted servers of the client's tests give (one file a connection).
std::vector<std::string> CorpusResponses() {
  std::vector<std::string> out;
  const std::string dir = std::string(TEST_SOURCE_DIR) + "/fuzz/corpus/httpresponse_fuzz";
  DIR* d = opendir(dir.c_str());
  if (!d) return out;
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] == '.') continue;
    std::ifstream f(dir + "/" + e->d_name, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    out.push_back(ss.str());
  }
  closedir(d);
  return out;
}

// Feeds r to p until `until` (or an error) comes; answers the bytes taken, and the body.
size_t FeedUntil(THttpResponseParser& p, const std::string& r, THttpParseEvent until,
                 std::string* body = nullptr) {
  size_t used = 0;
  THttpParseStep step;
  do {
    step = p.Put(r.data() + used, r.size() - used);
    used += step.Consumed;
    if (body && step.Event == THttpParseEvent::Body) body->append(p.Data(), p.Size());
  } while (step.Event != until && step.Event != THttpParseEvent::Error &&
           !(step.Event == THttpParseEvent::NeedMore && used == r.size() &&
             until != THttpParseEvent::NeedMore));
  EXPECT_EQ(step.Event, until);
  return used;
}

std::string Whole(const std::string& bytes, bool head = false) {
  return HttpTranscript({bytes}, head);
}

TEST(ResponseParserSplit, EveryAnswerOfTheClientTestsCutAnywhereGivesTheSameResult) {
  const std::vector<std::string> responses = CorpusResponses();
  ASSERT_GT(responses.size(), 100u);
  for (const std::string& r : responses) {
    for (bool head : {false, true}) {
      const std::string whole = Whole(r, head);
      ASSERT_EQ(whole.find("!left bytes"), std::string::npos) << whole;
      for (size_t i = 1; i < r.size(); ++i) {
        ASSERT_EQ(HttpTranscript({r.substr(0, i), r.substr(i)}, head), whole)
            << "cut at " << i << " of:\n" << r.substr(0, 300);
      }
    }
    // Byte by byte, the hardest cut of all.
    std::vector<std::string> bytes;
    for (char c : r) bytes.emplace_back(1, c);
    ASSERT_EQ(HttpTranscript(bytes), Whole(r)) << r.substr(0, 300);
  }
}

// A header of exactly `size` bytes: status line, filler fields, blank line.
std::string HeaderOfSize(size_t size) {
  std::string h = "HTTP/1.1 200 OK\r\n";
  const size_t end = 2;  // the blank line
  while (h.size() + end < size) {
    size_t room = size - end - h.size();
    size_t line = std::min<size_t>(room, 60000);
    if (line < 5) line = 5;  // "X:" + at least a byte + CR LF
    h += "X:" + std::string(line - 4, 'x') + "\r\n";
  }
  return h + "\r\n";
}

TEST(ResponseParserLimits, HeaderLineAtAndOverItsBound) {
  // 64 KiB before the line feed (the CR counts) is allowed, a byte more is not.
  const std::string at = "X:" + std::string(kHttpMaxHeaderLine - 3, 'a') + "\r";
  ASSERT_EQ(at.size(), static_cast<size_t>(kHttpMaxHeaderLine));
  EXPECT_NE(Whole("HTTP/1.1 200 OK\r\n" + at + "\n\r\n").find("\nH10"), std::string::npos);
  EXPECT_NE(Whole("HTTP/1.1 200 OK\r\n" + at + "a\n\r\n").find("X1\n"), std::string::npos);

  // A line still waiting for its line feed is held to the same bound.
  THttpResponseParser p;
  p.Reset();
  std::string partial(kHttpMaxHeaderLine, 'a');
  EXPECT_EQ(p.Put(partial.data(), partial.size()).Event, THttpParseEvent::NeedMore);
  EXPECT_EQ(p.Put("a", 1).Event, THttpParseEvent::Error);
  EXPECT_EQ(p.Error(), THttpParseError::HeaderLineTooLong);
  EXPECT_EQ(HttpParseErrorText(p.Error()), "Bad response: header line too long");
}

TEST(ResponseParserLimits, HeaderSizeAtAndOverItsBound) {
  const std::string at = HeaderOfSize(kHttpMaxHeaderSize);
  ASSERT_EQ(at.size(), static_cast<size_t>(kHttpMaxHeaderSize));
  EXPECT_NE(Whole(at).find("\nH10"), std::string::npos) << "a full header is no error";
  const std::string over = HeaderOfSize(kHttpMaxHeaderSize + 1);
  ASSERT_EQ(over.size(), static_cast<size_t>(kHttpMaxHeaderSize) + 1);
  const std::string t = Whole(over);
  EXPECT_NE(t.find("X2\n"), std::string::npos) << t.substr(t.size() - 40);
  // Interim answers start the count again.
  EXPECT_NE(Whole("HTTP/1.1 100 Continue\r\n\r\n" + at).find("\nH10"), std::string::npos);
}

TEST(ResponseParserLimits, InterimAnswersAtAndOverTheirBound) {
  std::string interim;
  for (int i = 0; i < kHttpMaxInterimResponses; ++i) interim += "HTTP/1.1 100 Continue\r\n\r\n";
  const std::string final = "HTTP/1.1 204 No Content\r\n\r\n";
  EXPECT_NE(Whole(interim + final).find("|204|"), std::string::npos);
  EXPECT_NE(Whole(interim + "HTTP/1.1 100 Continue\r\n\r\n" + final).find("X3\n"),
            std::string::npos);
  // An HTTP/1.0 answer with code 100 is a final answer.
  EXPECT_NE(Whole("HTTP/1.0 100 Continue\r\n\r\n").find("E 0"), std::string::npos);
}

TEST(ResponseParserLimits, ChunkSizeAtAndOverItsBound) {
  const std::string head = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
  THttpResponseParser p;
  p.Reset();
  std::string data;
  FeedUntil(p, head + "7fffffff\r\nabc", THttpParseEvent::NeedMore, &data);
  EXPECT_EQ(data, "abc");
  EXPECT_FALSE(p.CompleteAtClose());
  EXPECT_NE(Whole(head + "80000000\r\n").find("X6\n"), std::string::npos);
  EXPECT_NE(Whole(head + "000000000000001\r\nz\r\n0\r\n\r\n").find("D1:z"), std::string::npos)
      << "leading zeros are no size";
  EXPECT_NE(Whole(head + ";ext\r\n").find("X6\n"), std::string::npos)
      << "a size line starts with a hex digit";
}

TEST(ResponseParserLimits, ContentLengthAtAndOverItsBound) {
  int64_t v = 0;
  EXPECT_EQ(ParseContentLength("9223372036854775807", v), TContentLengthParse::Number);
  EXPECT_EQ(v, INT64_MAX);
  EXPECT_EQ(ParseContentLength("9223372036854775808", v), TContentLengthParse::Invalid);
  EXPECT_EQ(ParseContentLength(" 0 ", v), TContentLengthParse::Number);
  EXPECT_EQ(v, 0);
  EXPECT_EQ(ParseContentLength("-0", v), TContentLengthParse::Number);
  EXPECT_EQ(ParseContentLength("-1", v), TContentLengthParse::Invalid);
  EXPECT_EQ(ParseContentLength("12abc", v), TContentLengthParse::NotANumber);
  EXPECT_EQ(ParseContentLength("", v), TContentLengthParse::NotANumber);
  EXPECT_NE(Whole("HTTP/1.1 200 OK\r\nContent-Length: 99999999999999999999\r\n\r\n").find("X5\n"),
            std::string::npos);
  // No number at all: the body runs to the close.
  EXPECT_EQ(Whole("HTTP/1.1 200 OK\r\nContent-Length: many\r\n\r\nabc"),
            "L0:HTTP/1.1 200 OK|1.1|200|OK\nL2:Content-Length: many|content-length|many\n"
            "H10 len -1 chunked 0\nB\nD3:abc\nC1\n");
}

TEST(ResponseParserLimits, StatusLineNeedsThreeDigits) {
  EXPECT_NE(Whole("HTTP/1.1 20\r\n\r\n").find("X4\n"), std::string::npos);
  EXPECT_NE(Whole("HTTP/1.1\r\n\r\n").find("X4\n"), std::string::npos);
  EXPECT_NE(Whole("HTTP/1.1 2x0 OK\r\n\r\n").find("X4\n"), std::string::npos);
  EXPECT_NE(Whole("HTTP/1.1 404\r\n\r\n").find("|404|\n"), std::string::npos);
  EXPECT_NE(Whole("HTTP/1.0   301 Moved\r\n\r\n").find("|301|Moved"), std::string::npos);
}

TEST(ResponseParserAnswers, ChunkedBodyWithExtensionsEndsAtTheFirstLineEndAfterTheLastChunk) {
  const std::string r =
      "HTTP/1.1 200 OK\r\nTransfer-Encoding: Chunked\r\n\r\n"
      "5;name=value\r\nhello\r\n6 ; x\r\n world\r\n0;last\r\nTrailer: yes\r\n\r\n";
  THttpResponseParser p;
  p.Reset();
  std::string data;
  const size_t used = FeedUntil(p, r, THttpParseEvent::End, &data);
  EXPECT_EQ(data, "hello world");
  EXPECT_EQ(p.BodyReceived(), 11);
  // The trailer is not read: it is left over, as bytes after the document.
  EXPECT_EQ(r.substr(used), "\r\n");
}

TEST(ResponseParserAnswers, BodylessStatusesAndHead) {
  for (const char* status : {"204", "301", "302", "304", "401", "407", "199"}) {
    SCOPED_TRACE(status);
    EXPECT_NE(Whole(std::string("HTTP/1.1 ") + status + " X\r\n\r\nnot a body").find("H00"),
              std::string::npos);
  }
  // 303 and 307 without a length run to the close.
  EXPECT_NE(Whole("HTTP/1.1 303 X\r\n\r\nbody").find("D4:body"), std::string::npos);
  EXPECT_NE(Whole("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nabcde", true).find("H00"),
            std::string::npos);
  EXPECT_NE(Whole("HTTP/1.1 200 OK\r\nContent-Length: 0\r\nTransfer-Encoding: chunked\r\n\r\n")
                .find("H00"),
            std::string::npos);
}

TEST(ResponseParserAnswers, ContentLengthEndsTheDocumentAndLeavesTheRest) {
  const std::string r = "HTTP/1.0 200 OK\r\nContent-Length: 3\r\n\r\nabcdef";
  THttpResponseParser p;
  p.Reset();
  EXPECT_EQ(r.substr(FeedUntil(p, r, THttpParseEvent::End)), "def");
  EXPECT_TRUE(p.CompleteAtClose());
}

TEST(ResponseParserAnswers, ShortBodiesAreIncompleteAtTheClose) {
  THttpResponseParser p;
  p.Reset();
  FeedUntil(p, "HTTP/1.0 200 OK\r\nContent-Length: 3\r\n\r\nab", THttpParseEvent::NeedMore);
  EXPECT_FALSE(p.CompleteAtClose());
}

TEST(ResponseParserAnswers, InterimAnswerForgetsItsLengthAndCoding) {
  EXPECT_EQ(Whole("HTTP/1.1 100 Continue\r\nContent-Length: 1\r\nTransfer-Encoding: chunked\r\n"
                  "\r\n<HTML>\nAB"),
            "L0:HTTP/1.1 100 Continue|1.1|100|Continue\n"
            "L2:Content-Length: 1|content-length|1\n"
            "L2:Transfer-Encoding: chunked|transfer-encoding|chunked\nI\n"
            "H11 len -1 chunked 0\nB\nD9:<HTML>\nAB\nC1\n");
}

TEST(ResponseParserAnswers, HeaderlessAndNonHttpFirstLines) {
  EXPECT_EQ(Whole("\r\n\n<!doctype html>\r\n<p>"),
            "H11 len -1 chunked 0\nB\nD20:<!doctype html>\r\n<p>\nC1\n");
  EXPECT_EQ(Whole("ICY 200 OK\r\nname: x\r\n\r\n"),
            "L1:ICY 200 OK\nL2:name: x|name|x\nH00 len -1 chunked 0\nE 0\nC0\n");
  EXPECT_EQ(Whole("HTTP/1.1 200 OK\nSet-Cookie:   a=b\nodd line\nContent-Length: 1\n\nz"),
            "L0:HTTP/1.1 200 OK|1.1|200|OK\nL2:Set-Cookie:   a=b|set-cookie|a=b\n"
            "L3:odd line\nL2:Content-Length: 1|content-length|1\nH10 len 1 chunked 0\nB\n"
            "D1:z\nE 1\nC0\n");
}

}  // namespace
}  // namespace testsupport
