// Ed25519 against the published known answers (RFC 8032, section 7.1), SHA-256 against
// FIPS 180-2's, and the two key text forms.
#include "signing/ed25519.h"

#include <gtest/gtest.h>

namespace signing {
namespace {

std::string Bytes(const std::string& hex) {
  std::string out(hex.size() / 2, '\0');
  EXPECT_TRUE(FromHex(hex, reinterpret_cast<uint8_t*>(out.data()), out.size())) << hex;
  return out;
}

template <size_t N>
std::array<uint8_t, N> Array(const std::string& hex) {
  std::array<uint8_t, N> out{};
  EXPECT_TRUE(FromHex(hex, out.data(), N)) << hex;
  return out;
}

struct KnownAnswer {
  const char* secret;
  const char* publicKey;
  const char* message;
  const char* signature;
};

const KnownAnswer kRfc8032[] = {
    {"9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60",
     "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a", "",
     "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e39701cf9b46bd25bf5f0595bbe24"
     "655141438e7a100b"},
    {"4ccd089b28ff96da9db6c346ec114e0f5b8a319f35aba624da8cf6ed4fb8a6fb",
     "3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c", "72",
     "92a009a9f0d4cab8720e820b5f642540a2b27b5416503f8fb3762223ebdb69da085ac1e43e15996e458f3613d0f11d8c387b2eaeb4302aee"
     "b00d291612bb0c00"},
    {"c5aa8df43f9f837bedb7442f31dcb7b166d38535076f094b85ce3a2e0b4458f7",
     "fc51cd8e6218a1a38da47ed00230f0580816ed13ba3303ac5deb911548908025", "af82",
     "6291d657deec24024827e69c3abe01a30ce548a284743a445e3680d7db5ac3ac18ff9b538d16f290ae67f760984dc6594a7c15e9716ed28d"
     "c027beceea1ec40a"},
    {"833fe62409237b9d62ec77587520911e9a759cec1d19755b7da901b96dca3d42",
     "ec172b93ad5e563bf4932c70e1245034c35467ef2efd4d64ebf819683467e2bf",
     "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e"
     "2a9ac94fa54ca49f",
     "dc2a4459e7369633a52b1bf277839a00201009a3efbf3ecb69bea2186c26b58909351fc9ac90b3ecfdfbc7c66431e0303dca179c138ac17a"
     "d9bef1177331a704"},
};

TEST(Ed25519, KnownAnswersSignAndVerify) {
  for (const KnownAnswer& k : kRfc8032) {
    const TSecretKey secret = Array<32>(k.secret);
    const std::string message = Bytes(k.message);
    EXPECT_EQ(PublicKeyText(PublicKeyOf(secret)), k.publicKey);
    EXPECT_EQ(ToHex(Sign(secret, message)), k.signature);
    EXPECT_TRUE(Verify(Array<32>(k.publicKey), message, Array<64>(k.signature)));
  }
}

TEST(Ed25519, AnyFlippedBitOfMessageSignatureOrKeyFailsVerification) {
  const KnownAnswer& k = kRfc8032[2];
  const TPublicKey key = Array<32>(k.publicKey);
  const std::string message = Bytes(k.message);
  const TSignature signature = Array<64>(k.signature);
  for (size_t i = 0; i < message.size() * 8; ++i) {
    std::string m = message;
    m[i / 8] = static_cast<char>(m[i / 8] ^ (1 << (i % 8)));
    EXPECT_FALSE(Verify(key, m, signature)) << "message bit " << i;
  }
  for (size_t i = 0; i < signature.size() * 8; ++i) {
    TSignature s = signature;
    s[i / 8] ^= static_cast<uint8_t>(1 << (i % 8));
    EXPECT_FALSE(Verify(key, message, s)) << "signature bit " << i;
  }
  for (size_t i = 0; i < key.size() * 8; ++i) {
    TPublicKey other = key;
    other[i / 8] ^= static_cast<uint8_t>(1 << (i % 8));
    EXPECT_FALSE(Verify(other, message, signature)) << "key bit " << i;
  }
  EXPECT_FALSE(Verify(key, message + "x", signature));
  EXPECT_FALSE(Verify(Array<32>(kRfc8032[0].publicKey), message, signature));
}

TEST(Sha256, KnownAnswersWholeAndInPieces) {
  EXPECT_EQ(ToHex(Sha256("")), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(ToHex(Sha256("abc")), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  const std::string two = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
  const std::string expected = "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1";
  EXPECT_EQ(ToHex(Sha256(two)), expected);
  // Cut at every place: the digest must not depend on how the data arrives.
  TSha256 hash;
  for (size_t cut = 0; cut <= two.size(); ++cut) {
    hash.Update(two.data(), cut);
    hash.Update(two.data() + cut, two.size() - cut);
    EXPECT_EQ(ToHex(hash.Final()), expected) << cut;
  }
}

TEST(KeyText, PublicKeyIsSixtyFourHexDigitsAndNothingElse) {
  const std::string text = kRfc8032[0].publicKey;
  ASSERT_TRUE(ParsePublicKey(text));
  EXPECT_EQ(PublicKeyText(*ParsePublicKey(text)), text);
  std::string upper = text;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  EXPECT_EQ(ParsePublicKey(upper), ParsePublicKey(text));
  for (const std::string& bad : {text.substr(1), text + "0", text + "\n", " " + text, text.substr(0, 63) + "g",
                                 std::string()})
    EXPECT_FALSE(ParsePublicKey(bad)) << bad;
}

TEST(KeyText, SecretKeyFileReadsBackAndRefusesEditedOrDamagedFiles) {
  const TSecretKey secret = Array<32>(kRfc8032[1].secret);
  const std::string file = SecretKeyFileText(secret);
  EXPECT_NE(file.find(kRfc8032[1].publicKey), std::string::npos);
  ASSERT_TRUE(ParseSecretKeyFile(file));
  EXPECT_EQ(*ParseSecretKeyFile(file), secret);
  for (size_t i = 0; i < file.size(); ++i) {
    std::string damaged = file;
    damaged[i] = damaged[i] == 'a' ? 'b' : 'a';
    EXPECT_FALSE(ParseSecretKeyFile(damaged)) << "byte " << i;
  }
  EXPECT_FALSE(ParseSecretKeyFile(file.substr(0, file.size() - 1)));
  EXPECT_FALSE(ParseSecretKeyFile(file + "\n"));
}

}  // namespace
}  // namespace signing
