#include "http/ntlm.h"

#include <gtest/gtest.h>

#include "http/httpauth.h"

namespace {

std::string Hex(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

uint32_t Le(const std::string& m, size_t at, int width) {
  uint32_t v = 0;
  for (int i = width - 1; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(m.at(at + i));
  return v;
}

// The bytes a length/allocated/offset field of m at "at" points to.
std::string Field(const std::string& m, size_t at) {
  EXPECT_EQ(Le(m, at, 2), Le(m, at + 2, 2));
  return m.substr(Le(m, at + 4, 4), Le(m, at, 2));
}

const std::array<uint8_t, 8> kChallenge = {0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef};

// The published version 1 test vector.
TEST(NtlmResponses, PublishedKnownAnswers) {
  EXPECT_EQ(Hex(NtlmLmResponse("Password", kChallenge)),
            "98def7b87f88aa5dafe2df779688a172def11c7d5ccdef13");
  EXPECT_EQ(Hex(NtlmNtResponse("Password", kChallenge)),
            "67c43011f30298a2ad35ece64f16331c44bdbed927841f94");
}

// Reference values computed independently with the openssl command-line tool.
TEST(NtlmResponses, EmptyLongAndNonAsciiPasswords) {
  // An empty password gives all-zero (weak) DES keys, which must still encrypt.
  EXPECT_EQ(Hex(NtlmLmResponse("", kChallenge)),
            "bada4716c630d691180e163fbdd87cde5f3231384d879388");
  EXPECT_EQ(Hex(NtlmNtResponse("", kChallenge)),
            "3a2eb2b1b13b01b8491ab00c070dd7e1da0b98040b02c03f");
  // LM upper-cases and cuts at 14 characters; NT takes the whole password.
  EXPECT_EQ(Hex(NtlmLmResponse("abcdefghijklmnopq", kChallenge)),
            "5dc41d7890ab9f871127b4886a8e9cc1a54646db2d5bc367");
  EXPECT_EQ(Hex(NtlmLmResponse("ABCDEFGHIJKLMNxyz", kChallenge)),
            "5dc41d7890ab9f871127b4886a8e9cc1a54646db2d5bc367");
  EXPECT_EQ(Hex(NtlmNtResponse("abcdefghijklmnopq", kChallenge)),
            "ebd338023babd6921869a80e2ca0980cd1e27e7d6a1e6170");
  EXPECT_EQ(Hex(NtlmNtResponse("p\xc3\xa4ssw\xc3\xb6rd\xe2\x82\xac\xf0\x9f\x98\x80",
                               {0xf0, 0xe1, 0xd2, 0xc3, 0xb4, 0xa5, 0x96, 0x87})),
            "f95d6c4a84f3b964acd934cd25d3e182d735d979c228ec03")
      << "wrong with a non-ASCII password";
}

TEST(Utf8ToUtf16, DecodesAndKeepsStrayBytes) {
  EXPECT_EQ(Utf8ToUtf16("User"), u"User");
  EXPECT_EQ(Utf8ToUtf16("\xc3\xa9\xe2\x82\xac"), u"\u00e9\u20ac");
  EXPECT_EQ(Utf8ToUtf16("\xf0\x9f\x98\x80"), std::u16string({0xD83D, 0xDE00}));
  // A lone lead byte at the end, an overlong form and a bare continuation byte.
  EXPECT_EQ(Utf8ToUtf16("a\xe2\x82"), std::u16string({'a', 0xE2, 0x82}));
  EXPECT_EQ(Utf8ToUtf16("\xc0\xaf"), std::u16string({0xC0, 0xAF}));
  EXPECT_EQ(Utf8ToUtf16("\x80z"), std::u16string({0x80, 'z'}));
}

TEST(NtlmMessages, NegotiateMessageBytes) {
  EXPECT_EQ(Hex(NtlmNegotiateMessage()),
            "4e544c4d53535000"   // signature
            "01000000"           // type 1
            "07820000"           // flags 0x8207
            "0000000020000000"   // empty domain at 32
            "0000000020000000");  // empty workstation at 32
}

TEST(NtlmMessages, AuthenticateMessageCarriesTheResponses) {
  const std::string m = NtlmAuthenticateMessage("User", "Password", "WS1", kChallenge);
  ASSERT_GE(m.size(), 64u);
  EXPECT_EQ(m.substr(0, 8), std::string("NTLMSSP\0", 8));
  EXPECT_EQ(Le(m, 8, 4), 3u);
  EXPECT_EQ(Le(m, 60, 4), 0x8205u);
  EXPECT_EQ(Hex(Field(m, 12)), "98def7b87f88aa5dafe2df779688a172def11c7d5ccdef13");
  EXPECT_EQ(Hex(Field(m, 20)), "67c43011f30298a2ad35ece64f16331c44bdbed927841f94");
  EXPECT_EQ(Field(m, 28), "");
  EXPECT_EQ(Field(m, 36), std::string("U\0s\0e\0r\0", 8));
  EXPECT_EQ(Field(m, 44), std::string("W\0S\0" "1\0", 6));
  EXPECT_EQ(Field(m, 52), "");
  // Payload order: user, workstation, LM, NT, and nothing after.
  EXPECT_EQ(Le(m, 40, 4), 64u);
  EXPECT_EQ(Le(m, 48, 4), 72u);
  EXPECT_EQ(Le(m, 16, 4), 78u);
  EXPECT_EQ(Le(m, 24, 4), 102u);
  EXPECT_EQ(m.size(), 126u);
}

// A second message: 48-byte header, then the target information list.
std::string Challenge(const std::string& targetInfo, uint32_t infoOffset = 48,
                      int infoLength = -1, uint32_t type = 2) {
  std::string m("NTLMSSP\0", 8);
  auto put = [&m](uint32_t v, int width) {
    for (int i = 0; i < width; ++i) m += static_cast<char>(v >> (8 * i) & 0xFF);
  };
  put(type, 4);
  put(0, 2), put(0, 2), put(48, 4);  // target name
  put(0x00810201, 4);                // flags
  m += "\x01\x23\x45\x67\x89\xab\xcd\xef";
  put(0, 4), put(0, 4);  // context
  const uint32_t len = infoLength < 0 ? static_cast<uint32_t>(targetInfo.size()) : infoLength;
  put(len, 2), put(len, 2), put(infoOffset, 4);
  return m + targetInfo;
}

std::string Entry(uint16_t type, const std::string& value) {
  std::string e;
  e += static_cast<char>(type & 0xFF);
  e += static_cast<char>(type >> 8);
  e += static_cast<char>(value.size() & 0xFF);
  e += static_cast<char>(value.size() >> 8);
  return e + value;
}

const std::string kServer("S\0R\0V\0", 6);
const std::string kDomain("D\0O\0M\0", 6);

TEST(NtlmMessages, ChallengeParsesChallengeAndTargetNames) {
  TNtlmChallenge info;
  ASSERT_TRUE(NtlmParseChallenge(
      Base64Encode(Challenge(Entry(2, kDomain) + Entry(1, kServer) + Entry(0, ""))), info));
  EXPECT_TRUE(info.Valid);
  EXPECT_EQ(info.Challenge, kChallenge);
  EXPECT_EQ(info.Server, u"SRV");
  EXPECT_EQ(info.Domain, u"DOM");

  // Entries after the terminator are not read; short messages carry no target information.
  ASSERT_TRUE(NtlmParseChallenge(
      Base64Encode(Challenge(Entry(0, "") + Entry(1, kServer))), info));
  EXPECT_EQ(info.Server, u"");
  ASSERT_TRUE(NtlmParseChallenge(Base64Encode(Challenge("").substr(0, 32)), info));
  EXPECT_EQ(info.Challenge, kChallenge);
}

TEST(NtlmMessages, BadChallengesAreRefused) {
  const std::string good = Entry(1, kServer) + Entry(0, "");
  const std::string bad[] = {
      "",                                             // nothing to decode
      "TlRMTVNTUAACAAAA$$$$",                         // not Base64
      Base64Encode(Challenge(good).substr(0, 31)),    // shorter than its header
      Base64Encode(Challenge(good, 48, -1, 1)),       // not a second message
      Base64Encode("NTLMSSQ" + Challenge(good).substr(7)),
      Base64Encode(Challenge(good, 200)),             // offset beyond the message
      Base64Encode(Challenge(good, 0xFFFFFFF0u)),     // offset that would wrap
      Base64Encode(Challenge(good, 48, 400)),         // length beyond the message
      Base64Encode(Challenge(Entry(1, kServer).substr(0, 7))),  // value beyond the list
      Base64Encode(Challenge(Entry(2, std::string(300, 'x')).substr(0, 40))),
  };
  for (const std::string& text : bad) {
    TNtlmChallenge info;
    info.Valid = true;
    EXPECT_FALSE(NtlmParseChallenge(text, info)) << text;
    EXPECT_FALSE(info.Valid) << text;
  }
}

}  // namespace
