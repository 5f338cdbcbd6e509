// URL splitting for the HTTP client.
#pragma once

#include <string>

// Splits url into its parts. On entry path holds the base path, used only for relative
// references ("./x", "../x"); on return every output holds its part of url or is empty.
// Nothing is validated and no defaults are filled in, except "http" where the form of the
// url implies it; callers supply "http", "80" and "/" themselves.
void SplitUrl(const std::string& url, std::string& path, std::string& protocol,
              std::string& user, std::string& password, std::string& host,
              std::string& port);

// The leading part of path up to and including the last '/' or ':' before the first '?';
// empty when there is none.
std::string PathPrefix(const std::string& path);
