// The argument conventions and the progress line the command-line programs share.
#include "examples/cmdline.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

CommandLine Parse(std::vector<std::string> args) {
  args.insert(args.begin(), "prog");
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  return ParseCommandLine(static_cast<int>(argv.size()), argv.data(),
                          {{"-o", true}, {"-v", false}, {"--parts", true}});
}

using Options = std::vector<std::pair<std::string, std::string>>;

TEST(CommandLine, OptionsAndOperandsInAnyOrder) {
  CommandLine c = Parse({"http://h/a", "-o", "out", "-v", "--parts=3", "--parts", "4"});
  EXPECT_EQ(c.error, "");
  EXPECT_EQ(c.operands, std::vector<std::string>{"http://h/a"});
  EXPECT_EQ(c.options, (Options{{"-o", "out"}, {"-v", ""}, {"--parts", "3"}, {"--parts", "4"}}));

  // "-" is standard output, "--" ends the options, an empty --name= value stays empty.
  c = Parse({"-o", "-", "--parts=", "--", "-v", "--x"});
  EXPECT_EQ(c.error, "");
  EXPECT_EQ(c.options, (Options{{"-o", "-"}, {"--parts", ""}}));
  EXPECT_EQ(c.operands, (std::vector<std::string>{"-v", "--x"}));
  EXPECT_EQ(Parse({"-"}).operands, std::vector<std::string>{"-"});
}

TEST(CommandLine, MistakesAreNamed) {
  EXPECT_EQ(Parse({"--bogus", "u"}).error, "unknown option --bogus");
  EXPECT_EQ(Parse({"u", "-o"}).error, "option -o needs a value");
  EXPECT_EQ(Parse({"-v=1"}).error, "unknown option -v=1");
  EXPECT_EQ(Parse({"--parts"}).error, "option --parts needs a value");
  // The first mistake is the one reported.
  EXPECT_EQ(Parse({"--a", "--b"}).error, "unknown option --a");
  CommandLine c = Parse({"u", "--version", "--help"});
  EXPECT_TRUE(c.help);
  EXPECT_TRUE(c.version);
  EXPECT_EQ(c.operands, std::vector<std::string>{"u"});
}

TEST(ProgressLine, BytesPercentSpeedAndTimeLeft) {
  EXPECT_EQ(FormatBytes(0), "0 B");
  EXPECT_EQ(FormatBytes(1023), "1023 B");
  EXPECT_EQ(FormatBytes(1536), "1.5 KiB");
  EXPECT_EQ(FormatBytes(1048575), "1.0 MiB");  // never "1024.0 KiB"
  EXPECT_EQ(FormatBytes(int64_t(5) << 40), "5.0 TiB");

  EXPECT_EQ(FormatProgress(25 << 20, 100 << 20, 5 << 20, false, 5),
            "25.0 MiB of 100.0 MiB   25%  5.0 MiB/s  00:00:15 left");
  // Not known yet: no total, no speed.
  EXPECT_EQ(FormatProgress(0, 0, 0, false, 0), "0 B of ?  0 B/s  --:--:-- left");
  EXPECT_EQ(FormatProgress(10, 100, 0, false, 1), "10 B of 100 B   10%  0 B/s  --:--:-- left");
  // Bytes fetched again after a restart never show as more than the whole.
  EXPECT_EQ(FormatProgress(150, 100, 50, true, 3723), "100 B of 100 B  100%  50 B/s  done in 01:02:03");
}

TEST(ProgressLine, FitsATerminalForHugeCounts) {
  const int64_t huge = int64_t(1) << 59;
  EXPECT_LT(FormatProgress(huge - 1, huge, 1, false, 0).size(), 80u);
  EXPECT_LT(FormatProgress(huge - 1, huge, 1e18, true, 1e12).size(), 80u);
  EXPECT_EQ(FormatProgress(huge / 4, huge, 1e30, false, 0).substr(0, 30), "128.0 PiB of 512.0 PiB   25%  ");
}

}  // namespace
