// The release statement: what the parser accepts, each way a statement is refused, and
// that no single changed byte anywhere gets past the checks the updater makes.
#include "signing/releasestatement.h"

#include <gtest/gtest.h>

namespace signing {
namespace {

TSecretKey TestSecret(uint8_t fill) {
  TSecretKey secret;
  for (size_t i = 0; i < secret.size(); ++i) secret[i] = static_cast<uint8_t>(fill + i * 7);
  return secret;
}

TReleaseStatement Example() {
  TReleaseStatement s;
  s.category = "demo";
  s.date = "20240301";
  s.length = 123456;
  s.sha256 = Sha256("the package");
  return s;
}

std::string Signed(TReleaseStatement s = Example(), const TSecretKey& secret = TestSecret(1)) {
  return SignStatement(s, secret);
}

std::string StringReplace(std::string text, const std::string& from, const std::string& to) {
  return text.replace(text.find(from), from.size(), to);
}

TStatementError Parse(const std::string& text) {
  TReleaseStatement out;
  return ParseReleaseStatement(text, out, nullptr);
}

// The statement with one named line's value replaced.
std::string WithValue(const std::string& name, const std::string& value) {
  std::string text = Signed();
  const size_t start = text.find("\n" + name + ": ") + name.size() + 3;
  return text.replace(start, text.find('\n', start) - start, value);
}

TEST(ReleaseStatement, ReadsBackWhatWasWrittenAndTheSignedPartEndsBeforeTheSignature) {
  const std::string text = Signed();
  EXPECT_EQ(text.substr(0, text.find('\n')), "updater release statement 1");
  TReleaseStatement out;
  std::string_view signedPart;
  ASSERT_EQ(ParseReleaseStatement(text, out, &signedPart), TStatementError::None);
  EXPECT_EQ(out.category, "demo");
  EXPECT_EQ(out.date, "20240301");
  EXPECT_EQ(out.length, 123456);
  EXPECT_EQ(out.sha256, Sha256("the package"));
  EXPECT_EQ(signedPart, StatementSignedText(out));
  EXPECT_EQ(text.substr(signedPart.size(), 11), "signature: ");
  EXPECT_TRUE(Verify(PublicKeyOf(TestSecret(1)), signedPart, out.signature));
  EXPECT_EQ(StatementText(out), text);
}

TEST(ReleaseStatement, CategoriesMayBeAnyPrintableTextUpToTheirLimit) {
  for (const std::string& category : {std::string("0"), std::string("软件 二"), std::string(kMaxCategorySize, 'c')}) {
    TReleaseStatement s = Example();
    s.category = category;
    TReleaseStatement out;
    ASSERT_EQ(ParseReleaseStatement(Signed(s), out, nullptr), TStatementError::None) << category;
    EXPECT_EQ(out.category, category);
  }
  EXPECT_EQ(Parse(WithValue("category", std::string(kMaxCategorySize + 1, 'c'))), TStatementError::BadCategory);
  EXPECT_EQ(Parse(WithValue("category", "")), TStatementError::BadCategory);
  EXPECT_EQ(Parse(WithValue("category", "de\tmo")), TStatementError::BadCategory);
  EXPECT_EQ(Parse(WithValue("category", "demo\r")), TStatementError::BadCategory);
}

TEST(ReleaseStatement, EachBadValueIsNamed) {
  EXPECT_EQ(Parse(WithValue("date", "2024031")), TStatementError::BadDate);
  EXPECT_EQ(Parse(WithValue("date", "202403011")), TStatementError::BadDate);
  EXPECT_EQ(Parse(WithValue("date", "2024O301")), TStatementError::BadDate);
  for (const char* length : {"", "0", "-5", "+5", "0123", " 123", "123 ", "12a", "0x10", "9223372036854775808",
                             "99999999999999999999"})
    EXPECT_EQ(Parse(WithValue("length", length)), TStatementError::BadLength) << length;
  TReleaseStatement out;
  ASSERT_EQ(ParseReleaseStatement(WithValue("length", "9223372036854775807"), out, nullptr), TStatementError::None);
  EXPECT_EQ(out.length, INT64_MAX);
  const std::string digest = ToHex(Sha256("x"));
  EXPECT_EQ(Parse(WithValue("sha256", digest.substr(2))), TStatementError::BadDigest);
  EXPECT_EQ(Parse(WithValue("sha256", digest + "00")), TStatementError::BadDigest);
  EXPECT_EQ(Parse(WithValue("sha256", "z" + digest.substr(1))), TStatementError::BadDigest);
  const std::string signature(128, 'a');
  EXPECT_EQ(Parse(WithValue("signature", signature.substr(2))), TStatementError::BadSignatureSize);
  EXPECT_EQ(Parse(WithValue("signature", signature + "00")), TStatementError::BadSignatureSize);
  EXPECT_EQ(Parse(WithValue("signature", "")), TStatementError::BadSignatureSize);
  EXPECT_EQ(Parse(WithValue("signature", "q" + signature.substr(1))), TStatementError::BadSignatureText);
}

TEST(ReleaseStatement, LinesMissingRepeatedUnknownOrOutOfOrderAreRefused) {
  const std::string text = Signed();
  std::vector<std::string> lines;
  for (size_t pos = 0; pos < text.size();) {
    const size_t end = text.find('\n', pos);
    lines.push_back(text.substr(pos, end + 1 - pos));
    pos = end + 1;
  }
  ASSERT_EQ(lines.size(), 6u);
  auto join = [](const std::vector<std::string>& parts) {
    std::string out;
    for (const std::string& p : parts) out += p;
    return out;
  };
  EXPECT_EQ(Parse(join({lines[1], lines[2], lines[3], lines[4], lines[5]})), TStatementError::BadHeader);
  for (size_t drop = 1; drop < lines.size(); ++drop) {
    std::vector<std::string> without = lines;
    without.erase(without.begin() + static_cast<long>(drop));
    EXPECT_EQ(Parse(join(without)), TStatementError::MissingLine) << drop;
    std::vector<std::string> twice = lines;
    twice.insert(twice.begin() + static_cast<long>(drop), lines[drop]);
    EXPECT_EQ(Parse(join(twice)), TStatementError::RepeatedLine) << drop;
  }
  std::vector<std::string> swapped = lines;
  std::swap(swapped[2], swapped[3]);
  EXPECT_EQ(Parse(join(swapped)), TStatementError::OutOfOrder);
  std::vector<std::string> extra = lines;
  extra.insert(extra.begin() + 3, "comment: hello\n");
  EXPECT_EQ(Parse(join(extra)), TStatementError::UnknownLine);
  EXPECT_EQ(Parse(text + "\n"), TStatementError::UnknownLine);
  EXPECT_EQ(Parse(text + "category: demo\n"), TStatementError::RepeatedLine);
  EXPECT_EQ(Parse(StringReplace(text, "date: ", "date:")), TStatementError::UnknownLine);
  EXPECT_EQ(Parse(StringReplace(text, "date: ", "Date: ")), TStatementError::UnknownLine);
}

TEST(ReleaseStatement, CutTransfersCrLfAndOversizeAreRefused) {
  const std::string text = Signed();
  EXPECT_EQ(Parse(""), TStatementError::Unterminated);
  EXPECT_EQ(Parse(text.substr(0, text.size() - 1)), TStatementError::Unterminated);
  // A cut at a line's end leaves lines missing.
  EXPECT_EQ(Parse(text.substr(0, text.find("signature"))), TStatementError::MissingLine);
  std::string crlf;
  for (char c : text) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  EXPECT_EQ(Parse(crlf), TStatementError::BadHeader);
  EXPECT_EQ(Parse(std::string(kMaxStatementSize + 1, '\n')), TStatementError::TooLarge);
  EXPECT_NE(Parse(std::string(kMaxStatementSize, '\n')), TStatementError::TooLarge);
}

class CheckStatementTest : public ::testing::Test {
 protected:
  TRefusal Check(const std::string& text, const std::string& category = "demo", double date = 20240301,
                 const TPublicKey& key = PublicKeyOf(TestSecret(1))) {
    return CheckStatement(text, key, category, date, out, &error);
  }
  TReleaseStatement out;
  TStatementError error = TStatementError::None;
};

TEST_F(CheckStatementTest, AcceptsOnlyTheKeysOwnStatementForThisCategoryAndDate) {
  EXPECT_EQ(Check(Signed()), TRefusal::None);
  EXPECT_EQ(out.length, 123456);
  EXPECT_EQ(Check(Signed(), "demo", 20240301, PublicKeyOf(TestSecret(2))), TRefusal::BadSignature);
  EXPECT_EQ(Check(Signed(), "other"), TRefusal::WrongCategory);
  EXPECT_EQ(Check(Signed(), "Demo"), TRefusal::WrongCategory);
  EXPECT_EQ(Check(Signed(), "demo", 20240302), TRefusal::WrongDate);
  EXPECT_EQ(Check(Signed(), "demo", 20240228), TRefusal::WrongDate);
  EXPECT_EQ(Check("not a statement\n"), TRefusal::BadStatement);
  EXPECT_EQ(error, TStatementError::BadHeader);
}

TEST_F(CheckStatementTest, EveryByteChangedAnywhereIsRefused) {
  const std::string text = Signed();
  for (size_t i = 0; i < text.size(); ++i) {
    for (int bit = 0; bit < 8; ++bit) {
      std::string damaged = text;
      damaged[i] = static_cast<char>(damaged[i] ^ (1 << bit));
      EXPECT_NE(Check(damaged), TRefusal::None) << "byte " << i << " bit " << bit;
    }
  }
}

TEST_F(CheckStatementTest, ASignatureOfOneStatementDoesNotCoverAnother) {
  TReleaseStatement longer = Example();
  longer.length += 1;
  std::string text = StatementSignedText(longer) + Signed().substr(Signed().find("signature: "));
  EXPECT_EQ(Check(text), TRefusal::BadSignature);
}

}  // namespace
}  // namespace signing
