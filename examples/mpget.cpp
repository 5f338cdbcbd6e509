// mpget: fetches one URL in parallel byte ranges with TMultipartHttpDownloader into a
// file, printing a statistics line once a second.
//
//   mpget [-v] URL OUTPUT [--parts N]      (N from 1, default 2)
//
// -v prints the downloader's diagnostic lines on standard error. The exit status is 0
// when every range arrived; otherwise the end code and reason go to standard error.
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "download/multiparthttpdownloader.h"
#include "platform/messages.h"

namespace {

int Usage() {
  std::fprintf(stderr, "usage: mpget [-v] URL OUTPUT [--parts N]\n");
  return 2;
}

struct Options {
  std::string url, output;
  int parts = 2;
  bool verbose = false;
};

bool ParseArgs(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--parts") {
      if (i + 1 >= argc) return false;
      std::string n = argv[++i];
      if (n.empty() || n.size() > 4 || n.find_first_not_of("0123456789") != std::string::npos) return false;
      o.parts = std::atoi(n.c_str());
      if (o.parts < 1) return false;
    } else if (a == "-v") {
      o.verbose = true;
    } else if (!a.empty() && a[0] == '-') {
      return false;
    } else if (o.url.empty()) {
      o.url = a;
    } else if (o.output.empty()) {
      o.output = a;
    } else {
      return false;
    }
  }
  return !o.url.empty() && !o.output.empty();
}

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  if (!ParseArgs(argc, argv, opt)) return Usage();

  TMultipartHttpDownloader downloader(nullptr);
  downloader.Name = "mpget";
  downloader.URL = opt.url;
  downloader.PartCount = opt.parts;
  try {
    downloader.FileStream = new TFileStream(opt.output, fmCreate);
  } catch (const Exception& e) {
    std::fprintf(stderr, "mpget: %s\n", e.Message().c_str());
    return 1;
  }
  if (opt.verbose)
    downloader.OnDisplay = [](TObject*, const std::string& msg) { std::fprintf(stderr, "* %s\n", msg.c_str()); };
  downloader.OnShowStats = [&downloader](TObject*) {
    std::printf("%lld bytes  %3.0f%%  %8.2f Kbps  %s\n", static_cast<long long>(downloader.TotalCount),
                downloader.PercentDone, downloader.CurSpeed,
                FormatDateTime("hh:nn:ss", downloader.ElapsedTime).c_str());
    std::fflush(stdout);
  };
  int32_t code = 0;
  std::string reason;
  downloader.OnRequestDone = [&](TObject*, int32_t errorCode, const std::string& why) {
    code = errorCode;
    reason = why;
    platform::PostQuitMessage(0);
  };
  try {
    downloader.Start();
    downloader.RunMessageLoop();
  } catch (const Exception& e) {
    std::fprintf(stderr, "mpget: %s\n", e.Message().c_str());
    code = -1;
    reason = e.Message();
  }
  // Freed by the downloader on success only.
  delete downloader.FileStream;
  downloader.FileStream = nullptr;
  if (code != 200) {
    if (code != -1) std::fprintf(stderr, "mpget: error #%d %s\n", code, reason.c_str());
    return 1;
  }
  return 0;
}
