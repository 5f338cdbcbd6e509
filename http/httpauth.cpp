#include "http/httpauth.h"

#include <nettle/base64.h>
#include <nettle/md5.h>
#include <nettle/version.h>

#include <cstdio>
#include <random>
#include <vector>

#include "base/sysutils.h"

namespace {

const char kHexDigits[] = "0123456789abcdef";

std::string ToHex(const uint8_t* data, size_t len) {
  std::string out;
  out.reserve(len * 2);
  for (size_t i = 0; i < len; ++i) {
    out += kHexDigits[data[i] >> 4];
    out += kHexDigits[data[i] & 15];
  }
  return out;
}

void Md5Raw(const std::string& data, uint8_t digest[MD5_DIGEST_SIZE]) {
  md5_ctx ctx;
  md5_init(&ctx);
  md5_update(&ctx, data.size(), reinterpret_cast<const uint8_t*>(data.data()));
#if NETTLE_VERSION_MAJOR > 3 || (NETTLE_VERSION_MAJOR == 3 && NETTLE_VERSION_MINOR >= 10)
  md5_digest(&ctx, digest);
#else
  md5_digest(&ctx, MD5_DIGEST_SIZE, digest);
#endif
}

// name="value": the value up to the next double quote. Empty when absent; false when the
// closing quote is missing.
bool QuotedValue(const std::string& text, const std::string& name, std::string& value,
                 bool* present = nullptr) {
  value.clear();
  if (present) *present = false;
  const std::string key = name + "=\"";
  size_t pos = text.find(key);
  if (pos == std::string::npos) return true;
  pos += key.size();
  size_t end = text.find('"', pos);
  if (end == std::string::npos) return false;
  value = text.substr(pos, end - pos);
  if (present) *present = true;
  return true;
}

// The quoted form, else name=value up to the next comma (empty when no comma follows).
bool QuotedOrBareValue(const std::string& text, const std::string& name, std::string& value) {
  bool present = false;
  if (!QuotedValue(text, name, value, &present)) return false;
  if (present) return true;
  const std::string key = name + "=";
  size_t pos = text.find(key);
  if (pos == std::string::npos) return true;
  pos += key.size();
  size_t end = text.find(',', pos);
  if (end != std::string::npos) value = text.substr(pos, end - pos);
  return true;
}

}  // namespace

std::string Base64Encode(const std::string& data) {
  std::string out(BASE64_ENCODE_RAW_LENGTH(data.size()), '\0');
  base64_encode_raw(out.data(), data.size(), reinterpret_cast<const uint8_t*>(data.data()));
  return out;
}

bool Base64Decode(const std::string& text, std::string& data) {
  data.clear();
  std::vector<uint8_t> buf(BASE64_DECODE_LENGTH(text.size()) + 1);
  base64_decode_ctx ctx;
  base64_decode_init(&ctx);
  size_t len = buf.size();
  if (!base64_decode_update(&ctx, &len, buf.data(), text.size(), text.data())) return false;
  if (!base64_decode_final(&ctx)) return false;
  data.assign(reinterpret_cast<const char*>(buf.data()), len);
  return true;
}

std::string AuthBasicValue(const std::string& user, const std::string& password) {
  return Base64Encode(user + ":" + password);
}

std::string Md5Hex(const std::string& data) {
  uint8_t digest[MD5_DIGEST_SIZE];
  Md5Raw(data, digest);
  return ToHex(digest, sizeof digest);
}

bool AuthDigestParseChallenge(const std::string& challenge, TAuthDigestInfo& info) {
  info = TAuthDigestInfo();
  std::string stale;
  bool ok = QuotedValue(challenge, "realm", info.Realm) &&
            QuotedValue(challenge, "nonce", info.Nonce) &&
            QuotedValue(challenge, "domain", info.Domain) &&
            QuotedValue(challenge, "opaque", info.Opaque, &info.HasOpaque) &&
            QuotedValue(challenge, "stale", stale) &&
            QuotedOrBareValue(challenge, "algorithm", info.Algorithm) &&
            QuotedOrBareValue(challenge, "qop", info.Qop);
  info.Stale = SameText(stale, "true");
  if (info.Algorithm.empty()) info.Algorithm = "MD5";
  // md5-sess, auth-int and lists of qop values are not answered.
  return ok && !info.Realm.empty() && info.Algorithm == "MD5" &&
         (info.Qop.empty() || info.Qop == "auth");
}

std::string AuthDigestAnswer(const std::string& user, const std::string& password,
                             const std::string& method, const std::string& uri,
                             const TAuthDigestInfo& info, uint32_t nc,
                             const std::string& cnonce) {
  char ncText[16];
  std::snprintf(ncText, sizeof ncText, "%08X", nc);

  std::string ha1;
  if (SameText(info.Algorithm, "md5-sess")) {
    uint8_t raw[MD5_DIGEST_SIZE];
    Md5Raw(user + ":" + info.Realm + ":" + password, raw);
    ha1 = Md5Hex(std::string(reinterpret_cast<const char*>(raw), sizeof raw) + ":" +
                 info.Nonce + ":" + cnonce);
  } else {
    ha1 = Md5Hex(user + ":" + info.Realm + ":" + password);
  }
  const std::string ha2 = Md5Hex(method + ":" + uri);
  const std::string response =
      info.Qop.empty()
          ? Md5Hex(ha1 + ":" + info.Nonce + ":" + ha2)
          : Md5Hex(ha1 + ":" + info.Nonce + ":" + ncText + ":" + cnonce + ":" + info.Qop + ":" +
                   ha2);

  std::string out = "username=\"" + user + "\", realm=\"" + info.Realm + "\", nonce=\"" +
                    info.Nonce + "\", uri=\"" + uri + "\", response=\"" + response + "\"";
  // Servers that sent no opaque value refuse an answer carrying one.
  if (info.HasOpaque) out += ", opaque=\"" + info.Opaque + "\"";
  if (!info.Qop.empty())
    out += ", qop=" + info.Qop + ", nc=" + ncText + ", cnonce=\"" + cnonce + "\"";
  return out;
}

std::string AuthDigestNewCnonce() {
  static std::mt19937 generator{std::random_device{}()};
  std::uniform_int_distribution<uint32_t> dist(0, 0x7FFFFFFE);
  char text[16];
  std::snprintf(text, sizeof text, "%08X", dist(generator));
  return text;
}
