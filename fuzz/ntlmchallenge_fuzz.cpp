// An NTLM challenge (the server's second message): Base64 text, then a binary message
// with offsets and lengths of its own.
#include <cstddef>
#include <cstdint>
#include <string>

#include "http/httpauth.h"
#include "http/ntlm.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  TNtlmChallenge info;
  // As the binary message, encoded the way a server sends it...
  if (NtlmParseChallenge(Base64Encode(bytes), info))
    NtlmAuthenticateMessage("user", "password", "host", info.Challenge);
  // ...and as text that may not be Base64 at all.
  NtlmParseChallenge(bytes, info);
  return 0;
}
