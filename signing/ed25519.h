// Keys, signatures and digests for signed releases. Ed25519 and SHA-256 come from
// Nettle; this file only gives them names and a text form. No I/O.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace signing {

using TPublicKey = std::array<uint8_t, 32>;
using TSecretKey = std::array<uint8_t, 32>;  // the seed, as Ed25519 keeps it
using TSignature = std::array<uint8_t, 64>;
using TDigest = std::array<uint8_t, 32>;

// Lower-case hexadecimal, two digits a byte.
std::string ToHex(const uint8_t* data, size_t size);
template <size_t N>
std::string ToHex(const std::array<uint8_t, N>& bytes) {
  return ToHex(bytes.data(), N);
}
// Exactly 2 * out.size() hexadecimal digits (either case), nothing else.
bool FromHex(std::string_view text, uint8_t* out, size_t size);

// The public key's text form (the build setting takes it): 64 hexadecimal digits.
std::optional<TPublicKey> ParsePublicKey(std::string_view text);
std::string PublicKeyText(const TPublicKey& key);

TPublicKey PublicKeyOf(const TSecretKey& secret);
TSignature Sign(const TSecretKey& secret, std::string_view message);
bool Verify(const TPublicKey& key, std::string_view message, const TSignature& signature);

// The secret key file: a header line, the seed and the public key, each on its own line.
std::string SecretKeyFileText(const TSecretKey& secret);
// The seed of a key file, if it is one and its public key matches the seed.
std::optional<TSecretKey> ParseSecretKeyFile(std::string_view text);

// SHA-256 fed piece by piece, so a package never has to be in memory whole.
class TSha256 {
 public:
  TSha256();
  ~TSha256();
  TSha256(const TSha256&) = delete;
  TSha256& operator=(const TSha256&) = delete;
  void Update(const void* data, size_t size);
  // The digest; the object starts afresh afterwards.
  TDigest Final();

 private:
  struct TState;
  TState* state_;
};

TDigest Sha256(std::string_view data);

}  // namespace signing
