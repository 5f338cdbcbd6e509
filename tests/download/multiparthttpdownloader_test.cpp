// The segmented downloader against a scripted server: how the document is cut into
// ranges, what ends a download, and what a misbehaving server can and cannot do to the
// file.
#include <gmock/gmock.h>

#include <atomic>
#include <cmath>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>

#include "download/multiparthttpdownloader.h"
#include "platform/messages.h"
#include "tests/http/pump.h"
#include "tests/support/scripted_server.h"

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using testsupport::PumpFor;
using testsupport::PumpUntil;
using testsupport::ScriptedConnection;
using testsupport::ScriptedServer;

namespace {

std::string Document(size_t size) {
  std::string doc(size, '\0');
  for (size_t i = 0; i < size; ++i) doc[i] = static_cast<char>('a' + (i * 7 + i / 26) % 26);
  return doc;
}

// The Range header of a request: "0-500", or "" without one.
std::string RangeOf(const std::string& request) {
  const std::string key = "\r\nRange: bytes=";
  size_t at = request.find(key);
  if (at == std::string::npos) return "";
  at += key.size();
  return request.substr(at, request.find("\r\n", at) - at);
}

std::string Whole(const std::string& doc) {
  return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(doc.size()) +
         "\r\nAccept-Ranges: bytes\r\nConnection: close\r\n\r\n" + doc;
}

// A 206 for first..last (last clipped to the document), as a range-capable server answers.
std::string Partial(const std::string& doc, int64_t first, int64_t last) {
  last = std::min<int64_t>(last, static_cast<int64_t>(doc.size()) - 1);
  return "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes " + std::to_string(first) + "-" +
         std::to_string(last) + "/" + std::to_string(doc.size()) + "\r\nContent-Length: " +
         std::to_string(last - first + 1) + "\r\nConnection: close\r\n\r\n" + doc.substr(first, last - first + 1);
}

// One request per connection. The script may answer a request itself (returning true);
// otherwise the server answers as a correct range-capable server would.
class RangeServer {
 public:
  using Script = std::function<bool(ScriptedConnection&, const std::string& range, int attempt)>;

  RangeServer(std::string doc, Script script = nullptr)
      : doc_(std::move(doc)), script_(std::move(script)), server_([this](ScriptedConnection& c) { Serve(c); }) {}

  std::string Url() const { return server_.Url("/pkg/%E5%8C%85.7z"); }
  const std::string& Doc() const { return doc_; }
  // The ranges asked for, in arrival order ("" for a plain GET).
  std::vector<std::string> Ranges() const {
    std::vector<std::string> out;
    for (const auto& r : server_.Requests()) out.push_back(RangeOf(r));
    return out;
  }
  std::vector<std::string> Paths() const {
    std::vector<std::string> out;
    for (const auto& r : server_.Requests()) out.push_back(r.substr(4, r.find(' ', 4) - 4));
    return out;
  }
  // The ranges of every request after the probe, in no particular order.
  std::multiset<std::string> PartRanges() const {
    std::vector<std::string> all = Ranges();
    return std::multiset<std::string>(all.begin() + (all.empty() ? 0 : 1), all.end());
  }
  int Count(const std::string& range) const {
    std::vector<std::string> all = Ranges();
    return static_cast<int>(std::count(all.begin(), all.end(), range));
  }
  int Connections() const { return server_.ConnectionCount(); }

 private:
  void Serve(ScriptedConnection& conn) {
    const std::string request = conn.ReadRequest();
    if (request.empty()) return;
    const std::string range = RangeOf(request);
    int attempt;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      attempt = ++attempts_[range];
    }
    if (script_ && script_(conn, range, attempt)) return;
    if (range.empty()) {
      conn.Write(Whole(doc_));
      return;
    }
    const size_t dash = range.find('-');
    conn.Write(Partial(doc_, std::stoll(range.substr(0, dash)), std::stoll(range.substr(dash + 1))));
  }

  std::string doc_;
  Script script_;
  std::mutex mutex_;
  std::map<std::string, int> attempts_;
  ScriptedServer server_;
};

