// THttpCli: answers to authentication challenges (401 from the server, 407 from a proxy)
// with Basic, Digest and NTLM, and credentials offered before any challenge.
#include "http/httpcli.h"
#include "http/urlparse.h"
#include "net/socketlib.h"

namespace {

const char* SchemeName(THttpAuthType type) {
  switch (type) {
    case httpAuthNtlm: return "NTLM";
    case httpAuthDigest: return "Digest";
    case httpAuthBasic: return "Basic";
    default: return "";
  }
}

// The workstation named in the third NTLM message; empty when it cannot be found.
std::string Workstation() {
  try {
    return LocalHostName();
  } catch (const Exception&) {
    return std::string();
  }
}

}  // namespace

std::string THttpCli::RequestMethod() const {
  switch (RequestType) {
    case httpPOST: return "POST";
    case httpPUT: return "PUT";
    case httpHEAD: return "HEAD";
    default: return "GET";
  }
}

// NTLM ties its exchange to one connection; an HTTP/1.0 peer must be asked to keep it.
void THttpCli::SetKeepAlive(std::string& connection) {
  if (requestVer_ == "1.0" || serverVersion_ == "1.0" || serverVersion_.empty())
    connection = "Keep-alive";
}

void THttpCli::ArmAuthentication() {
  if (!Proxy.empty() && ProxyAuth != httpAuthNone && !ProxyUsername.empty() &&
      !ProxyPassword.empty()) {
    // On a connection the proxy has already let through, only NTLM's stays authenticated;
    // the others are sent again when the proxy asks.
    const bool reused = ConnectionReusable();
    switch (ProxyAuth) {
      case httpAuthNtlm:
        ProxyAuthNTLMState = reused ? 4 : 1;
        SetKeepAlive(ActiveProxyConnection);
        break;
      case httpAuthDigest:
        // Without a challenge seen there is nothing to answer yet: wait for one.
        if (!ProxyAuthDigestInfo.Realm.empty()) ProxyAuthDigestState = reused ? 2 : 1;
        break;
      case httpAuthBasic:
        ProxyAuthBasicState = reused ? 2 : 1;
        break;
      default:
        break;
    }
  }
  if (ServerAuth != httpAuthNone && !ActiveUsername.empty() && !ActivePassword.empty()) {
    switch (ServerAuth) {
      case httpAuthNtlm:
        AuthNTLMState = 1;
        SetKeepAlive(ActiveConnection);
        break;
      case httpAuthDigest:
        if (!AuthDigestInfo.Realm.empty()) AuthDigestState = 1;
        break;
      case httpAuthBasic:
        AuthBasicState = 1;
        break;
      default:
        break;
    }
  }
}

std::string THttpCli::AuthorizationLine(bool proxy) {
  const std::string prefix = proxy ? "Proxy-Authorization: " : "Authorization: ";
  if (proxy && Proxy.empty()) return std::string();
  const uint8_t ntlm = proxy ? ProxyAuthNTLMState : AuthNTLMState;
  const std::string& user = proxy ? ProxyUsername : ActiveUsername;
  const std::string& password = proxy ? ProxyPassword : ActivePassword;
  if (ntlm == 1) return prefix + "NTLM " + Base64Encode(NtlmNegotiateMessage());
  if (ntlm == 3) {
    const TNtlmChallenge& info = proxy ? ProxyAuthNtlmInfo : AuthNtlmInfo;
    return prefix + "NTLM " +
           Base64Encode(NtlmAuthenticateMessage(user, password, Workstation(),
                                                info.Challenge));
  }
  if ((proxy ? ProxyAuthDigestState : AuthDigestState) == 1) {
    // The proxy counts its answers to one nonce; the server's answer is always the first.
    TAuthDigestInfo& info = proxy ? ProxyAuthDigestInfo : AuthDigestInfo;
    info.Nc = proxy ? info.Nc + 1 : 1;
    std::string path, protocol, u, p, host, port;
    SplitUrl(RequestPath, path, protocol, u, p, host, port);
    if (path.empty()) path = "/";
    // The proxy's answer on a tunnel request is for CONNECT and its target.
    const bool connect = proxy && connectRound_;
    return prefix + "Digest " +
           AuthDigestAnswer(user, password, connect ? "CONNECT" : RequestMethod(),
                            connect ? TunnelTarget() : path, info, info.Nc,
                            AuthDigestNewCnonce());
  }
  if ((proxy ? ProxyAuthBasicState : AuthBasicState) == 1)
    return prefix + "Basic " + AuthBasicValue(user, password);
  return std::string();
}

