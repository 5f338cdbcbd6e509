// The checks a build with the vendor's public key makes on every release: the statement
// published beside the package, then the downloaded package itself. Each failure is one
// refusal with a text in the updater's language.
#pragma once

#include <string>

#include "signing/releasestatement.h"

// The statement's file beside the date file and the package.
std::string StatementUrl(const std::string& baseUrl, const std::string& category);

// Fetches and checks the statement for category and the published date (the date file's
// number). keyText is the build's public key.
signing::TRefusal FetchStatement(const std::string& baseUrl, const std::string& keyText,
                                 const std::string& category, double publishedDate,
                                 signing::TReleaseStatement& out, signing::TStatementError& parseError);

// The downloaded package against its statement: its length and SHA-256, then the release
// date of the manifest inside it, which is unpacked alone into scratchDir for that (and
// removed again). Nothing else of the package is unpacked.
signing::TRefusal CheckPackage(const signing::TReleaseStatement& statement, const std::string& packageFile,
                               const std::string& scratchDir);

// What the window says for a refusal.
std::string RefusalMessage(signing::TRefusal refusal, signing::TStatementError parseError);