// A memory stream that tells what was written where and whether it was freed.
struct StreamLog {
  bool freed = false;
  std::string content;
  std::vector<std::pair<int64_t, int64_t>> writes;  // offset, length
  int64_t Written() const {
    int64_t n = 0;
    for (auto& w : writes) n += w.second;
    return n;
  }
};

class TWatchedStream : public TMemoryStream {
 public:
  explicit TWatchedStream(StreamLog* log) : log_(log) {}
  ~TWatchedStream() override {
    log_->freed = true;
    log_->content = data_;
  }
  int64_t Write(const void* buffer, int64_t count) override {
    log_->writes.emplace_back(position_, count);
    return TMemoryStream::Write(buffer, count);
  }
  const std::string& Data() const { return data_; }

 private:
  StreamLog* log_;
};

// Opens the statistics sample to the tests.
class TOpenDownloader : public TMultipartHttpDownloader {
 public:
  using TMultipartHttpDownloader::TMultipartHttpDownloader;
  using TMultipartHttpDownloader::PrevCount;
  using TMultipartHttpDownloader::PrevTick;
  using TMultipartHttpDownloader::StatsTick;
};

class DownloaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    d = std::make_unique<TOpenDownloader>(nullptr);
    d->OnDisplay = [this](TObject*, const std::string& m) { events.push_back("say " + m); };
    d->OnShowStats = [this](TObject*) {
      EXPECT_TRUE(std::isfinite(d->CurSpeed) && d->CurSpeed >= 0) << d->CurSpeed;
      events.push_back(d->FileStream ? "stats" : "stats without stream");
    };
    d->OnProgressAddSegment = [this](TObject*, int64_t s, int64_t span, int64_t init) {
      segments.push_back(std::to_string(s) + "," + std::to_string(span) + "," + std::to_string(init));
    };
    d->OnProgressSetPosition = [this](TObject*, int32_t i, int64_t p) {
      events.push_back("pos " + std::to_string(i) + " " + std::to_string(p));
    };
    d->OnRequestDone = [this](TObject*, int32_t code, const std::string& why) {
      ++doneCount;
      this->code = code;
      reason = why;
      streamHeldAtDone = d->FileStream != nullptr;
      freedAtDone = log.freed;
      events.push_back("done " + std::to_string(code) + " " + why);
    };
  }

  void TearDown() override {
    delete d->FileStream;
    d->FileStream = nullptr;
    d.reset();
    PumpFor(50);
  }

  // Starts a download into a watched stream and runs the loop until it ends.
  void Download(const std::string& url, int parts) {
    d->URL = url;
    d->PartCount = parts;
    stream = new TWatchedStream(&log);
    d->FileStream = stream;
    d->Start();
    ASSERT_TRUE(PumpUntil([this] { return doneCount > 0; }, 30000)) << "the download never ended";
  }

  // What the file holds now, whoever freed the stream.
  std::string FileContent() const { return log.freed ? log.content : stream->Data(); }

  std::vector<std::string> Said(const std::string& prefix) const {
    std::vector<std::string> out;
    for (const auto& e : events)
      if (e.rfind("say " + prefix, 0) == 0) out.push_back(e.substr(4));
    return out;
  }

  std::unique_ptr<TOpenDownloader> d;
  StreamLog log;
  TWatchedStream* stream = nullptr;
  std::vector<std::string> events;
  std::vector<std::string> segments;
  int doneCount = 0;
  int32_t code = 0;
  std::string reason;
  bool streamHeldAtDone = true;
  bool freedAtDone = false;
};

