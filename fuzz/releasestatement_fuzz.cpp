// The release statement parser on arbitrary bytes. Whatever it accepts must read back
// byte for byte from its values (one spelling per statement), and the signature check
// must never accept what a fixed test key did not sign.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "signing/releasestatement.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  signing::TReleaseStatement statement;
  std::string_view signedPart;
  const signing::TStatementError error = signing::ParseReleaseStatement(text, statement, &signedPart);
  if (error != signing::TStatementError::None) return 0;
  if (signing::StatementText(statement) != text) std::abort();
  if (signedPart != signing::StatementSignedText(statement)) std::abort();
  signing::TSecretKey secret{};
  for (size_t i = 0; i < secret.size(); ++i) secret[i] = static_cast<uint8_t>(i);
  static const signing::TPublicKey key = signing::PublicKeyOf(secret);
  signing::TReleaseStatement checked;
  const signing::TRefusal refusal =
      signing::CheckStatement(text, key, statement.category, std::stod(statement.date), checked);
  // Only the statement the key signs itself passes.
  signing::TReleaseStatement resigned = statement;
  const bool genuine = signing::SignStatement(resigned, secret) == text;
  if ((refusal == signing::TRefusal::None) != genuine) std::abort();
  return 0;
}
