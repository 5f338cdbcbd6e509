// The segmented downloader against nginx: a package of some size arrives byte for byte,
// directly and behind a relocation.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>

#include "download/multiparthttpdownloader.h"
#include "tests/http/pump.h"
#include "tests/support/peer_servers.h"

using testsupport::NginxServer;
using testsupport::PumpUntil;
using testsupport::ReadFileText;
using testsupport::TempDir;

namespace {

std::string RandomBytes(size_t size) {
  std::mt19937_64 random(20240301);
  std::string bytes(size, '\0');
  for (size_t i = 0; i + 8 <= size; i += 8) {
    uint64_t v = random();
    std::memcpy(&bytes[i], &v, 8);
  }
  return bytes;
}

struct Outcome {
  int32_t code = 0;
  std::string reason;
  int64_t total = 0;
  std::vector<std::string> said;
};

Outcome Fetch(const std::string& url, const std::string& file, int parts) {
  Outcome out;
  bool done = false;
  TMultipartHttpDownloader d(nullptr);
  d.URL = url;
  d.PartCount = parts;
  d.FileStream = new TFileStream(file, fmCreate);
  d.OnDisplay = [&](TObject*, const std::string& m) { out.said.push_back(m); };
  d.OnRequestDone = [&](TObject*, int32_t code, const std::string& reason) {
    out.code = code;
    out.reason = reason;
    done = true;
  };
  d.Start();
  EXPECT_TRUE(PumpUntil([&] { return done; }, 120000)) << "the download never ended";
  out.total = d.TotalCount;
  delete d.FileStream;
  d.FileStream = nullptr;
  return out;
}

TEST(DownloaderAgainstNginx, A32MiBPackageArrivesByteForByte) {
  NginxServer nginx("    location = /moved.7z { return 302 /update/0.7z; }\n");
  const std::string package = RandomBytes(32 << 20);
  nginx.AddFile("update/0.7z", package);
  TempDir dir;

  for (int parts : {2, 1, 5}) {
    SCOPED_TRACE(parts);
    const std::string file = dir.Path() + "/rjsj.7z";
    Outcome got = Fetch(nginx.Url("/update/0.7z"), file, parts);
    EXPECT_EQ(got.code, 200);
    EXPECT_EQ(got.reason, "OK");
    EXPECT_EQ(got.total, static_cast<int64_t>(package.size()));
    EXPECT_TRUE(ReadFileText(file) == package) << "the file differs from the package";
  }

  // Behind a relocation every part follows it and keeps its range.
  const std::string file = dir.Path() + "/moved.7z";
  Outcome got = Fetch(nginx.Url("/moved.7z"), file, 2);
  EXPECT_EQ(got.code, 200);
  EXPECT_TRUE(ReadFileText(file) == package) << "the relocated file differs from the package";
  EXPECT_EQ(std::count_if(got.said.begin(), got.said.end(),
                          [](const std::string& s) { return s.rfind("LocationChange = ", 0) == 0; }),
            2);
}

TEST(DownloaderAgainstNginx, AMissingPackageEndsWith404) {
  NginxServer nginx;
  TempDir dir;
  Outcome got = Fetch(nginx.Url("/update/0.7z"), dir.Path() + "/rjsj.7z", 2);
  EXPECT_EQ(got.code, 404);
  EXPECT_EQ(got.reason, "Not Found");
}

}  // namespace