void THttpCli::AdvanceAuthStates() {
  const int s = StatusCode;
  const bool challenged = s == 401 || s == 407;
  if (AuthNTLMState == 3 && !challenged)
    AuthNTLMState = 4;
  else if (AuthNTLMState == 4 && s == 401)
    AuthNTLMState = 0;
  for (uint8_t* state : {&AuthDigestState, &AuthBasicState}) {
    if (*state == 1 && !challenged)
      *state = 2;
    else if (*state == 2 && s == 401)
      *state = 0;
  }
  if (ProxyAuthNTLMState == 3 && s != 407)
    ProxyAuthNTLMState = 4;
  else if (ProxyAuthNTLMState == 4 && s == 407)
    ProxyAuthNTLMState = 0;
  for (uint8_t* state : {&ProxyAuthDigestState, &ProxyAuthBasicState}) {
    if (*state == 1 && s != 407)
      *state = 2;
    else if (*state == 2 && s == 407)
      *state = 0;
  }
}

// One scheme's check: walks the challenges from the last to the first and runs the
// scheme's start step for the first one that is usable and allowed.
bool THttpCli::FindChallenge(THttpAuthType type, bool proxy) {
  const THttpCliOption off = type == httpAuthNtlm     ? httpoNoNTLMAuth
                             : type == httpAuthDigest ? httpoNoDigestAuth
                                                      : httpoNoBasicAuth;
  if (options_.Contains(off) && (proxy ? ProxyAuth : ServerAuth) == type) return false;
  // Proxy credentials are for a proxy: a 407 from an origin server is not answered.
  if (proxy && Proxy.empty()) return false;
  // Inside a tunnel only the target answers, and a 407 of its own is not the proxy's.
  if (proxy && !TunnelTarget().empty() && !tunnelAnswer_) return false;
  const std::string& user = proxy ? ProxyUsername : ActiveUsername;
  const std::string& password = proxy ? ProxyPassword : ActivePassword;
  if (authChallenges_.Count() == 0 || user.empty() || password.empty()) return false;
  // The other two schemes must be idle.
  const uint8_t ntlm = proxy ? ProxyAuthNTLMState : AuthNTLMState;
  const uint8_t digest = proxy ? ProxyAuthDigestState : AuthDigestState;
  const uint8_t basic = proxy ? ProxyAuthBasicState : AuthBasicState;
  if ((type != httpAuthNtlm && ntlm != 0) || (type != httpAuthDigest && digest != 0) ||
      (type != httpAuthBasic && basic != 0))
    return false;

  for (int i = authChallenges_.Count() - 1; i >= 0; --i) {
    const std::string challenge = authChallenges_[i];
    if (!StartsText(SchemeName(type), challenge)) continue;
    TAuthDigestInfo digestInfo;
    if (type == httpAuthDigest &&
        !AuthDigestParseChallenge(challenge.size() > 7 ? challenge.substr(7) : std::string(),
                                  digestInfo))
      continue;  // a challenge we cannot answer counts as refused
    bool allow = true;
    if (OnBeforeAuth) OnBeforeAuth(this, type, proxy, challenge, allow);
    if (!allow) continue;
    switch (type) {
      case httpAuthNtlm:
        proxy ? StartProxyNtlmAuth() : StartNtlmAuth();
        break;
      case httpAuthDigest:
        (proxy ? ProxyAuthDigestInfo : AuthDigestInfo) = digestInfo;
        proxy ? StartProxyDigestAuth() : StartDigestAuth();
        break;
      default:
        proxy ? StartProxyBasicAuth() : StartBasicAuth();
        break;
    }
    return true;
  }
  return false;
}

bool THttpCli::AnswerChallenge() {
  AdvanceAuthStates();
  if (StatusCode != 401 && StatusCode != 407) return false;
  const bool proxy = StatusCode == 407;
  THttpAuthType answered = httpAuthNone;
  for (THttpAuthType type : {httpAuthNtlm, httpAuthDigest, httpAuthBasic}) {
    if (FindChallenge(type, proxy)) {
      answered = type;
      break;
    }
  }
  if (answered == httpAuthNone) return false;

  if (!proxy) {
    if (FCloseReq) {
      // A new connection follows: a proxy that had let the old one through asks again.
      if (ProxyAuthNTLMState == 4)
        ProxyAuthNTLMState = 1;
      else if (ProxyAuthDigestState == 2)
        ProxyAuthDigestState = 1;
      else if (ProxyAuthBasicState == 2)
        ProxyAuthBasicState = 1;
    } else {
      if (ProxyAuthNTLMState < 4)
        ProxyAuthNTLMState = 0;
      else if (ProxyAuthDigestState < 2)
        ProxyAuthDigestState = 0;
      else if (ProxyAuthBasicState < 2)
        ProxyAuthBasicState = 0;
    }
  }

  uint8_t ntlm = proxy ? ProxyAuthNTLMState : AuthNTLMState;
  uint8_t digest = proxy ? ProxyAuthDigestState : AuthDigestState;
  uint8_t basic = proxy ? ProxyAuthBasicState : AuthBasicState;
  const bool again = answered == httpAuthNtlm     ? ntlm == 1 || ntlm == 3
                     : answered == httpAuthDigest ? digest == 1
                                                  : basic == 1;
  // The answer goes out as a new round of this request (the start step has posted it).
  if (again) PrepareRetry();
  return true;
}

