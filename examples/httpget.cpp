// httpget: fetches one URL with THttpCli and writes the body to a file, a device, a pipe
// or standard output.
//
// --socks reaches the server through a SOCKS proxy (level 5 unless told otherwise);
// --socks-user offers a user name and password to a level 5 proxy.
// Credentials answer the server's (--user) or the proxy's (--proxy-user) challenges;
// --auth and --proxy-auth also offer them with the first request. The server
// credentials go only to the scheme, host and port of the URL; --location-trusted lets
// them follow relocations elsewhere.
//
// https URLs are verified against the system's CAs (and those of --cacert FILE): the
// chain, the host name and the dates. --insecure turns that off, for tests only, and
// says so on every run.
//
// Without --timeout the request runs asynchronously on the message loop; with it the
// synchronous Get waits with that idle limit. A file named with -o appears only once the
// whole document arrived. Exit codes are those of examples/cmdline.h.
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "base/outputfilestream.h"
#include "examples/cmdline.h"
#include "http/httpcli.h"

namespace {

const char kUsage[] =
    "usage: httpget [-o FILE|-] [-v] [--http-version 1.0|1.1] [--range BEGIN-END]\n"
    "               [--timeout SECONDS] [--proxy HOST[:PORT]]\n"
    "               [--user NAME:PASSWORD] [--auth basic|digest|ntlm]\n"
    "               [--proxy-user NAME:PASSWORD] [--proxy-auth basic|digest|ntlm]\n"
    "               [--socks HOST:PORT] [--socks-level 4|4A|5]\n"
    "               [--socks-user NAME:PASSWORD] [--location-trusted]\n"
    "               [--cacert FILE] [--insecure] URL\n"
    "       httpget --help | --version\n";

struct Options {
  std::string output = "-", version, range, proxy, url;
  std::string user, proxyUser;
  std::string socks, socksLevel, socksUser;
  std::string cacert;
  bool insecure = false;
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

// Empty when the options make sense, else what is wrong.
std::string ReadOptions(const CommandLine& line, Options& o) {
  for (const auto& [name, v] : line.options) {
    const std::string bad = "invalid value for " + name + ": \"" + v + "\"";
    if (name == "-o") {
      if (v.empty()) return bad;
      o.output = v;
    } else if (name == "-v") {
      o.verbose = true;
    } else if (name == "--location-trusted") {
      o.locationTrusted = true;
    } else if (name == "--insecure") {
      o.insecure = true;
    } else if (name == "--cacert") {
      if (v.empty()) return bad;
      o.cacert = v;
    } else if (name == "--http-version") {
      if (v != "1.0" && v != "1.1") return bad;
      o.version = v;
    } else if (name == "--range") {
      if (v.find('-') == std::string::npos) return bad;
      o.range = v;
    } else if (name == "--timeout") {
      if (v.empty() || v.size() > 9 || v.find_first_not_of("0123456789") != std::string::npos)
        return bad;
      o.timeout = std::strtoul(v.c_str(), nullptr, 10);
      o.sync = true;
    } else if (name == "--proxy") {
      o.proxy = v;
    } else if (name == "--user" || name == "--proxy-user") {
      if (v.find(':') == std::string::npos) return bad;
      (name == "--user" ? o.user : o.proxyUser) = v;
    } else if (name == "--socks" || name == "--socks-user") {
      if (v.find(':') == std::string::npos) return bad;
      (name == "--socks" ? o.socks : o.socksUser) = v;
    } else if (name == "--socks-level") {
      if (v != "4" && v != "4A" && v != "4a" && v != "5") return bad;
      o.socksLevel = v;
    } else if (name == "--auth" || name == "--proxy-auth") {
      if (!ParseAuth(v, name == "--auth" ? o.auth : o.proxyAuth)) return bad;
    }
  }
  if (line.operands.empty()) return "no URL given";
  if (line.operands.size() > 1) return "more than one URL given";
  o.url = line.operands[0];
  return "";
}

}  // namespace

int main(int argc, char** argv) {
  const CommandLine line =
      ParseCommandLine(argc, argv,
                       {{"-o", true}, {"-v", false}, {"--location-trusted", false},
                        {"--http-version", true}, {"--range", true}, {"--timeout", true},
                        {"--proxy", true}, {"--user", true}, {"--proxy-user", true},
                        {"--socks", true}, {"--socks-user", true}, {"--socks-level", true},
                        {"--auth", true}, {"--proxy-auth", true}, {"--cacert", true},
                        {"--insecure", false}});
  if (line.help && line.error.empty()) return PrintHelp(kUsage);
  if (line.version && line.error.empty()) return PrintVersion("httpget");
  Options opt;
  const std::string error = line.error.empty() ? ReadOptions(line, opt) : line.error;
  if (!error.empty()) return UsageError("httpget", error, kUsage);

  std::unique_ptr<TOutputFileStream> out;
  try {
    out = std::make_unique<TOutputFileStream>(opt.output);
  } catch (const Exception& e) {
    std::fprintf(stderr, "httpget: %s\n", e.Message().c_str());
    return kExitFile;
  }
  // A device or pipe cannot be rewound: the page of a challenge that gets answered would
  // stay in front of the document, so such pages are not written there.
  TForwardingStream receive(out.get());

  THttpCli http(nullptr);
  http.Name = "httpget";
  http.URL = opt.url;
  http.ReceiveStream = &receive;
  if (!opt.version.empty()) http.SetRequestVer(opt.version);
  if (!opt.proxy.empty()) http.Proxy = opt.proxy;
  SplitCredentials(opt.user, http.Username, http.Password);
  SplitCredentials(opt.proxyUser, http.ProxyUsername, http.ProxyPassword);
  http.ServerAuth = opt.auth;
  http.LocationTrusted = opt.locationTrusted;
  http.ProxyAuth = opt.proxyAuth;
  http.TlsCaFile = opt.cacert;
  if (opt.insecure) {
    http.TlsVerify = false;
    std::fprintf(stderr,
                 "httpget: warning: --insecure: https certificates and host names are NOT verified\n");
  }
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
  if (out->Direct())
    http.OnHeaderEnd = [&http, &receive](TObject*) {
      receive.Discard = http.StatusCode == 401 || http.StatusCode == 407;
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
      return kExitNetwork;
    }
  }
  http.ReceiveStream = nullptr;

  if (!out->WriteError().empty()) {
    std::fprintf(stderr, "httpget: cannot write \"%s\": %s\n", out->FileName().c_str(),
                 out->WriteError().c_str());
    return kExitFile;
  }
  if (failed || http.StatusCode <= 0 || http.StatusCode >= 400 || http.DoneError != 0) {
    std::fprintf(stderr, "httpget: %d %s\n", http.StatusCode, http.StatusText.c_str());
    // An error status the server really sent, or no usable answer at all.
    const bool answered = http.DoneError == 0 && http.StatusCode >= 400;
    return answered ? kExitHttp : kExitNetwork;
  }
  try {
    out->Commit();
  } catch (const Exception& e) {
    std::fprintf(stderr, "httpget: %s\n", e.Message().c_str());
    return kExitFile;
  }
  return kExitOk;
}
