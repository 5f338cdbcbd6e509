// The version probe: one small document from the update server, as text.
#pragma once

#include <string>

// The sentinel for every failure of FetchUrlText ("timed out").
extern const char* const kFetchFailed;

// The longest body FetchUrlText takes; a release date is a few bytes, and a server that
// sends more must not grow memory without bound.
constexpr int kFetchMaxBody = 64 * 1024;

// Fetches url with one synchronous GET under a one-second idle limit and returns the
// whole body byte for byte. Every failure (no answer in time, refusal, an unresolved
// name, a status of 400 or more other than 401 and 407, any error) gives exactly
// kFetchFailed, as does a body longer than kFetchMaxBody.
// Never raises.
std::string FetchUrlText(const std::string& url);
