#include "http/httpauth.h"

#include <gtest/gtest.h>

namespace {

TEST(Base64, EncodesCredentials) {
  EXPECT_EQ(AuthBasicValue("user", "password"), "dXNlcjpwYXNzd29yZA==");
  EXPECT_EQ(AuthBasicValue("Aladdin", "open sesame"), "QWxhZGRpbjpvcGVuIHNlc2FtZQ==");
  EXPECT_EQ(Base64Encode("ab"), "YWI=");
}

TEST(Base64, RefusesTextThatDoesNotDecode) {
  std::string out = "stale";
  EXPECT_FALSE(Base64Decode("QUJD$", out));
  EXPECT_FALSE(Base64Decode("QUJ", out));      // missing padding
  EXPECT_FALSE(Base64Decode("QQ=A", out));     // data after padding
  EXPECT_TRUE(Base64Decode("QUJD", out));
  EXPECT_EQ(out, "ABC");
}

TEST(DigestChallenge, ReadsQuotedValuesAndDefaults) {
  TAuthDigestInfo info;
  info.Nc = 7;
  ASSERT_TRUE(AuthDigestParseChallenge(
      "realm=\"testrealm@host.com\", nonce=\"abc\", domain=\"/x /y\", stale=\"TRUE\"", info));
  EXPECT_EQ(info.Realm, "testrealm@host.com");
  EXPECT_EQ(info.Nonce, "abc");
  EXPECT_EQ(info.Domain, "/x /y");
  EXPECT_EQ(info.Algorithm, "MD5");
  EXPECT_EQ(info.Qop, "");
  EXPECT_TRUE(info.Stale);
  EXPECT_FALSE(info.HasOpaque);
  EXPECT_EQ(info.Nc, 0u);
}

TEST(DigestChallenge, BareAlgorithmAndQopRunToTheNextComma) {
  TAuthDigestInfo info;
  ASSERT_TRUE(AuthDigestParseChallenge("algorithm=MD5, qop=auth, realm=\"r\", nonce=\"n\"", info));
  EXPECT_EQ(info.Algorithm, "MD5");
  EXPECT_EQ(info.Qop, "auth");
  // Without a comma after it a bare value reads as empty.
  ASSERT_TRUE(AuthDigestParseChallenge("realm=\"r\", qop=auth-int", info));
  EXPECT_EQ(info.Qop, "");
  ASSERT_TRUE(AuthDigestParseChallenge("realm=\"r\", opaque=\"\"", info));
  EXPECT_TRUE(info.HasOpaque);
  EXPECT_EQ(info.Opaque, "");
}

TEST(DigestChallenge, UsableOnlyWithRealmMd5AndPlainAuth) {
  TAuthDigestInfo info;
  EXPECT_FALSE(AuthDigestParseChallenge("nonce=\"n\"", info));                  // no realm
  EXPECT_FALSE(AuthDigestParseChallenge("realm=\"\", nonce=\"n\"", info));      // empty realm
  EXPECT_FALSE(AuthDigestParseChallenge("realm=\"r\", qop=\"auth-int\"", info));
  EXPECT_FALSE(AuthDigestParseChallenge("realm=\"r\", qop=\"auth,auth-int\"", info));
  EXPECT_FALSE(AuthDigestParseChallenge("realm=\"r\", algorithm=\"MD5-sess\"", info));
  EXPECT_FALSE(AuthDigestParseChallenge("realm=\"r\", algorithm=md5, nonce=\"n\"", info));
  EXPECT_FALSE(AuthDigestParseChallenge("realm=\"r\", algorithm=SHA-256, nonce=\"n\"", info));
  EXPECT_TRUE(AuthDigestParseChallenge("realm=\"r\", qop=\"auth\", algorithm=\"MD5\"", info));
}

TEST(DigestChallenge, UnterminatedQuotesAreRefused) {
  TAuthDigestInfo info;
  EXPECT_FALSE(AuthDigestParseChallenge("realm=\"r", info));
  EXPECT_FALSE(AuthDigestParseChallenge("realm=\"r\", nonce=\"abc", info));
  EXPECT_FALSE(AuthDigestParseChallenge("realm=\"r\", opaque=\"", info));
  EXPECT_FALSE(AuthDigestParseChallenge("realm=\"r\", qop=\"auth", info));
  EXPECT_FALSE(AuthDigestParseChallenge("", info));
}

TAuthDigestInfo Rfc2617Challenge() {
  TAuthDigestInfo info;
  EXPECT_TRUE(AuthDigestParseChallenge(
      "realm=\"testrealm@host.com\", qop=\"auth\", "
      "nonce=\"dcd98b7102dd2f0e8b11d0f600bfb0c093\", "
      "opaque=\"5ccc069c403ebaf9f0171e9517f40e41\"",
      info));
  return info;
}

TEST(DigestAnswer, MatchesTheRfc2617Example) {
  EXPECT_EQ(AuthDigestAnswer("Mufasa", "Circle Of Life", "GET", "/dir/index.html",
                             Rfc2617Challenge(), 1, "0a4f113b"),
            "username=\"Mufasa\", realm=\"testrealm@host.com\", "
            "nonce=\"dcd98b7102dd2f0e8b11d0f600bfb0c093\", uri=\"/dir/index.html\", "
            "response=\"6629fae49393a05397450978507c4ef1\", "
            "opaque=\"5ccc069c403ebaf9f0171e9517f40e41\", qop=auth, nc=00000001, "
            "cnonce=\"0a4f113b\"");
}

TEST(DigestAnswer, NonceCountIsUpperCaseHexAndEntersTheResponse) {
  const TAuthDigestInfo info = Rfc2617Challenge();
  auto answer = [&](uint32_t nc) {
    return AuthDigestAnswer("Mufasa", "Circle Of Life", "GET", "/", info, nc, "0a4f113b");
  };
  auto response = [&](uint32_t nc) {
    const std::string a = answer(nc);
    return a.substr(a.find("response=\"") + 10, 32);
  };
  EXPECT_NE(answer(0x1AB).find(", nc=000001AB,"), std::string::npos) << answer(0x1AB);
  EXPECT_NE(response(1), response(2));
}

TEST(DigestAnswer, WithoutQopUsesTheOlderFormAndNoCounters) {
  // The RFC 2069 example.
  TAuthDigestInfo info;
  ASSERT_TRUE(AuthDigestParseChallenge(
      "realm=\"testrealm@host.com\", nonce=\"dcd98b7102dd2f0e8b11d0f600bfb0c093\"", info));
  EXPECT_EQ(AuthDigestAnswer("Mufasa", "CircleOfLife", "GET", "/dir/index.html", info, 1, "X"),
            "username=\"Mufasa\", realm=\"testrealm@host.com\", "
            "nonce=\"dcd98b7102dd2f0e8b11d0f600bfb0c093\", uri=\"/dir/index.html\", "
            "response=\"1949323746fe6a43ef61f9606e7febea\"");
}

TEST(DigestAnswer, OpaqueGoesBackOnlyWhenTheChallengeHadOne) {
  TAuthDigestInfo info;
  ASSERT_TRUE(AuthDigestParseChallenge("realm=\"r\", nonce=\"n\"", info));
  EXPECT_EQ(AuthDigestAnswer("u", "p", "GET", "/", info, 1, "c").find("opaque"),
            std::string::npos);
  ASSERT_TRUE(AuthDigestParseChallenge("realm=\"r\", nonce=\"n\", opaque=\"\"", info));
  EXPECT_NE(AuthDigestAnswer("u", "p", "GET", "/", info, 1, "c").find(", opaque=\"\""),
            std::string::npos);
}

TEST(DigestAnswer, ClientNonceIsEightUpperCaseHexDigitsBelowTheLimit) {
  std::string previous;
  int changes = 0;
  for (int i = 0; i < 20; ++i) {
    const std::string c = AuthDigestNewCnonce();
    ASSERT_EQ(c.size(), 8u);
    EXPECT_EQ(c.find_first_not_of("0123456789ABCDEF"), std::string::npos) << c;
    EXPECT_LT(std::stoul(c, nullptr, 16), 0x7FFFFFFFul);
    changes += c != previous;
    previous = c;
  }
  EXPECT_GT(changes, 1);
}

}  // namespace
