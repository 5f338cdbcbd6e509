// What the command-line programs share: their argument conventions, exit codes,
// usage and version texts.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "base/classes.h"

// Exit codes, the same for every program.
enum ExitCode : int {
  kExitOk = 0,
  kExitFailure = 1,  // anything not named below
  kExitUsage = 2,    // the command line is wrong
  kExitNetwork = 3,  // no connection, a broken or malformed answer, a timeout, a SOCKS proxy's refusal
  kExitHttp = 4,     // the server answered, but not with the document (status 400 and above)
  kExitFile = 5,     // the output cannot be created, written or put in place
};

// Passes everything to a stream it does not own: for a component that frees its
// destination itself, and for dropping pages that are not the document (Discard).
class TForwardingStream : public TStream {
 public:
  explicit TForwardingStream(TStream* target) : target_(target) {}
  int64_t Read(void* buffer, int64_t count) override { return target_->Read(buffer, count); }
  int64_t Write(const void* buffer, int64_t count) override {
    return Discard ? count : target_->Write(buffer, count);
  }
  int64_t Seek(int64_t offset, TSeekOrigin origin) override { return target_->Seek(offset, origin); }
  void SetSize(int64_t size) override { target_->SetSize(size); }
  int64_t Size() override { return target_->Size(); }
  bool Discard = false;

 private:
  TStream* target_;
};

struct KnownOption {
  const char* name;  // "-o", "--parts"
  bool takesValue;
};

// Options and operands in any order. "--name=value" and "--name value" are the same;
// "--" ends the options; "-" alone is an operand (standard output).
struct CommandLine {
  std::vector<std::pair<std::string, std::string>> options;  // in the order given
  std::vector<std::string> operands;
  bool help = false;
  bool version = false;
  std::string error;  // set when the line cannot be read
};
CommandLine ParseCommandLine(int argc, char** argv, const std::vector<KnownOption>& known);

// The usage text on standard output: exit 0.
int PrintHelp(const char* usage);
// The program's name and version on standard output: exit 0.
int PrintVersion(const char* program);
// "<program>: <error>" and the usage text on standard error: exit 2.
int UsageError(const char* program, const std::string& error, const char* usage);

// The terminal progress line: bytes done of the total, percent, speed and time left
// (total and time left shown as unknown while total is not positive). It fits in 80
// columns for any count below an exbibyte.
std::string FormatProgress(int64_t done, int64_t total, double bytesPerSecond, bool finished,
                           double elapsedSeconds);
// 1536 -> "1.5 KiB"; below 1 KiB in bytes.
std::string FormatBytes(int64_t count);