TEST_F(DownloaderTest, SplitsAThousandBytesIntoTwoTouchingRanges) {
  RangeServer server(Document(1000));
  Download(server.Url(), 2);

  EXPECT_EQ(code, 200);
  EXPECT_EQ(reason, "OK");
  EXPECT_EQ(server.Ranges()[0], "") << "the probe asks for the whole document";
  EXPECT_EQ(server.PartRanges(),
            (std::multiset<std::string>{"0-500", "501-1000"}));
  EXPECT_THAT(segments, ElementsAre("0,500,0", "501,499,501"));
  EXPECT_EQ(FileContent(), server.Doc());
  EXPECT_EQ(d->TotalCount, 1000);
  EXPECT_EQ(d->ContentLength, 1000);
  EXPECT_DOUBLE_EQ(d->PercentDone, 100.0);

  // On success the stream is freed before the owner hears of it.
  EXPECT_TRUE(freedAtDone);
  EXPECT_FALSE(streamHeldAtDone);
  EXPECT_EQ(doneCount, 1);
  ASSERT_GE(events.size(), 6u);
  EXPECT_THAT(std::vector<std::string>(events.end() - 5, events.end()),
              ElementsAre("stats", "stats", "say Done", "say All done", "done 200 OK"));
  EXPECT_THAT(Said("HeaderEnd"),
              ElementsAre("HeaderEnd ContentLength = 1000", "HeaderEnd AcceptRanges = bytes",
                          "HeaderEnd DocName = 包.7z", "HeaderEnd StatusCode = 200 OK"));
  // Each part's last position is the end of what it received.
  EXPECT_NE(std::find(events.begin(), events.end(), "pos 0 501"), events.end());
  EXPECT_NE(std::find(events.begin(), events.end(), "pos 1 1000"), events.end());
}

TEST_F(DownloaderTest, SplitsTenBytesIntoThreeRangesTheLastOneShorter) {
  RangeServer server(Document(10));
  Download(server.Url(), 3);

  EXPECT_EQ(code, 200);
  EXPECT_EQ(server.PartRanges(),
            (std::multiset<std::string>{"0-3", "4-7", "8-10"}));
  EXPECT_THAT(segments, ElementsAre("0,3,0", "4,3,4", "8,2,8"));
  EXPECT_EQ(FileContent(), server.Doc());
}

TEST_F(DownloaderTest, ADocumentShorterThanThePartCountLeavesSomePartsEmpty) {
  RangeServer server(Document(3));
  Download(server.Url(), 5);

  EXPECT_EQ(code, 200);
  EXPECT_EQ(FileContent(), server.Doc());
  // Parts 3 and 4 would start past the end: they are not asked for.
  EXPECT_EQ(server.PartRanges(),
            (std::multiset<std::string>{"0-0", "1-1", "2-2"}));
}

TEST_F(DownloaderTest, APartCountBelowOneIsRefusedBeforeAnythingHappens) {
  RangeServer server(Document(100));
  for (int parts : {0, -3}) {
    d->URL = server.Url();
    d->PartCount = parts;
    d->TotalCount = 77;
    try {
      d->Start();
      FAIL() << "Start accepted PartCount " << parts;
    } catch (const ERangeError& e) {
      EXPECT_EQ(e.Message(), "PartCount must be positive");
    }
    EXPECT_EQ(d->TotalCount, 77);
  }
  PumpFor(300);
  EXPECT_EQ(server.Connections(), 0);
  EXPECT_TRUE(events.empty());
  EXPECT_EQ(doneCount, 0);
}

TEST_F(DownloaderTest, A404ProbeEndsWithTheStatusAndLeavesTheStreamAlone) {
  RangeServer server(Document(100), [](ScriptedConnection& c, const std::string&, int) {
    c.Write("HTTP/1.1 404 Not Found\r\nContent-Length: 9\r\nConnection: close\r\n\r\nnot here!");
    return true;
  });
  Download(server.Url(), 2);

  EXPECT_EQ(code, 404);
  EXPECT_EQ(reason, "Not Found");
  EXPECT_TRUE(streamHeldAtDone);
  EXPECT_FALSE(log.freed);
  EXPECT_TRUE(log.writes.empty());
  EXPECT_TRUE(segments.empty());
  EXPECT_THAT(Said("StatusCode"), ElementsAre("StatusCode = 404 Not Found"));
  // No ranges and no statistics timer follow.
  const size_t seen = events.size();
  PumpFor(1300);
  EXPECT_EQ(server.Connections(), 1);
  EXPECT_EQ(events.size(), seen);
}

