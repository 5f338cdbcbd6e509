// The INI text alone: lines and their kinds whatever the cut of the bytes, the text kept
// byte for byte, and the edits the profile functions make.
#include "platform/inidocument.h"

#include <gtest/gtest.h>

using namespace platform;

namespace {

// What the reader made of the bytes, one string per line.
std::string Describe(const IniReader& reader) {
  std::string out = "bom=" + std::to_string(reader.Bom().size()) + "\n";
  for (const IniLine& l : reader.Lines()) {
    out += std::to_string(static_cast<int>(l.kind)) + "|" + l.text + "|" + (l.eol == "\r\n" ? "CRLF" : l.eol == "\n" ? "LF" : "-") +
           "|" + l.name + "|" + l.value + "|" + l.section + "\n";
  }
  return out;
}

std::string ReadInPieces(const std::string& bytes, std::vector<size_t> cuts) {
  IniReader reader;
  size_t at = 0;
  cuts.push_back(bytes.size());
  for (size_t cut : cuts) {
    EXPECT_EQ(reader.Put(bytes.data() + at, cut - at), cut - at);
    at = cut;
  }
  reader.Finish();
  EXPECT_EQ(reader.CurrentState(), IniReader::State::Done);
  return Describe(reader);
}

const std::vector<std::string> kFiles = {
    "\xEF\xBB\xBF[file]\r\na.dll=a.dll\r\n; note\r\n[x]\r\nk = ' v '\r\n",
    "orphan=1\n[ S ]\n  Key  =  value  \nBare\n=novalue\n[broken\nafter=still S\n",
    "\xEF\xBB[s]\nk=v",        // a mark cut short is text
    "\xEF\n[s]\r\r\nk=a\rb\r",  // lone CRs stay in the text; the last one too
    "[s]\nk=v\r",
    "",
    "\r",
    "\xEF\xBB\xBF",
};

TEST(IniReader, EveryCutGivesTheSameLines) {
  for (const std::string& file : kFiles) {
    SCOPED_TRACE(file);
    const std::string whole = ReadInPieces(file, {});
    for (size_t i = 1; i < file.size(); ++i) {
      ASSERT_EQ(ReadInPieces(file, {i}), whole) << "cut at " << i;
      for (size_t j = i; j < file.size(); ++j) ASSERT_EQ(ReadInPieces(file, {i, j}), whole) << i << "," << j;
    }
    // Byte by byte.
    std::vector<size_t> all;
    for (size_t i = 1; i < file.size(); ++i) all.push_back(i);
    EXPECT_EQ(ReadInPieces(file, all), whole);
    // And the document gives back exactly what it read.
    EXPECT_EQ(IniDocument(file).Text(), file);
  }
}

TEST(IniReader, ClassifiesLinesByTheProfileRules) {
  EXPECT_EQ(ReadInPieces(kFiles[1], {}),
            "bom=0\n"
            "0|orphan=1|LF|||\n"           // before any section: no entry
            "1|[ S ]|LF|S||\n"
            "2|  Key  =  value  |LF|Key|value|S\n"
            "2|Bare|LF|Bare||S\n"          // a name without '=' is a key with an empty value
            "0|=novalue|LF|||\n"           // no name
            "0|[broken|LF|||\n"            // no ']': neither a header nor an entry
            "2|after=still S|LF|after|still S|S\n");
  EXPECT_EQ(ReadInPieces(kFiles[3], {}),
            "bom=0\n"
            "0|\xEF|LF|||\n"
            "1|[s]\r|CRLF|s||\n"
            "2|k=a\rb\r|-|k|a\rb|s\n");
  EXPECT_EQ(ReadInPieces(kFiles[0], {}).substr(0, 6), "bom=3\n");
  EXPECT_EQ(ReadInPieces(kFiles[2], {}).substr(0, 6), "bom=0\n");
}

TEST(IniReader, TakesNothingAfterFinish) {
  IniReader reader;
  reader.Put("[s]\nk=v", 7);
  reader.Finish();
  EXPECT_EQ(reader.Put("\nz=1\n", 5), 0u);
  EXPECT_EQ(reader.Lines().size(), 2u);
}

TEST(IniDocument, FindsTheFirstKeyOfSectionsThatAppearTwice) {
  const IniDocument doc("[A]\nk=1\n[b]\nk=2\n[a]\nK=3\nlate=4\n");
  ASSERT_NE(doc.Find("a", "K"), nullptr);
  EXPECT_EQ(doc.Find("a", "K")->value, "1");
  EXPECT_EQ(doc.Find("A", "LATE")->value, "4");
  EXPECT_EQ(doc.Find("c", "k"), nullptr);
  EXPECT_EQ(doc.SectionNames(), (std::vector<std::string>{"A", "b"}));
  EXPECT_EQ(doc.KeyNames("a"), (std::vector<std::string>{"k", "late"}));
}

TEST(IniDocument, NamesHoldingAZeroAreNotListed) {
  // In a zero-separated listing such a name would come out as two names.
  const IniDocument doc(std::string("[s]\nn\0ul=1\nok=2\n", 16));
  EXPECT_EQ(doc.KeyNames("s"), (std::vector<std::string>{"ok"}));
}

TEST(IniDocument, EditsChangeOnlyWhatTheyMust) {
  IniDocument doc("\xEF\xBB\xBF; head\r\n[s]\r\nk=old\r\n; closing comment\r\n\r\n[t]\r\nx=1");
  doc.SetValue("S", "K", "new");
  doc.SetValue("s", "added", "2");
  doc.SetValue("t", "y", "3");
  doc.SetValue("u", "z", "4");
  EXPECT_EQ(doc.Text(),
            "\xEF\xBB\xBF; head\r\n[s]\r\nk=new\r\nadded=2\r\n; closing comment\r\n\r\n[t]\r\nx=1\r\ny=3\r\n"
            "[u]\r\nz=4\r\n");
  doc.DeleteKey("s", "K");
  doc.DeleteSection("t");
  EXPECT_EQ(doc.Text(), "\xEF\xBB\xBF; head\r\n[s]\r\nadded=2\r\n; closing comment\r\n\r\n[u]\r\nz=4\r\n");
  EXPECT_EQ(doc.Find("u", "z")->value, "4");
  EXPECT_EQ(doc.Find("t", "x"), nullptr);
}

TEST(IniDocument, ManyValuesAtOnceLeaveWhatOneAtATimeWould) {
  const std::vector<std::pair<std::string_view, std::string_view>> values = {
      {"b\\x", "1"}, {"K", "2"}, {"new", "3"}, {"B\\X", "4"}, {"other", "5"}, {"NEW", "\"6\""}};
  for (const char* start : {"", "[s]\r\nk=old", "; c\n[t]\nx=1\n[s]\nk=0\n; end of s\n\n[t]\n[S]\nnew=9\n",
                            "[x]\nk=1\n"}) {
    IniDocument one(start), many(start);
    for (const auto& [key, value] : values) one.SetValue("s", key, value);
    many.SetValues("s", values);
    EXPECT_EQ(many.Text(), one.Text()) << start;
    ASSERT_NE(many.Find("S", "new"), nullptr);
    EXPECT_EQ(many.Find("S", "new")->value, "6");
  }
}

}  // namespace
