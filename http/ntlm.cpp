#include "http/ntlm.h"

#include <nettle/des.h>
#include <nettle/md4.h>
#include <nettle/version.h>

#include "base/sysutils.h"
#include "http/httpauth.h"

namespace {

const char kSignature[8] = {'N', 'T', 'L', 'M', 'S', 'S', 'P', '\0'};
const size_t kNegotiateSize = 32;
const size_t kChallengeHeaderSize = 32;   // up to and including the server challenge
const size_t kTargetInfoFieldEnd = 48;    // the target information field ends here
const size_t kAuthenticateHeaderSize = 64;

void Put16(std::string& msg, size_t at, uint16_t v) {
  msg[at] = static_cast<char>(v & 0xFF);
  msg[at + 1] = static_cast<char>(v >> 8);
}

void Put32(std::string& msg, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) msg[at + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

// A length, allocated length and offset triple.
void PutField(std::string& msg, size_t at, size_t len, size_t offset) {
  Put16(msg, at, static_cast<uint16_t>(len));
  Put16(msg, at + 2, static_cast<uint16_t>(len));
  Put32(msg, at + 4, static_cast<uint32_t>(offset));
}

uint16_t Get16(const std::string& msg, size_t at) {
  return static_cast<uint16_t>(static_cast<uint8_t>(msg[at]) |
                               static_cast<uint8_t>(msg[at + 1]) << 8);
}

uint32_t Get32(const std::string& msg, size_t at) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<uint8_t>(msg[at + i]);
  return v;
}

std::string WideBytes(const std::string& text) {
  std::string out;
  for (char16_t c : Utf8ToUtf16(text)) {
    out += static_cast<char>(c & 0xFF);
    out += static_cast<char>(c >> 8);
  }
  return out;
}

std::u16string FromWideBytes(const std::string& msg, size_t at, size_t len) {
  std::u16string out;
  for (size_t i = 0; i + 1 < len; i += 2) out += static_cast<char16_t>(Get16(msg, at + i));
  return out;
}

// Three DES keys from 21 bytes of key material, each encrypting the challenge.
std::string DesResponse(const uint8_t material[21], const std::array<uint8_t, 8>& challenge) {
  std::string out(24, '\0');
  for (int i = 0; i < 3; ++i) {
    std::array<uint8_t, 8> key = NtlmDesKey(material + 7 * i);
    des_ctx ctx;
    des_set_key(&ctx, key.data());  // answers 0 for weak keys; the schedule is set anyway
    des_encrypt(&ctx, 8, reinterpret_cast<uint8_t*>(out.data()) + 8 * i, challenge.data());
  }
  return out;
}

}  // namespace

std::array<uint8_t, 8> NtlmDesKey(const uint8_t m[7]) {
  std::array<uint8_t, 8> k;
  k[0] = m[0] >> 1;
  k[1] = static_cast<uint8_t>((m[0] & 0x01) << 6 | m[1] >> 2);
  k[2] = static_cast<uint8_t>((m[1] & 0x03) << 5 | m[2] >> 3);
  k[3] = static_cast<uint8_t>((m[2] & 0x07) << 4 | m[3] >> 4);
  k[4] = static_cast<uint8_t>((m[3] & 0x0F) << 3 | m[4] >> 5);
  k[5] = static_cast<uint8_t>((m[4] & 0x1F) << 2 | m[5] >> 6);
  k[6] = static_cast<uint8_t>((m[5] & 0x3F) << 1 | m[6] >> 7);
  k[7] = m[6] & 0x7F;
  for (uint8_t& b : k) b = static_cast<uint8_t>(b << 1);
  return k;
}

std::u16string Utf8ToUtf16(const std::string& text) {
  std::u16string out;
  const size_t n = text.size();
  for (size_t i = 0; i < n;) {
    const uint8_t c = static_cast<uint8_t>(text[i]);
    const size_t extra = c >= 0xC2 && c < 0xE0 ? 1 : c >= 0xE0 && c < 0xF0 ? 2
                         : c >= 0xF0 && c < 0xF5 ? 3 : 0;
    uint32_t cp = c & (0x3F >> extra);
    bool valid = extra > 0 && extra < n - i;
    for (size_t j = 1; valid && j <= extra; ++j) {
      const uint8_t d = static_cast<uint8_t>(text[i + j]);
      valid = (d & 0xC0) == 0x80;
      cp = cp << 6 | (d & 0x3F);
    }
    // No overlong forms, surrogates or values beyond U+10FFFF.
    if (valid && ((extra == 2 && (cp < 0x800 || (cp >= 0xD800 && cp < 0xE000))) ||
                  (extra == 3 && (cp < 0x10000 || cp > 0x10FFFF))))
      valid = false;
    if (!valid) {
      out += static_cast<char16_t>(c);
      ++i;
      continue;
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out += static_cast<char16_t>(0xD800 | cp >> 10);
      out += static_cast<char16_t>(0xDC00 | (cp & 0x3FF));
    } else {
      out += static_cast<char16_t>(cp);
    }
    i += extra + 1;
  }
  return out;
}