TEST_F(DownloaderTest, A200ProbeWithoutALengthEndsWithTheAbortCode) {
  RangeServer server(Document(100), [](ScriptedConnection& c, const std::string&, int) {
    c.Write("HTTP/1.0 200 OK\r\nContent-Type: application/octet-stream\r\n\r\nsome bytes of unknown number");
    c.WaitForPeerClose();
    return true;
  });
  Download(server.Url(), 2);

  EXPECT_EQ(code, httperrAborted);
  EXPECT_EQ(reason, "Download failed");
  EXPECT_TRUE(segments.empty());
  EXPECT_TRUE(log.writes.empty());
  EXPECT_FALSE(log.freed);
  PumpFor(200);
  EXPECT_EQ(server.Connections(), 1);
}

TEST_F(DownloaderTest, APartThatFailsIsFetchedAgainFromItsStart) {
  const std::string doc = Document(1000);
  RangeServer server(doc, [&doc](ScriptedConnection& c, const std::string& range, int attempt) {
    if (range != "501-1000" || attempt > 1) return false;
    // Announces the whole range, sends 200 bytes of it and hangs up.
    std::string answer = Partial(doc, 501, 999);
    c.Write(answer.substr(0, answer.size() - 299));
    return true;
  });
  Download(server.Url(), 2);

  EXPECT_EQ(code, 200);
  EXPECT_EQ(FileContent(), doc);
  EXPECT_EQ(server.Count("501-1000"), 2);
  // The bytes of the failed attempt still count, so the percentage passes 100.
  EXPECT_EQ(d->TotalCount, 1200);
  EXPECT_DOUBLE_EQ(d->PercentDone, 120.0);
  EXPECT_THAT(Said("Restarting"), ElementsAre("Restarting 1"));
  const auto restart = std::find(events.begin(), events.end(), "say Restarting 1");
  ASSERT_NE(restart, events.end());
  EXPECT_EQ(*(restart + 1), "pos 1 501") << "the segment goes back to its start";
}

TEST_F(DownloaderTest, ARangeAnsweredWithTheWholeDocumentWritesNothing) {
  const std::string doc = Document(1000);
  RangeServer server(doc, [](ScriptedConnection& c, const std::string& range, int attempt) {
    if (range != "501-1000" || attempt > 1) return false;
    c.Write(Whole(std::string(1000, 'Z')));
    return true;
  });
  Download(server.Url(), 2);

  EXPECT_EQ(code, 200);
  EXPECT_EQ(FileContent(), doc);
  EXPECT_EQ(log.Written(), 1000) << "only the two range answers reach the file";
  EXPECT_EQ(d->TotalCount, 1000);
  EXPECT_THAT(Said("Download done index = 1"),
              ElementsAre("Download done index = 1  Status = 200", "Download done index = 1 OK"));
}

TEST_F(DownloaderTest, ARangeAnswerForOtherBytesIsNotWrittenAtTheRange) {
  // The second part's first answer is a 206 carrying the document's first bytes (a
  // confused cache on the way): written at the part's offset it would corrupt the file.
  const std::string doc = Document(1000);
  RangeServer server(doc, [&doc](ScriptedConnection& c, const std::string& range, int attempt) {
    if (range != "501-1000" || attempt > 1) return false;
    c.Write(Partial(doc, 0, 498));
    return true;
  });
  Download(server.Url(), 2);

  EXPECT_EQ(code, 200) << reason;
  EXPECT_EQ(FileContent(), doc);
  EXPECT_EQ(log.Written(), 1000) << "only the answers for the asked bytes reach the file";
  EXPECT_EQ(server.Count("501-1000"), 2);
}

TEST_F(DownloaderTest, AServerThatKeepsAnsweringOtherBytesEndsTheDownload) {
  const std::string doc = Document(1000);
  RangeServer server(doc, [&doc](ScriptedConnection& c, const std::string& range, int) {
    if (range.rfind("501-", 0) != 0) return false;
    c.Write(Partial(doc, 0, 498));
    return true;
  });
  Download(server.Url(), 2);

  EXPECT_EQ(code, mperrPartFailed);
  EXPECT_EQ(doneCount, 1);
  PumpFor(100);
  EXPECT_EQ(doneCount, 1);
}

