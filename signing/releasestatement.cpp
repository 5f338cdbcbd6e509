#include "signing/releasestatement.h"

#include <limits>

namespace signing {

namespace {

const std::string_view kHeader = "updater release statement 1";

// The named lines in the order they must stand.
enum TField { fCategory, fDate, fLength, fSha256, fSignature, fCount };
const std::string_view kNames[fCount] = {"category", "date", "length", "sha256", "signature"};

bool AllDigits(std::string_view s) {
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return !s.empty();
}

bool ParseLength(std::string_view s, int64_t& out) {
  // No sign, no leading zero, no blanks: one spelling per number, so a byte flipped in
  // the length can never read as the same length.
  if (!AllDigits(s) || s[0] == '0') return false;
  int64_t value = 0;
  for (char c : s) {
    const int digit = c - '0';
    if (value > (std::numeric_limits<int64_t>::max() - digit) / 10) return false;
    value = value * 10 + digit;
  }
  out = value;
  return true;
}

// Lower case only: with either case, a flipped bit could spell the same value.
bool LowerHex(std::string_view s, uint8_t* out, size_t size) {
  for (char c : s)
    if (c >= 'A' && c <= 'F') return false;
  return FromHex(s, out, size);
}

bool GoodCategory(std::string_view s) {
  if (s.empty() || s.size() > kMaxCategorySize) return false;
  for (unsigned char c : s)
    if (c < 0x20 || c == 0x7F) return false;
  return true;
}

TStatementError ParseField(TField field, std::string_view value, TReleaseStatement& out) {
  switch (field) {
    case fCategory:
      if (!GoodCategory(value)) return TStatementError::BadCategory;
      out.category = std::string(value);
      return TStatementError::None;
    case fDate:
      if (value.size() != 8 || !AllDigits(value)) return TStatementError::BadDate;
      out.date = std::string(value);
      return TStatementError::None;
    case fLength:
      return ParseLength(value, out.length) ? TStatementError::None : TStatementError::BadLength;
    case fSha256:
      return LowerHex(value, out.sha256.data(), out.sha256.size()) ? TStatementError::None : TStatementError::BadDigest;
    case fSignature:
      if (value.size() != 2 * out.signature.size()) return TStatementError::BadSignatureSize;
      return LowerHex(value, out.signature.data(), out.signature.size()) ? TStatementError::None
                                                                        : TStatementError::BadSignatureText;
    case fCount:
      break;
  }
  return TStatementError::UnknownLine;
}

}  // namespace

const char* StatementErrorText(TStatementError error) {
  switch (error) {
    case TStatementError::None: return "no error";
    case TStatementError::TooLarge: return "statement too large";
    case TStatementError::Unterminated: return "last line not terminated";
    case TStatementError::BadHeader: return "not a release statement";
    case TStatementError::UnknownLine: return "unknown line";
    case TStatementError::RepeatedLine: return "line repeated";
    case TStatementError::OutOfOrder: return "lines out of order";
    case TStatementError::MissingLine: return "line missing";
    case TStatementError::BadCategory: return "invalid category";
    case TStatementError::BadDate: return "invalid date";
    case TStatementError::BadLength: return "invalid length";
    case TStatementError::BadDigest: return "invalid sha256";
    case TStatementError::BadSignatureSize: return "signature of the wrong size";
    case TStatementError::BadSignatureText: return "signature not hexadecimal";
  }
  return "unknown error";
}

TStatementError ParseReleaseStatement(std::string_view text, TReleaseStatement& out, std::string_view* signedPart) {
  if (text.size() > kMaxStatementSize) return TStatementError::TooLarge;
  if (text.empty() || text.back() != '\n') return TStatementError::Unterminated;
  TReleaseStatement result;
  bool seen[fCount] = {};
  int last = -1;
  size_t signatureStart = 0;
  size_t pos = 0;
  bool first = true;
  while (pos < text.size()) {
    const size_t end = text.find('\n', pos);
    const std::string_view line = text.substr(pos, end - pos);
    const size_t lineStart = pos;
    pos = end + 1;
    if (first) {
      if (line != kHeader) return TStatementError::BadHeader;
      first = false;
      continue;
    }
    const size_t colon = line.find(": ");
    int field = fCount;
    if (colon != std::string_view::npos)
      for (int f = 0; f < fCount; ++f)
        if (line.substr(0, colon) == kNames[f]) field = f;
    if (field == fCount) return TStatementError::UnknownLine;
    if (seen[field]) return TStatementError::RepeatedLine;
    if (field < last) return TStatementError::OutOfOrder;
    seen[field] = true;
    last = field;
    if (field == fSignature) signatureStart = lineStart;
    const TStatementError error = ParseField(static_cast<TField>(field), line.substr(colon + 2), result);
    if (error != TStatementError::None) return error;
  }
  for (bool s : seen)
    if (!s) return TStatementError::MissingLine;
  out = std::move(result);
  if (signedPart) *signedPart = text.substr(0, signatureStart);
  return TStatementError::None;
}

std::string StatementSignedText(const TReleaseStatement& statement) {
  return std::string(kHeader) + "\ncategory: " + statement.category + "\ndate: " + statement.date +
         "\nlength: " + std::to_string(statement.length) + "\nsha256: " + ToHex(statement.sha256) + "\n";
}

std::string StatementText(const TReleaseStatement& statement) {
  return StatementSignedText(statement) + "signature: " + ToHex(statement.signature) + "\n";
}

std::string SignStatement(TReleaseStatement& statement, const TSecretKey& secret) {
  statement.signature = Sign(secret, StatementSignedText(statement));
  return StatementText(statement);
}

const char* RefusalText(TRefusal refusal) {
  switch (refusal) {
    case TRefusal::None: return "verified";
    case TRefusal::NoSignature: return "no signature";
    case TRefusal::BadStatement: return "statement does not parse";
    case TRefusal::BadSignature: return "bad signature";
    case TRefusal::WrongCategory: return "wrong category";
    case TRefusal::WrongDate: return "wrong date";
    case TRefusal::WrongLength: return "wrong length";
    case TRefusal::WrongContent: return "wrong content";
  }
  return "refused";
}

TRefusal CheckStatement(std::string_view text, const TPublicKey& key, std::string_view category,
                        double publishedDate, TReleaseStatement& out, TStatementError* parseError) {
  TReleaseStatement statement;
  std::string_view signedPart;
  const TStatementError error = ParseReleaseStatement(text, statement, &signedPart);
  if (parseError) *parseError = error;
  if (error != TStatementError::None) return TRefusal::BadStatement;
  // Nothing the statement says counts before the signature is known to be the vendor's.
  if (!Verify(key, signedPart, statement.signature)) return TRefusal::BadSignature;
  if (statement.category != category) return TRefusal::WrongCategory;
  if (static_cast<double>(std::stoll(statement.date)) != publishedDate) return TRefusal::WrongDate;
  out = std::move(statement);
  return TRefusal::None;
}

}  // namespace signing
