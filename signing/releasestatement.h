// The release statement the vendor publishes beside the package, "<category>.sig": a
// short line-oriented text naming the category, the release date, the package's length
// and SHA-256, and an Ed25519 signature over every byte before the signature line.
//
//   updater release statement 1
//   category: demo
//   date: 20240301
//   length: 123456
//   sha256: <64 hexadecimal digits>
//   signature: <128 hexadecimal digits>
//
// Every line ends with a line feed, each named line comes once and in this order, and
// nothing else may stand in the file. The parser does no I/O: it is fed the bytes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "signing/ed25519.h"

namespace signing {

// Larger than any statement can honestly be; a server sending more is refused early.
constexpr size_t kMaxStatementSize = 4096;
constexpr size_t kMaxCategorySize = 255;

struct TReleaseStatement {
  std::string category;
  std::string date;  // eight digits, yyyymmdd
  int64_t length = 0;
  TDigest sha256{};
  TSignature signature{};
};

enum class TStatementError {
  None,
  TooLarge,          // more than kMaxStatementSize bytes
  Unterminated,      // the last line has no line feed (a cut transfer)
  BadHeader,         // the first line is not the statement's
  UnknownLine,       // a line that is none of the named ones
  RepeatedLine,
  OutOfOrder,
  MissingLine,
  BadCategory,       // empty, too long, or with control characters
  BadDate,           // not eight digits
  BadLength,         // not a positive decimal number that fits 63 bits
  BadDigest,         // not 64 hexadecimal digits
  BadSignatureSize,  // not 128 digits (64 bytes)
  BadSignatureText,  // 128 characters, but not all hexadecimal digits
};

// English, for the release tool and logs.
const char* StatementErrorText(TStatementError error);

// Parses a whole statement. On success out holds its values and signedPart the bytes the
// signature covers (a view into text).
TStatementError ParseReleaseStatement(std::string_view text, TReleaseStatement& out, std::string_view* signedPart);

// The bytes the signature covers, as the parser reads them back.
std::string StatementSignedText(const TReleaseStatement& statement);
// The whole statement, signature line included.
std::string StatementText(const TReleaseStatement& statement);
// Fills in the signature and returns the whole statement.
std::string SignStatement(TReleaseStatement& statement, const TSecretKey& secret);

// Why an update is refused, in the order the updater checks.
enum class TRefusal {
  None,
  NoSignature,    // no statement could be fetched
  BadStatement,   // it does not parse
  BadSignature,   // it parses but the key did not sign it
  WrongCategory,  // signed for another category
  WrongDate,      // signed for another date than the one published (or the package's own)
  WrongLength,    // the package is not as long as signed
  WrongContent,   // the package's SHA-256 is not the signed one
};

const char* RefusalText(TRefusal refusal);

// The checks that need only the statement: it parses, the key signed it, and it names
// the installation's category and the published date. out holds the statement when
// the result is None; parseError says why it did not parse.
// publishedDate is the date file's number, as the updater compares it.
TRefusal CheckStatement(std::string_view text, const TPublicKey& key, std::string_view category,
                        double publishedDate, TReleaseStatement& out, TStatementError* parseError = nullptr);

}  // namespace signing
