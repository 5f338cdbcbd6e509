// The segmented downloader against a scripted server: how the document is cut into
// ranges, what ends a download, and what a misbehaving server can and cannot do to the
// file.
#include <gmock/gmock.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>

#include "download/multiparthttpdownloader.h"
#include "platform/messages.h"
#include "tests/http/pump.h"
#include "tests/platform/testutil.h"
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
    // Pauses short enough for tests; the tests of the pauses set their own.
    d->RetryDelayMs = 10;
    d->MaxRetryDelayMs = 40;
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

TEST_F(DownloaderTest, APartThatFailsGoesOnWhereItsDataStands) {
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
  EXPECT_EQ(server.PartRanges(), (std::multiset<std::string>{"0-500", "501-1000", "701-1000"}));
  EXPECT_EQ(d->TotalCount, 1000) << "no byte is fetched twice";
  EXPECT_DOUBLE_EQ(d->PercentDone, 100.0);
  EXPECT_THAT(Said("Resuming"), ElementsAre("Resuming 1 at 701"));
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
      {"range not satisfiable", [](ScriptedConnection& c) {
         c.Write("HTTP/1.1 416 Range Not Satisfiable\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
       }, 416, "Range Not Satisfiable"},
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

// ---------------------------------------------------------------------------------------
// Failures cost only what was not yet written; pauses; stalls; changed documents.

TEST_F(DownloaderTest, ABrokenConnectionCostsOnlyWhatWasNotYetWritten) {
  // Every answer breaks off after 1500 bytes of its body.
  const std::string doc = Document(10000);
  constexpr size_t kBreakAfter = 1500;
  std::atomic<int64_t> sent{0};
  std::atomic<int> breaks{0};
  RangeServer server(doc, [&](ScriptedConnection& c, const std::string& range, int) {
    if (range.empty()) return false;
    const size_t dash = range.find('-');
    const int64_t first = std::stoll(range.substr(0, dash));
    const std::string answer = Partial(doc, first, std::stoll(range.substr(dash + 1)));
    const size_t head = answer.find("\r\n\r\n") + 4;
    const size_t body = std::min(answer.size() - head, kBreakAfter);
    if (body < answer.size() - head) ++breaks;
    sent += static_cast<int64_t>(body);
    c.Write(answer.substr(0, head + body));
    return true;
  });
  Download(server.Url(), 2);

  EXPECT_EQ(code, 200) << reason;
  EXPECT_TRUE(FileContent() == doc);
  EXPECT_GE(breaks.load(), 4);
  EXPECT_EQ(d->TotalCount, 10000);
  EXPECT_LE(sent.load(), 10000 + breaks.load() * 4096) << "bytes fetched again after the breaks";
  // Each attempt asked only for what its part did not have yet.
  EXPECT_EQ(server.Count("1500-5000"), 1);
  EXPECT_EQ(server.Count("6501-10000"), 1);
}

// A server whose document is replaced once the second part's first answer broke off.
// It answers like a real one: If-Range with another version gets the whole new document.
class ChangingServer {
 public:
  enum class Mode { HonoursIfRange, IgnoresIfRange, ChangesAlways };
  ChangingServer(Mode mode, bool etags)
      : mode_(mode), etags_(etags), server_([this](ScriptedConnection& c) { Serve(c); }) {
    versions_ = {Document(1000), std::string(1200, 'N')};
  }
  std::string Url() const { return server_.Url("/pkg.7z"); }
  const std::string& Newest() const { return versions_[1]; }
  int Probes() const { return probes_; }
  std::vector<std::string> Requests() const { return server_.Requests(); }

 private:
  std::string Tag(int v) const { return etags_ ? "ETag: \"v" + std::to_string(v) + "\"" : "Last-Modified: Mon, 0" + std::to_string(v + 1) + " Jan 2024 00:00:00 GMT"; }

  void Serve(ScriptedConnection& c) {
    const std::string request = c.ReadRequest();
    if (request.empty()) return;
    const int v = version_;
    const std::string& doc = versions_[static_cast<size_t>(v)];
    const std::string range = RangeOf(request);
    const std::string whole = "HTTP/1.1 200 OK\r\n" + Tag(v) + "\r\nContent-Length: " + std::to_string(doc.size()) +
                              "\r\nConnection: close\r\n\r\n" + doc;
    if (range.empty()) {
      ++probes_;
      c.Write(whole);
      return;
    }
    const size_t at = request.find("\r\nIf-Range: ");
    const std::string ifRange = at == std::string::npos ? "" : request.substr(at + 12, request.find("\r\n", at + 12) - at - 12);
    const std::string tag = Tag(v).substr(Tag(v).find(": ") + 2);
    if (mode_ != Mode::IgnoresIfRange && ifRange != tag) {
      c.Write(whole);
      return;
    }
    const size_t dash = range.find('-');
    std::string answer = Partial(doc, std::stoll(range.substr(0, dash)), std::stoll(range.substr(dash + 1)));
    answer.insert(answer.find("\r\n") + 2, Tag(v) + "\r\n");
    if (mode_ == Mode::ChangesAlways || (v == 0 && range.rfind("501-", 0) == 0)) {
      // Breaks off, and the document is replaced meanwhile.
      c.Write(answer.substr(0, answer.find("\r\n\r\n") + 4 + 100));
      version_ = mode_ == Mode::ChangesAlways ? 1 - v : 1;
      return;
    }
    c.Write(answer);
  }

  Mode mode_;
  bool etags_;
  std::vector<std::string> versions_;
  std::atomic<int> version_{0};
  std::atomic<int> probes_{0};
  ScriptedServer server_;
};

TEST_F(DownloaderTest, ADocumentThatChangesIsFetchedAgainAsAWholeNeverMixed) {
  struct Case {
    const char* what;
    ChangingServer::Mode mode;
    bool etags;
  };
  for (const Case& k : {Case{"If-Range with a tag", ChangingServer::Mode::HonoursIfRange, true},
                        Case{"If-Range with a date", ChangingServer::Mode::HonoursIfRange, false},
                        Case{"If-Range ignored", ChangingServer::Mode::IgnoresIfRange, true}}) {
    SCOPED_TRACE(k.what);
    ChangingServer server(k.mode, k.etags);
    log = StreamLog();
    events.clear();
    doneCount = 0;
    Download(server.Url(), 2);

    EXPECT_EQ(code, 200) << reason;
    EXPECT_TRUE(FileContent() == server.Newest()) << "a mix of two versions, or the old one";
    EXPECT_EQ(d->ContentLength, 1200);
    EXPECT_EQ(server.Probes(), 2);
    EXPECT_THAT(Said("Document changed, starting again"), ::testing::SizeIs(1));
    // Every range request named the version it continues.
    for (const std::string& r : server.Requests()) {
      if (RangeOf(r).empty()) continue;
      EXPECT_THAT(r, HasSubstr("\r\nIf-Range: " + std::string(k.etags ? "\"v" : "Mon, 0")));
    }
  }
}

TEST_F(DownloaderTest, ADocumentThatKeepsChangingEndsTheDownload) {
  ChangingServer server(ChangingServer::Mode::ChangesAlways, true);
  Download(server.Url(), 2);

  EXPECT_EQ(code, mperrChanged);
  EXPECT_EQ(reason, "Document changed");
  EXPECT_EQ(server.Probes(), 1 + kMaxDocumentRestarts);
  PumpFor(300);
  EXPECT_EQ(doneCount, 1);
}

TEST_F(DownloaderTest, AStalledPartIsResumedAndAStalledProbeEndsTheDownload) {
  d->StallTimeoutMs = 300;
  const std::string doc = Document(1000);
  RangeServer server(doc, [&doc](ScriptedConnection& c, const std::string& range, int attempt) {
    if (range != "501-1000" || attempt > 1) return false;
    const std::string answer = Partial(doc, 501, 999);
    c.Write(answer.substr(0, answer.find("\r\n\r\n") + 4 + 100));
    c.WaitForPeerClose();  // and not a byte more
    return true;
  });
  Download(server.Url(), 2);

  EXPECT_EQ(code, 200) << reason;
  EXPECT_EQ(FileContent(), doc);
  EXPECT_THAT(Said("Stalled index = 1"), ::testing::SizeIs(1));
  EXPECT_EQ(server.Count("601-1000"), 1);

  RangeServer silent(doc, [](ScriptedConnection& c, const std::string&, int) {
    c.WaitForPeerClose();
    return true;
  });
  doneCount = 0;
  Download(silent.Url(), 2);
  EXPECT_EQ(code, httperrAborted);
  EXPECT_EQ(reason, "Download failed");
}

// When the server saw each request of a range.
class Arrivals {
 public:
  void Note() {
    std::lock_guard<std::mutex> lock(mutex_);
    times_.push_back(std::chrono::steady_clock::now());
  }
  // Milliseconds between one request and the next.
  std::vector<int64_t> Gaps() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<int64_t> out;
    for (size_t i = 1; i < times_.size(); ++i)
      out.push_back(std::chrono::duration_cast<std::chrono::milliseconds>(times_[i] - times_[i - 1]).count());
    return out;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::chrono::steady_clock::time_point> times_;
};

TEST_F(DownloaderTest, FailedAttemptsWaitLongerAndLongerAndStillEndAtTheBound) {
  d->RetryDelayMs = 100;
  d->MaxRetryDelayMs = 400;
  Arrivals arrivals;
  RangeServer server(Document(1000), [&](ScriptedConnection& c, const std::string& range, int) {
    if (range != "501-1000") return false;
    arrivals.Note();
    c.Write("HTTP/1.1 500 Internal Server Error\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
    return true;
  });
  Download(server.Url(), 2);

  EXPECT_EQ(code, 500);
  const std::vector<int64_t> gaps = arrivals.Gaps();
  ASSERT_EQ(gaps.size(), static_cast<size_t>(kMaxPartFailures - 1));
  const int64_t least[] = {100, 200, 400, 400};
  for (size_t i = 0; i < gaps.size(); ++i) EXPECT_GE(gaps[i], least[i] - 5) << "pause " << i;
}

TEST_F(DownloaderTest, RetryAfterIsWaitedForWithinItsBound) {
  const std::string doc = Document(1000);
  Arrivals arrivals;
  RangeServer server(doc, [&](ScriptedConnection& c, const std::string& range, int attempt) {
    if (range != "501-1000") return false;
    arrivals.Note();
    if (attempt == 1) {
      c.Write("HTTP/1.1 503 Service Unavailable\r\nRetry-After: 1\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
      return true;
    }
    if (attempt == 2) {
      // Asks for an hour: the bound holds.
      c.Write("HTTP/1.1 429 Too Many Requests\r\nRetry-After: 3600\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
      return true;
    }
    return false;
  });
  d->MaxRetryAfterMs = 1500;
  Download(server.Url(), 2);

  EXPECT_EQ(code, 200) << reason;
  EXPECT_EQ(FileContent(), doc);
  const std::vector<int64_t> gaps = arrivals.Gaps();
  ASSERT_EQ(gaps.size(), 2u);
  EXPECT_GE(gaps[0], 995) << "Retry-After: 1 was not kept";
  EXPECT_GE(gaps[1], 1495);
  EXPECT_LT(gaps[1], 10000) << "the bound on Retry-After did not hold";
}

// ---------------------------------------------------------------------------------------
// The state across runs.

class StateTest : public DownloaderTest {
 protected:
  // A download into the package file of the scratch folder, opened as the updater
  // opens it: kept when a state lies beside it.
  void Run(const std::string& url);
 public:
  std::string Package() const { return dir / "rjsj.7z"; }
  std::string StateFile() const { return dir / "rjsj.7z.state"; }
  std::string Read(const std::string& path) const { return testutil::ReadFile(path); }

 protected:
  testutil::TempDir dir;
};

void StateTest::Run(const std::string& url) {
  doneCount = 0;
  events.clear();
  segments.clear();
  SetUp();  // a new downloader, as a new run has
  d->SetStateFileName(StateFile());
  d->URL = url;
  d->PartCount = 2;
  const bool keep = std::filesystem::exists(StateFile()) && std::filesystem::exists(Package());
  d->FileStream = new TFileStream(Package(), keep ? fmOpenReadWrite | fmShareExclusive : fmCreate);
  d->Start();
  ASSERT_TRUE(PumpUntil([this] { return doneCount > 0; }, 30000)) << "the download never ended";
  delete d->FileStream;
  d->FileStream = nullptr;
}

std::string Tagged(const std::string& answer, const std::string& tag) {
  std::string out = answer;
  out.insert(out.find("\r\n") + 2, "ETag: " + tag + "\r\n");
  return out;
}

// One address for every run of a test: a range server whose answers carry a tag, and
// which breaks the second part off after 200 bytes and then fails it for good while
// `failing` holds. What it serves can be replaced between runs.
class TaggedServer {
 public:
  TaggedServer(std::string doc, std::string tag)
      : doc_(std::move(doc)), tag_(std::move(tag)), server_([this](ScriptedConnection& c) { Serve(c); }) {}
  std::string Url() const { return server_.Url("/pkg.7z"); }
  void Publish(std::string doc, std::string tag) {
    std::lock_guard<std::mutex> lock(mutex_);
    doc_ = std::move(doc);
    tag_ = std::move(tag);
    ranges_.clear();
  }
  // The ranges asked for since the last Publish.
  std::multiset<std::string> PartRanges() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return ranges_;
  }
  std::atomic<bool> failing{true};

 private:
  void Serve(ScriptedConnection& c) {
    const std::string range = RangeOf(c.ReadRequest());
    std::string doc, tag;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      doc = doc_;
      tag = tag_;
      if (!range.empty()) ranges_.insert(range);
    }
    if (range.empty()) {
      c.Write(Tagged(Whole(doc), tag));
      return;
    }
    const size_t dash = range.find('-');
    const int64_t first = std::stoll(range.substr(0, dash));
    const std::string answer = Tagged(Partial(doc, first, std::stoll(range.substr(dash + 1))), tag);
    if (failing && first >= 501) {
      if (first == 501)
        c.Write(answer.substr(0, answer.find("\r\n\r\n") + 4 + 200));
      else
        c.Write("HTTP/1.1 500 Internal Server Error\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
      return;
    }
    c.Write(answer);
  }

  mutable std::mutex mutex_;
  std::string doc_;
  std::string tag_;
  std::multiset<std::string> ranges_;
  ScriptedServer server_;
};

TEST_F(StateTest, TheNextRunFetchesOnlyWhatIsMissing) {
  const std::string doc = Document(1000);
  TaggedServer server(doc, "\"t1\"");
  Run(server.Url());
  ASSERT_NE(code, 200);
  ASSERT_TRUE(std::filesystem::exists(StateFile())) << "a failed download leaves its state";

  server.Publish(doc, "\"t1\"");
  server.failing = false;
  Run(server.Url());

  EXPECT_EQ(code, 200) << reason;
  EXPECT_EQ(Read(Package()), doc);
  EXPECT_EQ(server.PartRanges(), (std::multiset<std::string>{"701-1000"})) << "only the missing bytes";
  EXPECT_FALSE(std::filesystem::exists(StateFile())) << "removed once complete";
  EXPECT_THAT(Said("Resuming from"), ElementsAre(HasSubstr("held = 701")));
  EXPECT_EQ(d->TotalCount, 1000);
  EXPECT_THAT(segments, ElementsAre("0,500,501", "501,499,701"));
}

TEST_F(StateTest, AStateThatDoesNotMatchStartsAfresh) {
  const std::string doc = Document(1000);
  struct Case {
    const char* what;
    std::function<void(StateTest&)> spoil;
    std::string tag;
    size_t length;
  };
  const std::vector<Case> cases = {
      {"another release", [](StateTest&) {}, "\"t2\"", 1000},
      {"another length", [](StateTest&) {}, "\"t1\"", 900},
      {"damaged", [](StateTest& t) { testutil::WriteFile(t.StateFile(), "segmented-download 1\nurl x\n"); }, "\"t1\"", 1000},
      {"past the file", [](StateTest& t) { std::filesystem::resize_file(t.Package(), 300); }, "\"t1\"", 1000},
      {"of another URL", [](StateTest& t) {
         std::string s = t.Read(t.StateFile());
         s.replace(s.find("/pkg"), 4, "/old");
         testutil::WriteFile(t.StateFile(), s);
       }, "\"t1\"", 1000},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    std::filesystem::remove(StateFile());
    std::filesystem::remove(Package());
    TaggedServer server(doc, "\"t1\"");
    Run(server.Url());
    ASSERT_TRUE(std::filesystem::exists(StateFile()));
    // The file holds more than the next document: nothing of it may stay.
    {
      std::ofstream grow(Package(), std::ios::binary | std::ios::app);
      grow << std::string(3000, '#');
    }
    k.spoil(*this);
    const std::string next(k.length, 'n');
    server.Publish(next, k.tag);
    server.failing = false;
    Run(server.Url());
    EXPECT_EQ(code, 200) << reason;
    EXPECT_TRUE(Read(Package()) == next);
    const std::string half = std::to_string(k.length / 2);
    EXPECT_EQ(server.PartRanges(),
              (std::multiset<std::string>{"0-" + half, std::to_string(k.length / 2 + 1) + "-" + std::to_string(k.length)}));
    EXPECT_TRUE(Said("Resuming from").empty());
  }
}

TEST_F(StateTest, NoStateFileNameLeavesTheStreamAndDiskAlone) {
  const std::string doc = Document(1000);
  TaggedServer server(doc, "\"t1\"");
  d->URL = server.Url();
  d->PartCount = 2;
  stream = new TWatchedStream(&log);
  d->FileStream = stream;
  d->Start();
  ASSERT_TRUE(PumpUntil([this] { return doneCount > 0; }, 30000));
  EXPECT_NE(code, 200);
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
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
