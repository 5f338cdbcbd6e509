// The state file's text alone: what is written reads back, and anything damaged,
// truncated or inconsistent is refused.
#include "download/downloadstate.h"

#include <gtest/gtest.h>

#include <functional>

namespace {

TDownloadState Sample() {
  TDownloadState s;
  s.URL = "http://127.0.0.1:18080/update/demo.7z";
  s.Length = 1000;
  s.Validator = "\"65a1-3e8\"";
  s.Parts = {{0, 500, 501}, {501, 1000, 120}};
  return s;
}

TEST(DownloadState, ReadsBackWhatIsWritten) {
  const std::string text = FormatDownloadState(Sample());
  TDownloadState back;
  ASSERT_TRUE(ParseDownloadState(text, back)) << text;
  EXPECT_EQ(back.URL, Sample().URL);
  EXPECT_EQ(back.Length, 1000);
  EXPECT_EQ(back.Validator, Sample().Validator);
  ASSERT_EQ(back.Parts.size(), 2u);
  EXPECT_EQ(back.Parts[1].StartOffset, 501);
  EXPECT_EQ(back.Parts[1].EndOffset, 1000);
  EXPECT_EQ(back.Parts[1].Held, 120);

  // At the length bound, and with the most parts.
  TDownloadState big;
  big.URL = "u";
  big.Validator = "v";
  big.Length = int64_t{1} << 62;
  big.Parts = {{0, big.Length, big.Length}};
  EXPECT_TRUE(ParseDownloadState(FormatDownloadState(big), back));
  big.Length = 64;
  big.Parts.clear();
  for (int64_t i = 0; i < 64; ++i) big.Parts.push_back({i, i == 63 ? 64 : i, 1});
  EXPECT_TRUE(ParseDownloadState(FormatDownloadState(big), back));
  big.Length = 65;
  big.Parts.back().EndOffset = 63;
  big.Parts.push_back({64, 65, 0});
  EXPECT_FALSE(ParseDownloadState(FormatDownloadState(big), back)) << "more parts than a state may name";
}

TEST(DownloadState, EveryCutShortTextIsRefused) {
  const std::string text = FormatDownloadState(Sample());
  TDownloadState back;
  for (size_t n = 0; n < text.size(); ++n) EXPECT_FALSE(ParseDownloadState(text.substr(0, n), back)) << n;
}

TEST(DownloadState, InconsistentStatesAreRefused) {
  struct Case {
    const char* what;
    std::function<void(TDownloadState&)> damage;
  };
  const std::vector<Case> cases = {
      {"no validator", [](TDownloadState& s) { s.Validator.clear(); }},
      {"no URL", [](TDownloadState& s) { s.URL.clear(); }},
      {"no length", [](TDownloadState& s) { s.Length = 0; }},
      {"length past the bound", [](TDownloadState& s) { s.Length = (int64_t{1} << 62) + 1; s.Parts.back().EndOffset = s.Length; }},
      {"held past the range", [](TDownloadState& s) { s.Parts[0].Held = 502; }},
      {"last part held past the end", [](TDownloadState& s) { s.Parts[1].Held = 500; }},
      {"a gap", [](TDownloadState& s) { s.Parts[1].StartOffset = 502; }},
      {"an overlap", [](TDownloadState& s) { s.Parts[1].StartOffset = 500; }},
      {"ends short of the length", [](TDownloadState& s) { s.Parts[1].EndOffset = 999; }},
      {"ends past the length", [](TDownloadState& s) { s.Parts[1].EndOffset = 1001; }},
      {"no parts", [](TDownloadState& s) { s.Parts.clear(); }},
      {"does not start at 0", [](TDownloadState& s) { s.Parts[0].StartOffset = 1; }},
  };
  for (const Case& k : cases) {
    TDownloadState s = Sample();
    k.damage(s);
    TDownloadState back;
    EXPECT_FALSE(ParseDownloadState(FormatDownloadState(s), back)) << k.what;
  }
  const std::string good = FormatDownloadState(Sample());
  TDownloadState back;
  for (const auto& [from, to] : std::vector<std::pair<std::string, std::string>>{
           {"segmented-download 1", "segmented-download 2"},
           {"length 1000", "length +1000"},
           {"length 1000", "length 1000 "},
           {"part 0 500 501", "part 0 500"},
           {"part 0 500 501", "part 0 500 501 7"},
           {"part 0 500 501", "part -0 500 501"},
           {"part 0 500 501", "part 0 500 99999999999999999999"},
           {"\nend\n", "\nEnd\n"},
           {"\nend\n", "\nend\nmore\n"},
       }) {
    std::string text = good;
    text.replace(text.find(from), from.size(), to);
    EXPECT_FALSE(ParseDownloadState(text, back)) << to;
  }
}

}  // namespace
