// Extraction time of a package through the archive reader, with every callback on the
// caller's thread and with the library decoding on its own threads, beside the 7z
// command on the same archive (with its default threads and with one).
//
//   extract_bench <archive.7z> <scratch dir> [runs] [caller|library]
//
// With the last argument only that way is timed, so that a wrapper can take the peak
// memory of each alone.
//
// Every run writes into a folder of its own below <scratch dir>/out, removed only at the
// end (kept with EXTRACT_BENCH_KEEP=1, for a wrapper that runs several builds in turn): on
// ext4 without a journal, a new file skips each inode freed in the last 30 seconds, so
// a run right after removing the last one's 4000 files measured mostly that.
// bench/extract_bench.sh builds a mixed package and runs this.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "updater/archive/7zinarchive.h"

namespace fs = std::filesystem;

namespace {

double Seconds(std::chrono::steady_clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

// A fresh folder below out for each run.
std::string NextOut(const std::string& out) {
  static int run = 0;
  std::string dir;
  do dir = (fs::path(out) / std::to_string(++run)).string();
  while (fs::exists(dir));
  return dir;
}

double ExtractOnce(const std::string& archive, const std::string& outRoot, bool libraryThreads) {
  const std::string out = NextOut(outRoot);
  const auto start = std::chrono::steady_clock::now();
  auto* reader = new T7zInArchive(k7zLibraryName);
  TComPtr<I7zReader> hold(static_cast<I7zReader*>(reader));
  reader->UseLibraryThreads = libraryThreads;
  reader->SetFormatId(sevenzip::CLSID_Format7z);
  reader->OpenArchiveFile(archive);
  reader->ExtractAllTo(out);
  hold.Reset();
  return Seconds(std::chrono::steady_clock::now() - start);
}

// extra: more switches for 7z ("-mmt1" for one decoder thread).
double CommandOnce(const std::string& archive, const std::string& outRoot, const std::string& extra = "") {
  const std::string out = NextOut(outRoot);
  const std::string cmd = "7z x -bso0 -bsp0 -y " + extra + " '-o" + out + "' '" + archive + "'";
  const auto start = std::chrono::steady_clock::now();
  if (std::system(cmd.c_str()) != 0) std::fprintf(stderr, "7z x failed\n");
  return Seconds(std::chrono::steady_clock::now() - start);
}

void Report(const char* label, std::vector<double> times) {
  std::sort(times.begin(), times.end());
  std::printf("%-34s min %7.3f s   median %7.3f s\n", label, times.front(),
              times[times.size() / 2]);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s archive.7z scratch-dir [runs] [caller|library]\n", argv[0]);
    return 2;
  }
  const std::string archive = argv[1];
  const std::string out = (fs::path(argv[2]) / "out").string();
  const int runs = argc > 3 ? std::max(1, std::atoi(argv[3])) : 3;
  const std::string only = argc > 4 ? argv[4] : "";
  const char* keep = std::getenv("EXTRACT_BENCH_KEEP");
  const bool removeAfter = !keep || std::string(keep) != "1";
  try {
    if (only == "caller" || only == "library") {
      std::vector<double> times;
      for (int i = 0; i < runs; ++i) times.push_back(ExtractOnce(archive, out, only == "library"));
      Report(only == "library" ? "reader, library threads" : "reader, caller's thread", times);
      if (removeAfter) fs::remove_all(out);
      return 0;
    }
    std::vector<double> caller, library, command, commandOneThread;
    // Interleaved, so that a slow phase of a shared machine hits every variant alike.
    for (int i = 0; i < runs; ++i) {
      caller.push_back(ExtractOnce(archive, out, false));
      library.push_back(ExtractOnce(archive, out, true));
      command.push_back(CommandOnce(archive, out));
      commandOneThread.push_back(CommandOnce(archive, out, "-mmt1"));
    }
    std::printf("%s, %d runs\n", archive.c_str(), runs);
    Report("reader, caller's thread", caller);
    Report("reader, library threads", library);
    Report("7z x (reference)", command);
    Report("7z x -mmt1 (reference)", commandOneThread);
    if (removeAfter) fs::remove_all(out);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "error: %s\n", e.what());
    return 1;
  }
  return 0;
}