TEST_F(DownloaderTest, WithAnExpectedLengthARangeAnswerLongerThanItsRangeStopsTheDownload) {
  // The first part asked for 0-500; the answer carries the whole document and more.
  const std::string doc = Document(1000);
  d->ExpectedLength = 1000;
  RangeServer server(doc, [](ScriptedConnection& c, const std::string& range, int) {
    if (range != "0-500") return false;
    const std::string body(3000, 'Z');
    c.Write("HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 0-2999/3000\r\nContent-Length: 3000\r\n"
            "Connection: close\r\n\r\n" + body);
    return true;
  });
  Download(server.Url(), 2);

  EXPECT_EQ(code, mperrLength);
  EXPECT_EQ(reason, "Range answer longer than its range");
  for (const auto& [offset, length] : log.writes) EXPECT_LE(offset + length, 1000) << "the file grew past the document";
  EXPECT_EQ(FileContent().find('Z', 501), std::string::npos) << "the second part's bytes were overwritten";
  EXPECT_EQ(doneCount, 1);
  PumpFor(100);
  EXPECT_EQ(doneCount, 1);
}

TEST_F(DownloaderTest, AnExpectedLengthRefusesAnotherBeforeAnyRangeIsAskedFor) {
  const std::string doc = Document(1000);
  RangeServer server(doc);
  d->ExpectedLength = 999;
  Download(server.Url(), 2);
  EXPECT_EQ(code, mperrLength);
  EXPECT_EQ(reason, "Document length 1000 is not the expected 999");
  EXPECT_THAT(server.Ranges(), ElementsAre(""));
  EXPECT_EQ(log.Written(), 0);

  // The owner frees the stream of a failed download.
  delete d->FileStream;
  d->FileStream = nullptr;
  log = StreamLog();
  doneCount = 0;
  d->ExpectedLength = 1000;
  Download(server.Url(), 2);
  EXPECT_EQ(code, 200);
  EXPECT_EQ(FileContent(), doc);
}

TEST_F(DownloaderTest, AStandardExceptionWhileStartingThePartsStillEndsTheDownload) {
  RangeServer server(Document(100));
  int added = 0;
  d->OnProgressAddSegment = [&](TObject*, int64_t, int64_t, int64_t) {
    if (++added == 2) throw std::out_of_range("no segment 1");
  };
  EXPECT_NO_THROW(Download(server.Url(), 2));

  EXPECT_EQ(code, mperrPartFailed);
  EXPECT_EQ(reason, "no segment 1");
}

