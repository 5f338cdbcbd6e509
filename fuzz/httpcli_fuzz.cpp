// The whole HTTP client against scripted answers: a loopback server on an ephemeral port
// answers each request with the next piece of the input. The first byte sets the client
// up (version, credentials, proxy, HEAD, relocations); the rest is split at "\n=====\n"
// into the answers, each written as it comes, and a connection is closed after the last.
// Every connection stays on loopback: the client is pointed back at the server whatever
// host a relocation names, so no name is ever looked up.
// The client's headers come first: the platform layer names its own socket constants,
// which the system's headers would otherwise turn into macros.
#include "http/httpcli.h"
#include "fuzz/scripted_peer.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

using fuzzpeer::Pump;
using fuzzpeer::Server;

namespace {

// Every connection goes back to the scripted server.
class TLoopbackHttpCli : public THttpCli {
 public:
  TLoopbackHttpCli(uint16_t port) : THttpCli(nullptr), port_(std::to_string(port)) {}

 protected:
  void Login() override {
    ConnectHost = "127.0.0.1";
    ConnectPort = port_;
    THttpCli::Login();
  }

 private:
  std::string port_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Server* server = new Server();
  if (size < 1) return 0;
  const uint8_t options = data[0];
  const std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
  server->Script(fuzzpeer::SplitAnswers(rest));

  TStringStream body;
  bool done = false;
  int doneCount = 0;
  {
    TLoopbackHttpCli http(server->Port());
    http.ReceiveStream = &body;
    if (options & 1) http.SetRequestVer("1.1");
    if (options & 2) {
      http.Username = "user";
      http.Password = "password";
    }
    if (options & 4) http.ServerAuth = (options & 64) ? httpAuthDigest : httpAuthBasic;
    if (options & 8) http.FollowRelocation = false;
    if (options & 32) {
      http.Proxy = "127.0.0.1";
      http.ProxyPort = std::to_string(server->Port());
      http.ProxyUsername = "proxy";
      http.ProxyPassword = "secret";
      http.ProxyAuth = (options & 64) ? httpAuthNtlm : httpAuthBasic;
    }
    if (options & 128) http.LocationTrusted = true;
    http.OnRequestDone = [&](TObject*, THttpRequest, uint16_t) {
      done = true;
      ++doneCount;
    };
    http.URL = "http://127.0.0.1:" + std::to_string(server->Port()) + "/start/doc.html";
    if (options & 16)
      http.StartRequest(httpHEAD);
    else
      http.GetASync();
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (!done && std::chrono::steady_clock::now() < until) {
      platform::MsgWaitForInput(10);
      Pump();
    }
    if (!done) http.Abort();
    for (int i = 0; i < 3; ++i) Pump();
    // One request ends once.
    if (doneCount > 1) std::abort();
  }
  Pump();
  server->Script({});
  return 0;
}