std::string NtlmNegotiateMessage() {
  std::string msg(kNegotiateSize, '\0');
  msg.replace(0, 8, kSignature, 8);
  Put32(msg, 8, 1);
  Put32(msg, 12, 0x8207);  // unicode, OEM, request target, NTLM
  PutField(msg, 16, 0, kNegotiateSize);  // domain
  PutField(msg, 24, 0, kNegotiateSize);  // workstation
  return msg;
}

bool NtlmParseChallenge(const std::string& base64, TNtlmChallenge& info) {
  info = TNtlmChallenge();
  std::string msg;
  if (base64.empty() || !Base64Decode(base64, msg)) return false;
  if (msg.size() < kChallengeHeaderSize || msg.compare(0, 8, kSignature, 8) != 0 ||
      Get32(msg, 8) != 2)
    return false;
  for (int i = 0; i < 8; ++i) info.Challenge[i] = static_cast<uint8_t>(msg[24 + i]);

  // Short messages from older servers carry no target information.
  if (msg.size() >= kTargetInfoFieldEnd) {
    const size_t len = Get16(msg, 40);
    const size_t offset = Get32(msg, 44);
    if (len > 0) {
      if (offset > msg.size() || len > msg.size() - offset) return false;
      const size_t end = offset + len;
      for (size_t at = offset; at + 4 <= end;) {
        const uint16_t type = Get16(msg, at);
        const size_t valueLen = Get16(msg, at + 2);
        if (type == 0 && valueLen == 0) break;
        at += 4;
        if (valueLen > end - at) return false;
        if (type == 1) info.Server = FromWideBytes(msg, at, valueLen);
        if (type == 2) info.Domain = FromWideBytes(msg, at, valueLen);
        at += valueLen;
      }
    }
  }
  info.Valid = true;
  return true;
}

std::string NtlmLmResponse(const std::string& password, const std::array<uint8_t, 8>& challenge) {
  uint8_t pw[14] = {};
  const std::string upper = UpperCase(password);
  for (size_t i = 0; i < 14 && i < upper.size(); ++i) pw[i] = static_cast<uint8_t>(upper[i]);
  static const uint8_t kMagic[8] = {'K', 'G', 'S', '!', '@', '#', '$', '%'};
  uint8_t hash[21] = {};
  for (int i = 0; i < 2; ++i) {
    std::array<uint8_t, 8> key = NtlmDesKey(pw + 7 * i);
    des_ctx ctx;
    des_set_key(&ctx, key.data());
    des_encrypt(&ctx, 8, hash + 8 * i, kMagic);
  }
  return DesResponse(hash, challenge);
}

std::string NtlmNtResponse(const std::string& password, const std::array<uint8_t, 8>& challenge) {
  const std::string wide = WideBytes(password);
  md4_ctx ctx;
  md4_init(&ctx);
  md4_update(&ctx, wide.size(), reinterpret_cast<const uint8_t*>(wide.data()));
  uint8_t hash[21] = {};
#if NETTLE_VERSION_MAJOR > 3 || (NETTLE_VERSION_MAJOR == 3 && NETTLE_VERSION_MINOR >= 10)
  md4_digest(&ctx, hash);
#else
  md4_digest(&ctx, MD4_DIGEST_SIZE, hash);
#endif
  return DesResponse(hash, challenge);
}

std::string NtlmAuthenticateMessage(const std::string& user, const std::string& password,
                                    const std::string& workstation,
                                    const std::array<uint8_t, 8>& challenge) {
  const std::string wideUser = WideBytes(user);
  const std::string wideHost = WideBytes(workstation);
  const std::string lm = NtlmLmResponse(password, challenge);
  const std::string nt = NtlmNtResponse(password, challenge);

  std::string msg(kAuthenticateHeaderSize, '\0');
  msg.replace(0, 8, kSignature, 8);
  Put32(msg, 8, 3);
  size_t at = kAuthenticateHeaderSize;
  PutField(msg, 28, 0, at);  // domain
  PutField(msg, 36, wideUser.size(), at);
  at += wideUser.size();
  PutField(msg, 44, wideHost.size(), at);
  at += wideHost.size();
  PutField(msg, 12, lm.size(), at);
  at += lm.size();
  PutField(msg, 20, nt.size(), at);
  at += nt.size();
  PutField(msg, 52, 0, at);  // no exchanged session key
  Put32(msg, 60, 0x8205);    // unicode, request target, NTLM
  msg += wideUser + wideHost + lm + nt;
  return msg;
}
