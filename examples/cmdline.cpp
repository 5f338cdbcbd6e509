#include "examples/cmdline.h"

#include <algorithm>
#include <cmath>

namespace {

const KnownOption* FindOption(const std::vector<KnownOption>& known, const std::string& name) {
  for (const KnownOption& o : known)
    if (name == o.name) return &o;
  return nullptr;
}

std::string FormatDuration(double seconds) {
  if (!(seconds >= 0) || seconds > 99 * 3600.0 + 3599) return "--:--:--";
  const long s = std::lround(seconds);
  char text[48];
  std::snprintf(text, sizeof text, "%02ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
  return text;
}

}  // namespace

CommandLine ParseCommandLine(int argc, char** argv, const std::vector<KnownOption>& known) {
  CommandLine line;
  bool optionsEnded = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
      line.operands.push_back(arg);
      continue;
    }
    if (arg == "--") {
      optionsEnded = true;
      continue;
    }
    if (arg == "--help" || arg == "-h") {
      line.help = true;
      continue;
    }
    if (arg == "--version") {
      line.version = true;
      continue;
    }
    std::string value;
    bool inlineValue = false;
    const size_t equals = arg.find('=');
    if (arg.rfind("--", 0) == 0 && equals != std::string::npos) {
      value = arg.substr(equals + 1);
      arg.resize(equals);
      inlineValue = true;
    }
    const KnownOption* option = FindOption(known, arg);
    if (option == nullptr) {
      if (line.error.empty()) line.error = "unknown option " + arg;
      continue;
    }
    if (option->takesValue && !inlineValue) {
      if (i + 1 >= argc) {
        if (line.error.empty()) line.error = "option " + arg + " needs a value";
        continue;
      }
      value = argv[++i];
    } else if (!option->takesValue && inlineValue) {
      if (line.error.empty()) line.error = "option " + arg + " takes no value";
      continue;
    }
    line.options.emplace_back(arg, value);
  }
  return line;
}

int PrintHelp(const char* usage) {
  std::fputs(usage, stdout);
  return kExitOk;
}

int PrintVersion(const char* program) {
  std::printf("%s %s\n", program, TOOLS_VERSION);
  return kExitOk;
}

int UsageError(const char* program, const std::string& error, const char* usage) {
  if (!error.empty()) std::fprintf(stderr, "%s: %s\n", program, error.c_str());
  std::fputs(usage, stderr);
  return kExitUsage;
}

std::string FormatBytes(int64_t count) {
  if (count < 1024) return std::to_string(count) + " B";
  static const char* const kUnits[] = {"KiB", "MiB", "GiB", "TiB", "PiB"};
  double value = static_cast<double>(count) / 1024;
  int unit = 0;
  while (value >= 1023.95 && unit < 4) {
    value /= 1024;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, "%.1f %s", value, kUnits[unit]);
  return text;
}

std::string FormatProgress(int64_t done, int64_t total, double bytesPerSecond, bool finished,
                           double elapsedSeconds) {
  // Restarted ranges count their bytes again: the line never claims more than the whole.
  if (total > 0 && done > total) done = total;
  std::string line = FormatBytes(done) + " of " + (total > 0 ? FormatBytes(total) : "?");
  char text[96];
  if (total > 0) {
    // In floating point: done * 100 overflows for counts past 2^56.
    const double percent = static_cast<double>(done) * 100 / static_cast<double>(total);
    std::snprintf(text, sizeof text, "  %3d%%", static_cast<int>(percent));
    line += text;
  }
  // Kept within what the byte count can hold.
  const double speed = bytesPerSecond > 0 ? std::min(bytesPerSecond, 1e18) : 0;
  line += "  " + FormatBytes(static_cast<int64_t>(speed)) + "/s";
  if (finished) {
    line += "  done in " + FormatDuration(elapsedSeconds);
  } else {
    double left = -1;
    if (total > 0 && bytesPerSecond > 0) left = static_cast<double>(total - done) / bytesPerSecond;
    line += "  " + FormatDuration(left) + " left";
  }
  return line;
}
