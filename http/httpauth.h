// Authentication helpers of the HTTP client: Base64, the Basic credentials and the Digest
// scheme (MD5). The published algorithms come from Nettle.
#pragma once

#include <cstdint>
#include <string>

// Base64 with padding, no line breaks.
std::string Base64Encode(const std::string& data);
// False when text is not valid Base64 (blanks and line breaks are skipped).
bool Base64Decode(const std::string& text, std::string& data);

// The value after "Basic ": Base64 of user ":" password.
std::string AuthBasicValue(const std::string& user, const std::string& password);

// Lower-case hexadecimal MD5 digest of data.
std::string Md5Hex(const std::string& data);

// What a Digest challenge said, one record for the server and one for the proxy.
struct TAuthDigestInfo {
  uint32_t Nc = 0;
  std::string Realm;
  std::string Qop;
  std::string Algorithm;
  std::string Nonce;
  std::string Opaque;
  std::string Domain;
  bool Stale = false;
  // The challenge carried an opaque value (possibly empty); only then is one sent back.
  bool HasOpaque = false;
};

// Parses the text after "Digest " into info (the nonce count starts again at 0) and
// answers whether the challenge can be answered: a realm, algorithm MD5 (none means MD5),
// and no qop or exactly "auth". A quoted value without its closing quote makes the
// challenge unusable.
bool AuthDigestParseChallenge(const std::string& challenge, TAuthDigestInfo& info);

// The value after "Digest " answering info for user and password. uri is the path of the
// request; nc is the nonce count to send and cnonce the client nonce text, both used only
// with a qop.
std::string AuthDigestAnswer(const std::string& user, const std::string& password,
                             const std::string& method, const std::string& uri,
                             const TAuthDigestInfo& info, uint32_t nc, const std::string& cnonce);

// A fresh client nonce: a random number below 2^31 - 1 as 8 upper-case hexadecimal digits.
std::string AuthDigestNewCnonce();
