// The downloader and its part clients freed or replaced from inside their own events
// while a handler runs a nested loop: nothing may be freed under an event still running.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <thread>

#include "download/multiparthttpdownloader.h"
#include "tests/http/pump.h"
#include "tests/support/scripted_server.h"

using testsupport::PumpFor;
using testsupport::PumpUntil;
using testsupport::ScriptedConnection;
using testsupport::ScriptedServer;

namespace {

// Serves a document of `size` bytes, ranges included, slowly enough that a download
// lasts over several statistics ticks.
class SlowServer {
 public:
  explicit SlowServer(size_t size, int pauseMs = 0)
      : doc_(size, 'd'), pauseMs_(pauseMs), server_([this](ScriptedConnection& c) { Serve(c); }) {}
  std::string Url() const { return server_.Url("/p.7z"); }

 private:
  void Serve(ScriptedConnection& c) {
    const std::string request = c.ReadRequest();
    const std::string key = "\r\nRange: bytes=";
    size_t at = request.find(key);
    size_t first = 0, last = doc_.size() - 1;
    std::string head = "HTTP/1.1 200 OK\r\n";
    if (at != std::string::npos) {
      at += key.size();
      first = std::stoul(request.substr(at));
      last = std::min<size_t>(std::stoul(request.substr(request.find('-', at) + 1)), doc_.size() - 1);
      head = "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes " + std::to_string(first) + "-" +
             std::to_string(last) + "/" + std::to_string(doc_.size()) + "\r\n";
    }
    c.Write(head + "Content-Length: " + std::to_string(last - first + 1) + "\r\nConnection: close\r\n\r\n");
    for (size_t p = first; p <= last; p += 4096) {
      c.Write(doc_.substr(p, std::min<size_t>(4096, last + 1 - p)));
      if (pauseMs_) std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs_));
    }
  }

  std::string doc_;
  int pauseMs_;
  ScriptedServer server_;
};

class TWatchedDownloader : public TMultipartHttpDownloader {
 public:
  explicit TWatchedDownloader(bool* gone) : TMultipartHttpDownloader(nullptr), gone_(gone) {}
  ~TWatchedDownloader() override { *gone_ = true; }

 private:
  bool* gone_;
};

void NestedLoop() { PumpFor(60); }

TEST(DownloaderLifetime, RestartedFromAProgressEventWhileAModalLoopRuns) {
  SlowServer server(200000);
  TMultipartHttpDownloader d(nullptr);
  d.URL = server.Url();
  d.PartCount = 2;
  int restarts = 0;
  int done = 0;
  int32_t code = 0;
  d.OnProgressSetPosition = [&](TObject*, int32_t, int64_t) {
    // The old part clients are released while one of them is delivering this block;
    // freed in the nested loop, that client would be used after this returns (which
    // the sanitizer build reports).
    if (restarts++ > 0) return;
    d.Start();
    NestedLoop();
  };
  d.OnRequestDone = [&](TObject*, int32_t c, const std::string&) {
    ++done;
    code = c;
  };
  d.FileStream = new TMemoryStream;
  d.Start();
  ASSERT_TRUE(PumpUntil([&] { return done > 0; }, 30000));
  EXPECT_EQ(code, 200);
  delete d.FileStream;
  d.FileStream = nullptr;
}

TEST(DownloaderLifetime, ReleasedFromTheStatisticsEventWhileAModalLoopRuns) {
  SlowServer server(400000, 40);
  bool gone = false;
  auto* d = new TWatchedDownloader(&gone);
  struct TFile : TMemoryStream {
    bool* freed;
    explicit TFile(bool* f) : freed(f) {}
    ~TFile() override { *freed = true; }
  };
  bool fileFreed = false;
  auto* file = new TFile(&fileFreed);
  d->URL = server.Url();
  d->PartCount = 2;
  d->FileStream = file;
  bool released = false;
  bool goneInHandler = true;
  d->OnShowStats = [&](TObject*) {
    // A tick of the statistics timer while the parts are running.
    if (released || d->Parts().size() < 2) return;
    released = true;
    d->ReleaseLater();
    NestedLoop();
    goneInHandler = gone;
  };
  d->Start();
  ASSERT_TRUE(PumpUntil([&] { return released; }, 30000));
  EXPECT_FALSE(goneInHandler);
  EXPECT_TRUE(PumpUntil([&] { return gone; }));
  // Freed by the downloader on success only.
  if (!fileFreed) delete file;
}

}  // namespace
