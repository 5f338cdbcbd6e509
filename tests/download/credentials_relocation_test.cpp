// The segmented downloader behind a relocation with credentials: within the origin the
// parts keep answering the server's challenges; another origin gets none of them.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>

#include "download/multiparthttpdownloader.h"
#include "http/httpauth.h"
#include "tests/http/pump.h"
#include "tests/support/scripted_server.h"

namespace {

using testsupport::PumpUntil;
using testsupport::ScriptedConnection;
using testsupport::ScriptedServer;

const std::string kDoc = "0123456789abcdefghijklmnopqrstuvwxyz";

std::string RangeOf(const std::string& request) {
  const std::string key = "\r\nRange: bytes=";
  size_t at = request.find(key);
  if (at == std::string::npos) return "";
  at += key.size();
  return request.substr(at, request.find("\r\n", at) - at);
}

bool Authorized(const std::string& request) {
  return request.find("\r\nAuthorization: Basic " + Base64Encode("user:pw") + "\r\n") !=
         std::string::npos;
}

// Every request for /pkg is relocated to `target` + "/real"; /real asks for Basic and
// serves the document (or its range) to an authorized request.
void Serve(ScriptedConnection& c, const std::string& target) {
  const std::string request = c.ReadRequest();
  if (request.empty()) return;
  if (request.compare(0, 9, "GET /pkg ") == 0) {
    c.Write("HTTP/1.1 302 Found\r\nLocation: " + target +
            "/real\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
    return;
  }
  if (!Authorized(request)) {
    c.Write("HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Basic realm=\"pkg\"\r\n"
            "Content-Length: 2\r\nConnection: close\r\n\r\nno");
    return;
  }
  const std::string range = RangeOf(request);
  if (range.empty()) {
    c.Write("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(kDoc.size()) +
            "\r\nConnection: close\r\n\r\n" + kDoc);
    return;
  }
  const size_t dash = range.find('-');
  int64_t first = std::stoll(range.substr(0, dash));
  int64_t last = std::min<int64_t>(std::stoll(range.substr(dash + 1)), kDoc.size() - 1);
  c.Write("HTTP/1.1 206 Partial Content\r\nContent-Range: bytes " + std::to_string(first) + "-" +
          std::to_string(last) + "/" + std::to_string(kDoc.size()) + "\r\nContent-Length: " +
          std::to_string(last - first + 1) + "\r\nConnection: close\r\n\r\n" +
          kDoc.substr(first, last - first + 1));
}

// Leaves its content behind when the downloader frees it.
class TKeptStream : public TMemoryStream {
 public:
  explicit TKeptStream(std::string* keep) : keep_(keep) {}
  ~TKeptStream() override { *keep_ = data_; }

 private:
  std::string* keep_;
};

struct Result {
  int code = -1;
  std::string file;
};

Result Download(const std::string& url) {
  Result r;
  TMultipartHttpDownloader d(nullptr);
  auto* stream = new TKeptStream(&r.file);
  d.URL = url;
  d.Username = "user";
  d.Password = "pw";
  d.PartCount = 2;
  d.FileStream = stream;
  bool done = false;
  d.OnRequestDone = [&](TObject*, int32_t code, const std::string&) {
    r.code = code;
    done = true;
  };
  d.Start();
  EXPECT_TRUE(PumpUntil([&] { return done; }));
  if (d.FileStream) {
    delete d.FileStream;
    d.FileStream = nullptr;
  }
  return r;
}

TEST(DownloaderCredentials, WithinTheOriginEveryPartAnswersTheChallenge) {
  ScriptedServer* self = nullptr;
  ScriptedServer server([&self](ScriptedConnection& c) {
    Serve(c, self->Url(""));
  });
  self = &server;
  Result r = Download(server.Url("/pkg"));
  EXPECT_EQ(r.code, 200);
  EXPECT_EQ(r.file, kDoc);
  int authorized = 0;
  for (const auto& request : server.Requests()) authorized += Authorized(request);
  // The probe and both parts, each answered after its challenge.
  EXPECT_GE(authorized, 3);
}

TEST(DownloaderCredentials, AnotherOriginGetsNoCredentials) {
  ScriptedServer other([](ScriptedConnection& c) { Serve(c, ""); });
  const std::string otherBase = other.Url("");
  ScriptedServer origin([&otherBase](ScriptedConnection& c) { Serve(c, otherBase); });
  Result r = Download(origin.Url("/pkg"));
  EXPECT_NE(r.code, 200);
  for (const auto& request : other.Requests()) EXPECT_FALSE(Authorized(request)) << request;
  EXPECT_FALSE(other.Requests().empty());
}

}  // namespace