TEST_F(DownloaderTest, APartThatKeepsFailingEndsTheDownloadWithAnError) {
  struct Case {
    const char* what;
    std::function<void(ScriptedConnection&)> answer;
    int32_t code;
    const char* reason;
  };
  const std::vector<Case> cases = {
      {"ranges ignored", [](ScriptedConnection& c) { c.Write(Whole(std::string(1000, 'Z'))); }, mperrPartFailed,
       "Range not served: 200 OK"},
      {"no answer", [](ScriptedConnection&) {}, 10054, "Download failed"},
      {"server error", [](ScriptedConnection& c) {
         c.Write("HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
       }, 503, "Service Unavailable"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    RangeServer server(Document(1000), [&k](ScriptedConnection& c, const std::string& range, int) {
      if (range != "501-1000") return false;
      k.answer(c);
      return true;
    });
    log = StreamLog();
    events.clear();
    doneCount = 0;
    Download(server.Url(), 2);

    EXPECT_EQ(code, k.code);
    EXPECT_EQ(reason, k.reason);
    EXPECT_FALSE(log.freed) << "the owner frees the stream after a failure";
    for (auto& w : log.writes) EXPECT_LT(w.first, 501) << "nothing of the failing part is written";
    // Nothing goes on after the end: no more attempts, no second end.
    PumpFor(1200);
    EXPECT_EQ(server.Count("501-1000"), kMaxPartFailures);
    EXPECT_LE(server.Ranges().size(), 2u + kMaxPartFailures);
    EXPECT_EQ(doneCount, 1);
    delete d->FileStream;
    d->FileStream = nullptr;
  }
}

TEST_F(DownloaderTest, AShortRangeAnswerIsResumedWhereItsDataStands) {
  const std::string doc = Document(1000);
  RangeServer server(doc, [&doc](ScriptedConnection& c, const std::string& range, int attempt) {
    if (attempt > 1) return false;
    if (range == "501-1000") {
      // A well-formed answer for less than was asked.
      c.Write(Partial(doc, 501, 700));
      return true;
    }
    if (range == "0-500") {
      // No length: the answer ends with the connection, early.
      c.Write("HTTP/1.0 206 Partial Content\r\nContent-Range: bytes 0-500/1000\r\n\r\n" + doc.substr(0, 100));
      return true;
    }
    return false;
  });
  Download(server.Url(), 2);

  EXPECT_EQ(code, 200);
  EXPECT_EQ(FileContent(), doc) << "no truncated package is handed on";
  EXPECT_EQ(d->TotalCount, 1000);
  EXPECT_EQ(server.PartRanges(),
            (std::multiset<std::string>{"0-500", "100-500", "501-1000", "701-1000"}));
  const std::vector<std::string> resumed = Said("Resuming");
  EXPECT_EQ(std::multiset<std::string>(resumed.begin(), resumed.end()),
            (std::multiset<std::string>{"Resuming 0 at 100", "Resuming 1 at 701"}));
}

TEST_F(DownloaderTest, AShortAnswerThatBringsNoNewBytesCannotKeepThePartGoing) {
  // Every range from 0 gets the same three bytes, every other range an error: the part
  // never gets further, so the bound on failures must end it.
  const std::string doc = Document(4);
  RangeServer server(doc, [&doc](ScriptedConnection& c, const std::string& range, int) {
    if (range.empty()) return false;
    if (range.rfind("0-", 0) == 0) {
      // No length: the answer ends with the connection, and looks complete.
      c.Write("HTTP/1.0 206 Partial Content\r\nContent-Range: bytes 0-3/4\r\n\r\n" + doc.substr(0, 3));
      return true;
    }
    c.Write("HTTP/1.1 500 Internal Server Error\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
    return true;
  });
  Download(server.Url(), 1);

  EXPECT_NE(code, 200);
  EXPECT_EQ(doneCount, 1);
  EXPECT_LE(server.Ranges().size(), 1u + 2u * kMaxPartFailures);
  EXPECT_TRUE(Said("All done").empty());
  PumpFor(300);
  EXPECT_EQ(doneCount, 1);
}

TEST_F(DownloaderTest, ARangeAnswerLongerThanTheRangeIsClippedToIt) {
  // Part 0 is answered late with more than it asked for: the excess would land on part
  // 1's bytes, which are already in place.
  const std::string doc = Document(1000);
  std::string overlong = doc.substr(0, 501) + std::string(499, 'Z');
  RangeServer server(doc, [&overlong](ScriptedConnection& c, const std::string& range, int) {
    if (range != "0-500") return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    c.Write("HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 0-999/1000\r\nContent-Length: 1000\r\n"
            "Connection: close\r\n\r\n" + overlong);
    return true;
  });
  Download(server.Url(), 2);

  EXPECT_EQ(code, 200) << reason;
  EXPECT_EQ(FileContent(), doc);
  EXPECT_EQ(log.Written(), 1000);
  for (auto& w : log.writes) EXPECT_TRUE(w.first >= 501 || w.first + w.second <= 501) << w.first << "+" << w.second;
}

TEST_F(DownloaderTest, ALengthThePartsCannotLayOutIsAnErrorNeverSuccess) {
  struct Case {
    const char* length;
    bool refused;
  };
  for (const Case& k : {Case{"9223372036854775807", true}, Case{"4611686018427387905", true},
                        Case{"4611686018427387904", false}}) {
    SCOPED_TRACE(k.length);
    const std::string length = k.length;
    RangeServer server("", [&length](ScriptedConnection& c, const std::string& range, int) {
      if (range.empty())
        c.Write("HTTP/1.1 200 OK\r\nContent-Length: " + length + "\r\nConnection: close\r\n\r\n");
      else
        c.Write("HTTP/1.1 206 Partial Content\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
      return true;
    });
    log = StreamLog();
    events.clear();
    segments.clear();
    doneCount = 0;
    Download(server.Url(), 2);

    EXPECT_NE(code, 200);
    EXPECT_TRUE(Said("All done").empty());
    EXPECT_TRUE(log.writes.empty());
    if (k.refused) {
      EXPECT_EQ(code, mperrTooLong);
      EXPECT_EQ(reason, "Document too long");
      EXPECT_TRUE(segments.empty());
      EXPECT_EQ(server.Ranges().size(), 1u);
    } else {
      EXPECT_THAT(segments, ElementsAre("0,2305843009213693952,0",
                                        "2305843009213693953,2305843009213693951,2305843009213693953"));
    }
    delete d->FileStream;
    d->FileStream = nullptr;
  }
}

TEST_F(DownloaderTest, ARelocatedPartAsksForTheRestOfItsRange) {
  const std::string doc = Document(1000);
  RangeServer server(doc, [&doc](ScriptedConnection& c, const std::string& range, int attempt) {
    if (range == "501-1000" && attempt == 1) {
      c.Write(Partial(doc, 501, 600));
      return true;
    }
    if (range == "601-1000" && attempt == 1) {
      c.Write("HTTP/1.1 302 Found\r\nLocation: /mirror/pkg.7z\r\nContent-Length: 5\r\nConnection: close\r\n\r\nmoved");
      return true;
    }
    return false;
  });
  Download(server.Url(), 2);

  EXPECT_EQ(code, 200);
  EXPECT_EQ(FileContent(), doc);
  EXPECT_EQ(server.Ranges().back(), "601-1000");
  EXPECT_EQ(server.Paths().back(), "/mirror/pkg.7z");
  EXPECT_EQ(d->TotalCount, 1000) << "the relocation's own body is not part of the document";
  EXPECT_THAT(Said("LocationChange"), ElementsAre(HasSubstr("/mirror/pkg.7z")));
}

TEST_F(DownloaderTest, StartingAgainForgetsTheLastDownload) {
  RangeServer server(Document(1000));
  Download(server.Url(), 2);
  ASSERT_EQ(code, 200);
  doneCount = 0;
  log = StreamLog();
  segments.clear();
  Download(server.Url(), 3);
  EXPECT_EQ(code, 200);
  EXPECT_EQ(d->TotalCount, 1000);
  EXPECT_EQ(d->Parts().size(), 3u);
  EXPECT_EQ(segments.size(), 3u);
  EXPECT_EQ(FileContent(), server.Doc());
}

TEST_F(DownloaderTest, SpeedIsZeroWhenNoTimeHasPassedAndRightAcrossTheTickWrap) {
  // Two samples in a row: nothing arrived and (usually) not a millisecond passed.
  d->StatsTick(nullptr);
  d->StatsTick(nullptr);
  EXPECT_EQ(d->CurSpeed, 0.0);

  // 125000 bytes over the second in which the tick count wraps: 1000 kilobits per second.
  struct Bias {
    ~Bias() { platform::SetTickCountBias(0); }
  } reset;
  const uint32_t raw = platform::GetTickCount();
  platform::SetTickCountBias(0xFFFFFFFFu - 500 - raw);
  d->PrevTick = platform::GetTickCount();
  d->PrevCount = 0;
  d->TotalCount = 125000;
  platform::SetTickCountBias(0xFFFFFFFFu - 500 - raw + 1000);
  d->StatsTick(nullptr);
  EXPECT_NEAR(d->CurSpeed, 1000.0, 10.0);
}

}  // namespace
