// mpget: fetches one URL in parallel byte ranges with TMultipartHttpDownloader into a
// file, a device, or standard output (a pipe is fed once every range arrived).
//
// On a terminal, standard error shows one progress line redrawn in place; otherwise a
// statistics line is printed once a second (on standard output, or on standard error
// when the document itself goes to standard output). -v prints the downloader's
// diagnostic lines on standard error. A file appears under its name only once every
// range arrived. https is verified as in httpget (--cacert FILE adds trusted CAs);
// --proxy sends every part through an HTTP proxy (https in its CONNECT tunnel). Exit
// codes are those of examples/cmdline.h.
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "base/outputfilestream.h"
#include "download/multiparthttpdownloader.h"
#include "examples/cmdline.h"
#include "platform/console.h"
#include "platform/messages.h"

namespace {

const char kUsage[] =
    "usage: mpget [-v] [--parts N] [--cacert FILE] [--proxy HOST[:PORT]] URL OUTPUT\n"
    "       mpget [-v] [--parts N] [--cacert FILE] [--proxy HOST[:PORT]] -o OUTPUT URL\n"
    "       mpget --help | --version\n"
    "OUTPUT is a file, a device, or - for standard output; N is 1 to 9999 (default 2).\n";

struct Options {
  std::string url, output, cacert, proxy;
  int parts = 2;
  bool verbose = false;
};

std::string ReadOptions(const CommandLine& line, Options& o) {
  for (const auto& [name, v] : line.options) {
    if (name == "--parts") {
      if (v.empty() || v.size() > 4 || v.find_first_not_of("0123456789") != std::string::npos ||
          std::atoi(v.c_str()) < 1)
        return "invalid value for --parts: \"" + v + "\"";
      o.parts = std::atoi(v.c_str());
    } else if (name == "-o") {
      if (v.empty()) return "invalid value for -o: \"\"";
      o.output = v;
    } else if (name == "-v") {
      o.verbose = true;
    } else if (name == "--cacert") {
      if (v.empty()) return "invalid value for --cacert: \"\"";
      o.cacert = v;
    } else if (name == "--proxy") {
      if (v.empty()) return "invalid value for --proxy: \"\"";
      o.proxy = v;
    }
  }
  std::vector<std::string> rest = line.operands;
  if (rest.empty()) return "no URL given";
  o.url = rest[0];
  if (rest.size() > 1) {
    if (!o.output.empty() || rest.size() > 2) return "too many operands";
    o.output = rest[1];
  }
  if (o.output.empty()) return "no OUTPUT given";
  return "";
}

// Where a download's end code belongs among the exit codes.
int ExitCodeFor(int32_t code) {
  if (code == 200) return kExitOk;
  // Socket and lookup errors: the WinSock numbers.
  if (code >= 10000) return kExitNetwork;
  // HTTP statuses, and answers that cannot be split or do not serve the ranges.
  return kExitHttp;
}

}  // namespace

int main(int argc, char** argv) {
  const CommandLine line = ParseCommandLine(argc, argv, {{"--parts", true}, {"-o", true}, {"-v", false}, {"--cacert", true}, {"--proxy", true}});
  if (line.help && line.error.empty()) return PrintHelp(kUsage);
  if (line.version && line.error.empty()) return PrintVersion("mpget");
  Options opt;
  const std::string error = line.error.empty() ? ReadOptions(line, opt) : line.error;
  if (!error.empty()) return UsageError("mpget", error, kUsage);

  // Ranges are written at their own offsets: a pipe is fed from a spool at the end.
  std::unique_ptr<TOutputFileStream> out;
  try {
    out = std::make_unique<TOutputFileStream>(opt.output, true);
  } catch (const Exception& e) {
    std::fprintf(stderr, "mpget: %s\n", e.Message().c_str());
    return kExitFile;
  }
  const bool progressLine = platform::IsTerminal(platform::GetStdHandle(platform::STD_ERROR_HANDLE));
  FILE* stats = opt.output == "-" ? stderr : stdout;

  TMultipartHttpDownloader downloader(nullptr);
  downloader.Name = "mpget";
  downloader.URL = opt.url;
  downloader.PartCount = opt.parts;
  downloader.TlsCaFile = opt.cacert;
  if (!opt.proxy.empty()) {
    downloader.Proxy = opt.proxy;
    downloader.ProxyPort = "80";  // when HOST names none
  }
  // The downloader frees its stream on success, before the file may be put in place.
  downloader.FileStream = new TForwardingStream(out.get());
  if (opt.verbose)
    downloader.OnDisplay = [](TObject*, const std::string& msg) { std::fprintf(stderr, "* %s\n", msg.c_str()); };
  bool finished = false;
  downloader.OnShowStats = [&](TObject*) {
    if (progressLine) {
      const double seconds = static_cast<double>(downloader.ElapsedTime) * 86400.0;
      // Kilobits per second into bytes.
      const std::string text = FormatProgress(downloader.TotalCount, downloader.ContentLength,
                                              downloader.CurSpeed * 125.0, finished, seconds);
      std::fprintf(stderr, "\r%s\033[K", text.c_str());
      std::fflush(stderr);
      return;
    }
    std::fprintf(stats, "%lld bytes  %3.0f%%  %8.2f Kbps  %s\n", static_cast<long long>(downloader.TotalCount),
                 downloader.PercentDone, downloader.CurSpeed,
                 FormatDateTime("hh:nn:ss", downloader.ElapsedTime).c_str());
    std::fflush(stats);
  };
  int32_t code = 0;
  std::string reason;
  downloader.OnRequestDone = [&](TObject*, int32_t errorCode, const std::string& why) {
    code = errorCode;
    reason = why;
    platform::PostQuitMessage(0);
  };
  int exitCode = kExitOk;
  try {
    downloader.Start();
    downloader.RunMessageLoop();
    exitCode = ExitCodeFor(code);
  } catch (const Exception& e) {
    std::fprintf(stderr, "mpget: %s\n", e.Message().c_str());
    exitCode = kExitFailure;
  }
  if (progressLine) {
    if (exitCode == kExitOk) {
      // The closing line names the whole download's time.
      finished = true;
      if (downloader.OnShowStats) downloader.OnShowStats(&downloader);
    }
    std::fputc('\n', stderr);
  }
  if (!out->WriteError().empty()) {
    std::fprintf(stderr, "mpget: cannot write \"%s\": %s\n", opt.output.c_str(), out->WriteError().c_str());
    exitCode = kExitFile;
  } else if (exitCode != kExitOk && exitCode != kExitFailure) {
    std::fprintf(stderr, "mpget: error #%d %s\n", code, reason.c_str());
  }
  if (exitCode == kExitOk) {
    try {
      out->Commit();
    } catch (const Exception& e) {
      std::fprintf(stderr, "mpget: %s\n", e.Message().c_str());
      exitCode = kExitFile;
    }
  }
  // Freed by the downloader on success only.
  delete downloader.FileStream;
  downloader.FileStream = nullptr;
  return exitCode;
}
