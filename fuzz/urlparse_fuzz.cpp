// URL splitting: a relocation's Location value is the server's text.
#include <cstddef>
#include <cstdint>
#include <string>

#include "http/urlparse.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string input(reinterpret_cast<const char*>(data), size);
  // The first line is the base path, the rest the reference.
  size_t lf = input.find('\n');
  std::string base = lf == std::string::npos ? std::string("/a/b/") : input.substr(0, lf);
  std::string url = lf == std::string::npos ? input : input.substr(lf + 1);
  std::string path = base, proto, user, pass, host, port;
  SplitUrl(url, path, proto, user, pass, host, port);
  PathPrefix(path);
  PathPrefix(url);
  return 0;
}
