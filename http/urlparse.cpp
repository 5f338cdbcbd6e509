#include "http/urlparse.h"

#include "base/sysutils.h"

namespace {

// The base up to and including its last '/', or "/" when it has none.
std::string CutToLastSlash(const std::string& base) {
  size_t slash = base.rfind('/');
  return slash == std::string::npos ? std::string("/") : base.substr(0, slash + 1);
}

bool IsSchemeChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
}

void SplitAuthority(const std::string& authority, std::string& user, std::string& password,
                    std::string& host, std::string& port) {
  size_t colon = authority.rfind(':');
  size_t at = authority.rfind('@');
  std::string userInfo;
  if (colon == std::string::npos && at == std::string::npos) {
    host = authority;
    return;
  }
  if (colon != std::string::npos && (at == std::string::npos || at < colon)) {
    port = authority.substr(colon + 1);
    size_t hostStart = at == std::string::npos ? 0 : at + 1;
    host = authority.substr(hostStart, colon - hostStart);
    if (at == std::string::npos) return;
    userInfo = authority.substr(0, at);
  } else {
    host = authority.substr(at + 1);
    userInfo = authority.substr(0, at);
  }
  size_t sep = userInfo.find(':');
  if (sep == std::string::npos) {
    user = userInfo;
  } else {
    user = userInfo.substr(0, sep);
    password = userInfo.substr(sep + 1);
  }
}

}  // namespace

void SplitUrl(const std::string& url, std::string& path, std::string& protocol,
              std::string& user, std::string& password, std::string& host,
              std::string& port) {
  std::string base = path;
  path.clear();
  protocol.clear();
  user.clear();
  password.clear();
  host.clear();
  port.clear();
  if (url.empty()) return;

  if (url.compare(0, 2, "./") == 0) {
    path = CutToLastSlash(base) + url.substr(2);
    return;
  }
  if (url.compare(0, 3, "../") == 0) {
    std::string rest = url.substr(3);
    base = CutToLastSlash(base);
    for (;;) {
      if (!base.empty() && base.back() == '/') base.pop_back();
      base = CutToLastSlash(base);
      if (rest.compare(0, 3, "../") != 0) break;
      rest.erase(0, 3);
    }
    path = base + rest;
    return;
  }

  std::string rest;
  bool schemeFound = false;
  size_t sep = url.find("://");
  if (sep != std::string::npos) {
    std::string scheme = LowerCase(url.substr(0, sep));
    bool valid = true;
    for (char c : scheme) valid = valid && IsSchemeChar(c);
    if (valid) {
      protocol = scheme;
      rest = url.substr(sep + 3);
    } else {
      // A "://" inside a query or the like: no scheme at all.
      protocol = "http";
      rest = url;
    }
    schemeFound = true;
  }

  if (!schemeFound) {
    if (url[0] == '/') {
      protocol = "http";
      if (url.size() > 1 && url[1] != '/') {
        path = url;
        return;
      }
      rest = url.substr(1);
    } else if (StartsText("http:", url)) {
      protocol = "http";
      if (url.size() > 6 && url[6] != '/') {
        path = url.substr(5);
        return;
      }
      rest = url.size() > 6 ? url.substr(6) : std::string();
    } else if (StartsText("mailto:", url)) {
      protocol = "mailto";
      rest = url.substr(url.find(':') + 1);
    } else {
      rest = url;
    }
  }

  size_t pathStart = rest.find_first_of("/?");
  std::string authority;
  if (pathStart == std::string::npos) {
    authority = rest;
  } else {
    authority = rest.substr(0, pathStart);
    path = rest.substr(pathStart);
  }
  SplitAuthority(authority, user, password, host, port);
}

std::string PathPrefix(const std::string& path) {
  size_t end = path.find('?');
  if (end == std::string::npos) end = path.size();
  while (end > 0) {
    char c = path[end - 1];
    if (c == '/' || c == ':') return path.substr(0, end);
    --end;
  }
  return std::string();
}
