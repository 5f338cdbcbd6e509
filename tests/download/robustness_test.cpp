// The downloader against answers and handlers that go wrong in ways a correct server and
// a careful owner never show: a range answer for other bytes than asked, a handler that
// fails with a standard exception, an owner that restarts or drops the download from
// inside its events.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>

#include "download/multiparthttpdownloader.h"
#include "tests/http/pump.h"
#include "tests/support/scripted_server.h"

using testsupport::PumpFor;
using testsupport::PumpUntil;
using testsupport::ScriptedConnection;
using testsupport::ScriptedServer;

namespace {

std::string Document(size_t size) {
  std::string doc(size, '\0');
  for (size_t i = 0; i < size; ++i) doc[i] = static_cast<char>('A' + (i * 11 + i / 31) % 26);
  return doc;
}

std::string RangeOf(const std::string& request) {
  const std::string key = "\r\nRange: bytes=";
  size_t at = request.find(key);
  if (at == std::string::npos) return "";
  at += key.size();
  return request.substr(at, request.find("\r\n", at) - at);
}

std::string Partial(const std::string& doc, int64_t first, int64_t last) {
  last = std::min<int64_t>(last, static_cast<int64_t>(doc.size()) - 1);
  return "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes " + std::to_string(first) + "-" +
         std::to_string(last) + "/" + std::to_string(doc.size()) +
         "\r\nContent-Length: " + std::to_string(last - first + 1) + "\r\nConnection: close\r\n\r\n" +
         doc.substr(static_cast<size_t>(first), static_cast<size_t>(last - first + 1));
}

// Serves doc with ranges, one request per connection. twist(range, attempt) may give
// another answer (non-empty) for a request.
class Server {
 public:
  using Twist = std::function<std::string(const std::string& range, int attempt)>;
  Server(std::string doc, Twist twist)
      : doc_(std::move(doc)), twist_(std::move(twist)), server_([this](ScriptedConnection& c) { Serve(c); }) {}
  std::string Url() const { return server_.Url("/p.7z"); }
  const std::string& Doc() const { return doc_; }

 private:
  void Serve(ScriptedConnection& c) {
    const std::string range = RangeOf(c.ReadRequest());
    int attempt;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      attempt = ++attempts_[range];
    }
    if (std::string odd = twist_ ? twist_(range, attempt) : ""; !odd.empty()) {
      c.Write(odd);
      return;
    }
    if (range.empty()) {
      c.Write("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(doc_.size()) +
              "\r\nConnection: close\r\n\r\n" + doc_);
      return;
    }
    const size_t dash = range.find('-');
    c.Write(Partial(doc_, std::stoll(range.substr(0, dash)), std::stoll(range.substr(dash + 1))));
  }

  std::string doc_;
  Twist twist_;
  std::mutex mutex_;
  std::map<std::string, int> attempts_;
  ScriptedServer server_;
};

// Keeps what was written when the downloader frees it.
class TKeptStream : public TMemoryStream {
 public:
  explicit TKeptStream(std::string* out) : out_(out) {}
  ~TKeptStream() override { *out_ = data_; }

 private:
  std::string* out_;
};

struct Download {
  std::unique_ptr<TMultipartHttpDownloader> d = std::make_unique<TMultipartHttpDownloader>(nullptr);
  std::string content;
  int done = 0;
  int32_t code = 0;
  std::string reason;

  Download() {
    d->OnRequestDone = [this](TObject*, int32_t c, const std::string& why) {
      ++done;
      code = c;
      reason = why;
    };
  }
  ~Download() {
    delete d->FileStream;
    d->FileStream = nullptr;
    d.reset();
    PumpFor(30);
  }
  void Start(const std::string& url, int parts) {
    d->URL = url;
    d->PartCount = parts;
    d->FileStream = new TKeptStream(&content);
    d->Start();
  }
  bool Wait() { return PumpUntil([this] { return done > 0; }, 30000); }
};

TEST(DownloaderRobustness, AnswerForOtherBytesIsNotWrittenAtTheRange) {
  // The second part's first answer claims to be 206 but carries the document's first
  // bytes; written at the part's offset they would corrupt the package, reported as OK.
  Server server(Document(1000), [](const std::string& range, int attempt) {
    return range == "501-1000" && attempt == 1 ? Partial(Document(1000), 0, 498) : std::string();
  });
  Download run;
  run.Start(server.Url(), 2);
  ASSERT_TRUE(run.Wait());
  EXPECT_EQ(run.code, 200) << run.reason;
  EXPECT_EQ(run.content, server.Doc());
}

TEST(DownloaderRobustness, ServerThatKeepsAnsweringOtherBytesEndsTheDownload) {
  Server server(Document(1000), [](const std::string& range, int) {
    return range.rfind("501-", 0) == 0 ? Partial(Document(1000), 0, 498) : std::string();
  });
  Download run;
  run.Start(server.Url(), 2);
  ASSERT_TRUE(run.Wait());
  EXPECT_EQ(run.code, mperrPartFailed);
  EXPECT_EQ(run.done, 1);
}

TEST(DownloaderRobustness, StandardExceptionWhileStartingThePartsStillEndsTheDownload) {
  Server server(Document(100), nullptr);
  Download run;
  int segments = 0;
  run.d->OnProgressAddSegment = [&](TObject*, int64_t, int64_t, int64_t) {
    if (++segments == 2) throw std::out_of_range("no segment 1");
  };
  run.Start(server.Url(), 2);
  bool ended = false;
  EXPECT_NO_THROW(ended = run.Wait());
  ASSERT_TRUE(ended) << "the owner never heard of the end";
  EXPECT_EQ(run.code, mperrPartFailed);
  EXPECT_EQ(run.reason, "no segment 1");
}

}  // namespace
