// A Digest challenge is the server's text; a usable one is answered.
#include <cstddef>
#include <cstdint>
#include <string>

#include "http/httpauth.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string challenge(reinterpret_cast<const char*>(data), size);
  TAuthDigestInfo info;
  if (AuthDigestParseChallenge(challenge, info)) {
    AuthDigestAnswer("user", "password", "GET", "/a/b?c", info, 1, "0000ABCD");
    info.Nc = 0xFFFFFFFF;
    AuthDigestAnswer("", "", "POST", "", info, info.Nc, "");
  }
  return 0;
}