// Sends the request once more, with the states as they are now. The new round gets its
// own serial: an end the old round had already posted (its connection closing after the
// answer, say) must not end this one.
void THttpCli::AuthAgain() {
  ++requestSerial_;
  PostMessageToSelf(msgReconnect_);
}

// The request ends with the challenge status.
void THttpCli::AuthGiveUp(uint8_t& state) {
  authChallenges_.Clear();
  state = 0;
  PostRequestDone();
}

bool THttpCli::DecodeNtlmChallenge(TNtlmChallenge& info) {
  for (int i = authChallenges_.Count() - 1; i >= 0; --i) {
    const std::string& challenge = authChallenges_[i];
    if (StartsText("NTLM", challenge))
      return NtlmParseChallenge(challenge.size() > 5 ? challenge.substr(5) : std::string(), info);
  }
  info = TNtlmChallenge();
  return false;
}

void THttpCli::StartNtlmAuth() {
  switch (AuthNTLMState) {
    case 0:
      AuthNTLMState = 1;
      AuthBasicState = 0;
      SetKeepAlive(ActiveConnection);
      AuthAgain();
      break;
    case 1:
      // A second message that cannot be read is no challenge to answer.
      if (!DecodeNtlmChallenge(AuthNtlmInfo)) {
        AuthGiveUp(AuthNTLMState);
        break;
      }
      AuthNTLMState = 3;
      AuthAgain();
      break;
    case 3:
      AuthGiveUp(AuthNTLMState);
      break;
    default:
      throw EHttpException("Unexpected AuthNTLMState", httperrAuthState);
  }
}

void THttpCli::StartProxyNtlmAuth() {
  switch (ProxyAuthNTLMState) {
    case 0:
      ProxyAuthNTLMState = 1;
      ProxyAuthBasicState = 0;
      ProxyAuthDigestState = 0;
      SetKeepAlive(ActiveProxyConnection);
      AuthAgain();
      break;
    case 1:
      if (!DecodeNtlmChallenge(ProxyAuthNtlmInfo)) {
        AuthGiveUp(ProxyAuthNTLMState);
        break;
      }
      ProxyAuthNTLMState = 3;
      AuthAgain();
      break;
    case 3:
      AuthGiveUp(ProxyAuthNTLMState);
      break;
    default:
      throw EHttpException("Unexpected ProxyAuthNTLMState", httperrAuthState);
  }
}

void THttpCli::StartDigestAuth() {
  switch (AuthDigestState) {
    case 0:
      AuthDigestState = 1;
      AuthNTLMState = 0;
      AuthBasicState = 0;
      AuthAgain();
      break;
    case 1:
      AuthGiveUp(AuthDigestState);
      break;
    default:
      throw EHttpException("Unexpected AuthDigestState", httperrAuthState);
  }
}

void THttpCli::StartProxyDigestAuth() {
  switch (ProxyAuthDigestState) {
    case 0:
      ProxyAuthDigestState = 1;
      ProxyAuthNTLMState = 0;
      ProxyAuthBasicState = 0;
      AuthAgain();
      break;
    case 1:
      AuthGiveUp(ProxyAuthDigestState);
      break;
    default:
      throw EHttpException("Unexpected ProxyAuthDigestState", httperrAuthState);
  }
}

void THttpCli::StartBasicAuth() {
  switch (AuthBasicState) {
    case 0:
      AuthBasicState = 1;
      AuthNTLMState = 0;
      AuthDigestState = 0;
      AuthAgain();
      break;
    case 1:
      AuthGiveUp(AuthBasicState);
      break;
    default:
      throw EHttpException("Unexpected AuthBasicState", httperrAuthState);
  }
}

void THttpCli::StartProxyBasicAuth() {
  switch (ProxyAuthBasicState) {
    case 0:
      ProxyAuthBasicState = 1;
      ProxyAuthNTLMState = 0;
      ProxyAuthDigestState = 0;
      AuthAgain();
      break;
    case 1:
      AuthGiveUp(ProxyAuthBasicState);
      break;
    default:
      throw EHttpException("Unexpected ProxyAuthBasicState", httperrAuthState);
  }
}
