// httpget: fetches one URL with THttpCli and writes the body to a file or to standard
// output.
//
//   httpget [-o FILE] [-v] [--http-version 1.0|1.1] [--range BEGIN-END]
//           [--timeout SECONDS] [--proxy HOST[:PORT]]
//           [--user NAME:PASSWORD] [--auth basic|digest|ntlm]
//           [--proxy-user NAME:PASSWORD] [--proxy-auth basic|digest|ntlm]
//           [--socks HOST:PORT] [--socks-level 4|4A|5] [--socks-user NAME:PASSWORD]
//           [--location-trusted] URL
//
// --socks reaches the server through a SOCKS proxy (level 5 unless told otherwise);
// --socks-user offers a user name and password to a level 5 proxy.
// Credentials answer the server's (--user) or the proxy's (--proxy-user) challenges;
// --auth and --proxy-auth also offer them with the first request. The server
// credentials go only to the scheme, host and port of the URL; --location-trusted lets
// them follow relocations elsewhere.
//
// Without --timeout the request runs asynchronously on the message loop; with it the
// synchronous Get waits with that idle limit. The exit status is 0 only when an HTTP
// status below 400 came back and the transfer completed; otherwise the status code and
// text go to standard error.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "http/httpcli.h"

namespace {

// Standard output as a stream.
class TStdoutStream : public TStream {
 public:
  int64_t Read(void*, int64_t) override { return 0; }
  int64_t Write(const void* buffer, int64_t count) override {
    if (Discard) return count;
    return static_cast<int64_t>(std::fwrite(buffer, 1, static_cast<size_t>(count), stdout));
  }
  // Standard output cannot be rewound: the page of a challenge that gets answered
  // would stay in front of the document, so such pages are not written.
  bool Discard = false;
  int64_t Seek(int64_t, TSeekOrigin) override { return 0; }
  void SetSize(int64_t) override {}
  int64_t Size() override { return 0; }
};

int Usage() {
  std::fprintf(stderr,
               "usage: httpget [-o FILE] [-v] [--http-version 1.0|1.1] [--range BEGIN-END]\n"
               "               [--timeout SECONDS] [--proxy HOST[:PORT]]\n"
               "               [--user NAME:PASSWORD] [--auth basic|digest|ntlm]\n"
               "               [--proxy-user NAME:PASSWORD] [--proxy-auth basic|digest|ntlm]\n"
               "               [--socks HOST:PORT] [--socks-level 4|4A|5]\n"
               "               [--socks-user NAME:PASSWORD] [--location-trusted] URL\n");
  return 2;
}

struct Options {
  std::string output, version, range, proxy, url;
  std::string user, proxyUser;
  std::string socks, socksLevel, socksUser;
  THttpAuthType auth = httpAuthNone, proxyAuth = httpAuthNone;
  bool verbose = false;
  bool sync = false;
  bool locationTrusted = false;
  unsigned long timeout = 0;
};

bool ParseAuth(const std::string& name, THttpAuthType& type) {
  if (name == "basic")
    type = httpAuthBasic;
  else if (name == "digest")
    type = httpAuthDigest;
  else if (name == "ntlm")
    type = httpAuthNtlm;
  else
    return false;
  return true;
}

// "name:password" into its two parts (the password may hold colons).
void SplitCredentials(const std::string& text, std::string& user, std::string& password) {
  size_t colon = text.find(':');
  user = text.substr(0, colon);
  password = colon == std::string::npos ? std::string() : text.substr(colon + 1);
}

bool ParseArgs(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&](std::string& out) {
      if (i + 1 >= argc) return false;
      out = argv[++i];
      return true;
    };
    if (a == "-o") {
      if (!value(o.output)) return false;
    } else if (a == "-v") {
      o.verbose = true;
    } else if (a == "--location-trusted") {
      o.locationTrusted = true;
    } else if (a == "--http-version") {
      if (!value(o.version)) return false;
    } else if (a == "--range") {
      if (!value(o.range) || o.range.find('-') == std::string::npos) return false;
    } else if (a == "--timeout") {
      std::string t;
      if (!value(t) || t.empty() || t.find_first_not_of("0123456789") != std::string::npos)
        return false;
      o.timeout = std::strtoul(t.c_str(), nullptr, 10);
      o.sync = true;
    } else if (a == "--proxy") {
      if (!value(o.proxy)) return false;
    } else if (a == "--user" || a == "--proxy-user") {
      std::string& user = a == "--user" ? o.user : o.proxyUser;
      if (!value(user) || user.find(':') == std::string::npos) return false;
    } else if (a == "--socks" || a == "--socks-user") {
      std::string& v = a == "--socks" ? o.socks : o.socksUser;
      if (!value(v) || v.find(':') == std::string::npos) return false;
    } else if (a == "--socks-level") {
      if (!value(o.socksLevel) || (o.socksLevel != "4" && o.socksLevel != "4A" &&
                                   o.socksLevel != "4a" && o.socksLevel != "5"))
        return false;
    } else if (a == "--auth" || a == "--proxy-auth") {
      std::string name;
      if (!value(name) || !ParseAuth(name, a == "--auth" ? o.auth : o.proxyAuth)) return false;
    } else if (!a.empty() && a[0] == '-') {
      return false;
    } else if (o.url.empty()) {
      o.url = a;
    } else {
      return false;
    }
  }
  return !o.url.empty();
}

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  if (!ParseArgs(argc, argv, opt)) return Usage();

  std::unique_ptr<TStream> out;
  TStdoutStream* stdoutStream = nullptr;
  try {
    if (opt.output.empty())
      out.reset(stdoutStream = new TStdoutStream());
    else
      out = std::make_unique<TFileStream>(opt.output, fmCreate);
  } catch (const Exception& e) {
    std::fprintf(stderr, "httpget: %s\n", e.Message().c_str());
    return 1;
  }
  // Large writes go straight through; small ones are gathered.
  static char stdoutBuffer[1 << 16];
  std::setvbuf(stdout, stdoutBuffer, _IOFBF, sizeof stdoutBuffer);

  THttpCli http(nullptr);
  http.Name = "httpget";
  http.URL = opt.url;
  http.ReceiveStream = out.get();
  try {
    if (!opt.version.empty()) http.SetRequestVer(opt.version);
  } catch (const EHttpException& e) {
    std::fprintf(stderr, "httpget: %s\n", e.Message().c_str());
    return 2;
  }
  if (!opt.proxy.empty()) http.Proxy = opt.proxy;
  SplitCredentials(opt.user, http.Username, http.Password);
  SplitCredentials(opt.proxyUser, http.ProxyUsername, http.ProxyPassword);
  http.ServerAuth = opt.auth;
  http.LocationTrusted = opt.locationTrusted;
  http.ProxyAuth = opt.proxyAuth;
  if (!opt.socks.empty()) {
    size_t colon = opt.socks.rfind(':');
    http.SocksServer = opt.socks.substr(0, colon);
    http.SocksPort = opt.socks.substr(colon + 1);
    if (!opt.socksLevel.empty()) http.SocksLevel = opt.socksLevel;
    if (!opt.socksUser.empty()) {
      SplitCredentials(opt.socksUser, http.SocksUsercode, http.SocksPassword);
      http.SocksAuthentication = socksAuthenticateUsercode;
    }
    http.OnSocksError = [](TObject*, int error, const std::string& msg) {
      std::fprintf(stderr, "httpget: socks error %d: %s\n", error, msg.c_str());
    };
  }
  if (stdoutStream)
    http.OnHeaderEnd = [&http, stdoutStream](TObject*) {
      stdoutStream->Discard = http.StatusCode == 401 || http.StatusCode == 407;
    };
  if (!opt.range.empty()) {
    size_t dash = opt.range.find('-');
    http.ContentRangeBegin = opt.range.substr(0, dash);
    http.ContentRangeEnd = opt.range.substr(dash + 1);
  }
  if (opt.verbose) {
    http.OnCommand = [](TObject*, std::string& line) {
      if (!line.empty()) std::fprintf(stderr, "> %s\n", line.c_str());
    };
    http.OnHeaderData = [&http](TObject*) {
      const TStringList& h = http.ResponseHeaders();
      if (h.Count() > 0) std::fprintf(stderr, "< %s\n", h[h.Count() - 1].c_str());
    };
    http.OnLocationChange = [&http](TObject*) {
      std::fprintf(stderr, "* following %s\n", http.NewLocation.c_str());
    };
  }

  bool failed = false;
  if (opt.sync) {
    http.Timeout = static_cast<uint32_t>(opt.timeout);
    try {
      http.Get();
    } catch (const Exception&) {
      failed = true;
    }
  } else {
    http.OnRequestDone = [](TObject*, THttpRequest, uint16_t) { platform::PostQuitMessage(0); };
    try {
      http.GetASync();
      http.RunMessageLoop();
    } catch (const Exception& e) {
      std::fprintf(stderr, "httpget: %s\n", e.Message().c_str());
      return 1;
    }
  }
  std::fflush(stdout);
  http.ReceiveStream = nullptr;
  out.reset();

  if (failed || http.StatusCode <= 0 || http.StatusCode >= 400 || http.DoneError != 0) {
    std::fprintf(stderr, "httpget: %d %s\n", http.StatusCode, http.StatusText.c_str());
    return 1;
  }
  return 0;
}
