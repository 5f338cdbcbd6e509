#include "signing/ed25519.h"

#include <nettle/eddsa.h>
#include <nettle/sha2.h>

namespace signing {

namespace {

const char* const kSecretHeader = "updater release secret key 1";

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string ToHex(const uint8_t* data, size_t size) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  out.reserve(size * 2);
  for (size_t i = 0; i < size; ++i) {
    out += digits[data[i] >> 4];
    out += digits[data[i] & 15];
  }
  return out;
}

bool FromHex(std::string_view text, uint8_t* out, size_t size) {
  if (text.size() != size * 2) return false;
  for (size_t i = 0; i < size; ++i) {
    const int high = HexDigit(text[2 * i]);
    const int low = HexDigit(text[2 * i + 1]);
    if (high < 0 || low < 0) return false;
    out[i] = static_cast<uint8_t>(high * 16 + low);
  }
  return true;
}

std::optional<TPublicKey> ParsePublicKey(std::string_view text) {
  TPublicKey key;
  if (!FromHex(text, key.data(), key.size())) return std::nullopt;
  return key;
}

std::string PublicKeyText(const TPublicKey& key) { return ToHex(key); }

TPublicKey PublicKeyOf(const TSecretKey& secret) {
  TPublicKey key;
  ed25519_sha512_public_key(key.data(), secret.data());
  return key;
}

TSignature Sign(const TSecretKey& secret, std::string_view message) {
  const TPublicKey key = PublicKeyOf(secret);
  TSignature signature;
  ed25519_sha512_sign(key.data(), secret.data(), message.size(),
                      reinterpret_cast<const uint8_t*>(message.data()), signature.data());
  return signature;
}

bool Verify(const TPublicKey& key, std::string_view message, const TSignature& signature) {
  return ed25519_sha512_verify(key.data(), message.size(), reinterpret_cast<const uint8_t*>(message.data()),
                               signature.data()) != 0;
}

std::string SecretKeyFileText(const TSecretKey& secret) {
  return std::string(kSecretHeader) + "\nseed: " + ToHex(secret) + "\npublic: " + PublicKeyText(PublicKeyOf(secret)) +
         "\n";
}

std::optional<TSecretKey> ParseSecretKeyFile(std::string_view text) {
  const std::string seedPrefix = std::string(kSecretHeader) + "\nseed: ";
  if (text.substr(0, seedPrefix.size()) != seedPrefix) return std::nullopt;
  text.remove_prefix(seedPrefix.size());
  TSecretKey secret;
  if (text.size() < 64 || !FromHex(text.substr(0, 64), secret.data(), secret.size())) return std::nullopt;
  text.remove_prefix(64);
  const std::string_view publicPrefix = "\npublic: ";
  if (text.substr(0, publicPrefix.size()) != publicPrefix) return std::nullopt;
  text.remove_prefix(publicPrefix.size());
  // A file whose two halves disagree was edited or damaged: signing with it would make
  // releases that no updater accepts.
  if (text != PublicKeyText(PublicKeyOf(secret)) + "\n") return std::nullopt;
  return secret;
}

struct TSha256::TState {
  sha256_ctx ctx;
};

TSha256::TSha256() : state_(new TState) { sha256_init(&state_->ctx); }

TSha256::~TSha256() { delete state_; }

void TSha256::Update(const void* data, size_t size) {
  sha256_update(&state_->ctx, size, static_cast<const uint8_t*>(data));
}

TDigest TSha256::Final() {
  TDigest digest;
  sha256_digest(&state_->ctx, digest.size(), digest.data());
  return digest;
}

TDigest Sha256(std::string_view data) {
  TSha256 hash;
  hash.Update(data.data(), data.size());
  return hash.Final();
}

}  // namespace signing
