#include "download/multiparthttpdownloader.h"

#include <algorithm>

#include "http/contentrange.h"
#include "platform/durablefile.h"
#include "platform/files.h"
#include "platform/messages.h"

namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// "%XX" escapes and '+' as in a URL's path or query.
std::string UrlDecode(const std::string& s) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '%' && i + 2 < s.size() && HexValue(s[i + 1]) >= 0 && HexValue(s[i + 2]) >= 0) {
      out += static_cast<char>(HexValue(s[i + 1]) * 16 + HexValue(s[i + 2]));
      i += 2;
    } else if (s[i] == '+') {
      out += ' ';
    } else {
      out += s[i];
    }
  }
  return out;
}

TMyHttpCli* AsPart(TObject* sender) { return static_cast<TMyHttpCli*>(sender); }

// The value of a response header line "Name: value", trimmed; empty when missing.
std::string HeaderValue(const TStringList& headers, const std::string& name) {
  for (int i = 0; i < headers.Count(); ++i) {
    const std::string& line = headers[i];
    if (line.size() <= name.size() || line[name.size()] != ':') continue;
    if (!SameText(line.substr(0, name.size()), name)) continue;
    return Trim(line.substr(name.size() + 1));
  }
  return "";
}

// Retry-After as milliseconds: delay seconds only (a date needs a clock the server
// shares); -1 when missing or not a number.
int64_t RetryAfterMs(const TStringList& headers) {
  const std::string value = HeaderValue(headers, "Retry-After");
  if (value.empty() || value.size() > 9 || value.find_first_not_of("0123456789") != std::string::npos) return -1;
  return StrToInt64Def(value, -1) * 1000;
}

}  // namespace

TMultipartHttpDownloader::TMultipartHttpDownloader(TComponent* owner) : TNetWndControl(owner) {
  // The timer's setters need the hidden window.
  AttachWindow();
  StatsTimer = new TNetTimer(this);
  StatsTimer->SetEnabled(false);
  StatsTimer->SetInterval(1000);
  StatsTimer->SetOnTimer([this](TObject* sender) { StatsTick(sender); });
  WatchTimer = new TNetTimer(this);
  WatchTimer->SetEnabled(false);
  WatchTimer->SetInterval(50);
  WatchTimer->SetOnTimer([this](TObject*) { WatchTick(); });
}

TMultipartHttpDownloader::~TMultipartHttpDownloader() {
  // Dropped during a download (the window closed): what is written so far stays usable.
  if (running_) SaveState();
  for (TMyHttpCli* part : parts_) {
    part->OnRequestDone = nullptr;
    part->OnHeaderEnd = nullptr;
    part->OnDocData = nullptr;
    part->OnLocationChange = nullptr;
    delete part;
  }
  parts_.clear();
  delete StatsTimer;
  StatsTimer = nullptr;
  delete WatchTimer;
  WatchTimer = nullptr;
  // The base's destructor no longer sees this class's ReturnMessageIds.
  DetachForGood(true);
}

void TMultipartHttpDownloader::SetStateFileName(const std::string& value) {
  stateFileName_ = ExtractFilePath(value).empty() ? std::string(".") + PathDelim + value : value;
}

int TMultipartHttpDownloader::MessageIdsNeeded() { return TNetWndControl::MessageIdsNeeded() + 1; }

void TMultipartHttpDownloader::ClaimMessageIds() {
  TNetWndControl::ClaimMessageIds();
  StartMsg = Handler()->ClaimId(this);
}

void TMultipartHttpDownloader::ReturnMessageIds() {
  if (Handler()) Handler()->ReleaseId(StartMsg);
  TNetWndControl::ReturnMessageIds();
}

void TMultipartHttpDownloader::WindowProc(TMessage& msg) {
  if (msg.Msg != StartMsg || StartMsg == 0) {
    TNetWndControl::WindowProc(msg);
    return;
  }
  // A start message of a download that Start has replaced meanwhile finds nothing to do.
  if (!startPending_ && !probePending_) return;
  const bool probe = probePending_;
  startPending_ = false;
  probePending_ = false;
  try {
    if (probe)
      Probe();
    else
      StartParts();
  } catch (const std::exception& e) {
    // The owner waits for OnRequestDone: it must come.
    const std::string text = e.what();
    Display("StartParts failed: " + text);
    if (running_) Fail(mperrPartFailed, text);
  }
}

void TMultipartHttpDownloader::Display(const std::string& msg) {
  if (OnDisplay) OnDisplay(this, msg);
}

void TMultipartHttpDownloader::TriggerShowStats() {
  if (OnShowStats) OnShowStats(this);
}

void TMultipartHttpDownloader::TriggerProgressSetPosition(int32_t index, int64_t position) {
  if (OnProgressSetPosition) OnProgressSetPosition(this, index, position);
}

void TMultipartHttpDownloader::TriggerProgressAddSegment(int64_t startOffset, int64_t span,
                                                         int64_t initPos) {
  if (OnProgressAddSegment) OnProgressAddSegment(this, startOffset, span, initPos);
}

void TMultipartHttpDownloader::FireRequestDone(int32_t errorCode, const std::string& reason) {
  if (OnRequestDone) OnRequestDone(this, errorCode, reason);
}

// ---------------------------------------------------------------------------------------
// Start and the probing request

// A part whose events must reach nobody any more: its request, if any, is aborted.
void TMultipartHttpDownloader::Silence(TMyHttpCli* part) {
  part->OnRequestDone = nullptr;
  part->OnHeaderEnd = nullptr;
  part->OnDocData = nullptr;
  part->OnLocationChange = nullptr;
  if (part->State() != httpReady) part->Abort();
}

void TMultipartHttpDownloader::FreeParts() {
  for (TMyHttpCli* part : parts_) {
    Silence(part);
    // Start may run inside one of these clients' own events.
    part->ReleaseLater();
  }
  parts_.clear();
}

// A part's events run into the downloader's, so it counts as busy while they are handled.
TMyHttpCli* TMultipartHttpDownloader::NewPart() {
  auto* part = new TMyHttpCli(this);
  part->EventOwner = this;
  parts_.push_back(part);
  return part;
}

void TMultipartHttpDownloader::CopySettings(TMyHttpCli* part) {
  part->Username = Username;
  part->Password = Password;
  part->Proxy = Proxy;
  part->ProxyPort = ProxyPort;
  part->SocksServer = SocksServer;
  part->SocksPort = SocksPort;
  part->SocksLevel = SocksLevel;
  part->TlsCaFile = TlsCaFile;
  part->TlsVerify = TlsVerify;
  part->ServerAuth = ServerAuth;
}

void TMultipartHttpDownloader::Start() {
  if (PartCount < 1) throw ERangeError("PartCount must be positive");
  partCount_ = PartCount;
  StatsTimer->SetEnabled(false);
  startPending_ = false;
  probePending_ = false;
  ContentLength = 0;
  TotalCount = 0;
  PrevCount = 0;
  PercentDone = 0;
  CurSpeed = 0;
  PrevTick = platform::GetTickCount();
  StartTime = Now();
  ElapsedTime = 0;
  TriggerShowStats();
  restarts_ = 0;
  running_ = true;
  try {
    Probe();
  } catch (...) {
    running_ = false;
    WatchTimer->SetEnabled(false);
    throw;
  }
}

void TMultipartHttpDownloader::Probe() {
  FreeParts();
  ContentLength = 0;
  validator_.clear();
  validatorIsETag_ = false;
  TMyHttpCli* part = NewPart();
  part->Index = 0;
  part->URL = URL;
  CopySettings(part);
  part->OnRequestDone = [this](TObject* s, THttpRequest rq, uint16_t e) { FirstRequestDone(s, rq, e); };
  part->OnHeaderEnd = [this](TObject* s) { FirstHeaderEnd(s); };
  part->OnHeaderData = [](TObject* s) { AsPart(s)->LastActivity = platform::GetTickCount(); };
  // No range: the probe asks for the whole document and is abandoned after its header.
  part->LastActivity = platform::GetTickCount();
  WatchTimer->SetEnabled(true);
  part->GetASync();
  Display("GetASync");
}

void TMultipartHttpDownloader::FirstHeaderEnd(TObject* sender) {
  TMyHttpCli* cli = AsPart(sender);
  if (cli->ContentLength > 0) {
    Display("HeaderEnd ContentLength = " + IntToStr(cli->ContentLength));
    Display("HeaderEnd AcceptRanges = " + cli->AcceptRanges());
    Display("HeaderEnd DocName = " + UrlDecode(cli->DocName));
  }
  Display("HeaderEnd StatusCode = " + IntToStr(cli->StatusCode) + " " + cli->StatusText);
  if (cli->StatusCode == 200) {
    // Past kMaxDocumentLength the range ends and their sums would overflow; such a length
    // is refused when the probe ends.
    ContentLength = cli->ContentLength;
    // A weak tag does not promise the same bytes, so it cannot guard a range.
    const std::string etag = HeaderValue(cli->ResponseHeaders(), "ETag");
    validatorIsETag_ = !etag.empty() && etag.rfind("W/", 0) != 0;
    validator_ = validatorIsETag_ ? etag : HeaderValue(cli->ResponseHeaders(), "Last-Modified");
    TriggerShowStats();
    cli->Abort();
  }
}

void TMultipartHttpDownloader::FirstRequestDone(TObject* sender, THttpRequest, uint16_t errCode) {
  TMyHttpCli* cli = AsPart(sender);
  Display("GetASyncRequestDone");
  if (ContentLength > kMaxDocumentLength) {
    Display("ContentLength = " + IntToStr(ContentLength) + " too long");
    ContentLength = 0;
    running_ = false;
    WatchTimer->SetEnabled(false);
    FireRequestDone(mperrTooLong, "Document too long");
    return;
  }
  if (ContentLength > 0 && ExpectedLength > 0 && ContentLength != ExpectedLength) {
    running_ = false;
    WatchTimer->SetEnabled(false);
    Display("ContentLength = " + IntToStr(ContentLength) + ", expected " + IntToStr(ExpectedLength));
    FireRequestDone(mperrLength, "Document length " + IntToStr(ContentLength) + " is not the expected " +
                                     IntToStr(ExpectedLength));
    return;
  }
  if (ContentLength > 0) {
    // The parts start from the message loop, outside the probe's own events.
    startPending_ = true;
    platform::PostMessage(Handle(), StartMsg, 0, 0);
    return;
  }
  running_ = false;
  WatchTimer->SetEnabled(false);
  if (errCode != 0) {
    Display("ErrorCode = " + IntToStr(errCode));
    FireRequestDone(errCode, "Download failed");
  } else if (cli->StatusCode != 200) {
    Display("StatusCode = " + IntToStr(cli->StatusCode) + " " + cli->StatusText);
    FireRequestDone(cli->StatusCode, cli->StatusText);
  } else {
    // A whole answer without a length cannot be split into ranges.
    Display("RequestDone DataCount = " + IntToStr(cli->DataCount));
    FireRequestDone(mperrNoLength, "Document length unknown");
  }
}

// ---------------------------------------------------------------------------------------
// The parts

void TMultipartHttpDownloader::StartParts() {
  TDownloadState state;
  const bool resumed = LoadMatchingState(state);
  if (!resumed) {
    // Afresh: no byte of an earlier download may stay past the new document's end.
    if (!stateFileName_.empty() && FileStream) FileStream->SetSize(0);
    state.Parts.clear();
    const int32_t count = partCount_;
    const int64_t segment = ContentLength / count;
    int64_t next = 0;
    for (int32_t i = 0; i < count; ++i) {
      TDownloadPartState p;
      p.StartOffset = next;
      // The last range asks for one byte past the end; the server stops at the last one.
      p.EndOffset = i < count - 1 ? next + segment : ContentLength;
      next += segment + 1;
      state.Parts.push_back(p);
    }
  }
  int64_t held = 0;
  for (size_t i = 0; i < state.Parts.size(); ++i) {
    TMyHttpCli* part = i == 0 ? parts_[0] : NewPart();
    const TDownloadPartState& p = state.Parts[i];
    part->StartOffset = p.StartOffset;
    part->EndOffset = p.EndOffset;
    part->ContentRangeBegin = IntToStr(part->StartOffset);
    part->ContentRangeEnd = IntToStr(part->EndOffset);
    TriggerProgressAddSegment(part->StartOffset, part->EndOffset - part->StartOffset, part->StartOffset + p.Held);
    part->Index = static_cast<int32_t>(i);
    part->URL = URL;
    CopySettings(part);
    part->OnHeaderEnd = [this](TObject* s) { PartHeaderEnd(s); };
    part->OnHeaderData = [](TObject* s) { AsPart(s)->LastActivity = platform::GetTickCount(); };
    part->OnBeforeHeaderSend = [this](TObject*, const std::string&, TStrings* headers) {
      // Only while the bytes already written are of this version: a changed document is
      // then answered whole (200) instead of with bytes of another version.
      if (!validator_.empty()) headers->Add("If-Range: " + validator_);
    };
    part->OnLocationChange = [this](TObject* s) { PartLocationChange(s); };
    part->OnRequestDone = [this](TObject* s, THttpRequest rq, uint16_t e) { PartRequestDone(s, rq, e); };
    part->OnDocData = [this](TObject* s, const void* b, int n) { PartDocData(s, b, n); };
    part->DataCount = p.Held;
    part->ResumedAt = p.Held;
    part->Failures = 0;
    part->Done = false;
    part->Waiting = false;
    held += p.Held;
  }
  if (resumed) Display("Resuming from " + stateFileName_ + ", held = " + IntToStr(held));
  // What an earlier run fetched counts as fetched; it is not this run's speed.
  TotalCount += held;
  PrevCount = TotalCount;
  StatsTimer->SetEnabled(true);
  for (TMyHttpCli* part : parts_) {
    if (part->StartOffset >= ContentLength || part->StartOffset + part->DataCount >= PartEnd(part)) {
      // A document shorter than the part count leaves parts with nothing to fetch; a
      // resumed part may have everything already.
      part->Done = true;
      Display("Download done index = " + IntToStr(part->Index) + (part->DataCount > 0 ? " held" : " empty"));
      continue;
    }
    SendPart(part);
  }
  Display("GetASync");
  CheckAllDone(200, "OK");
}

bool TMultipartHttpDownloader::LoadMatchingState(TDownloadState& state) {
  if (stateFileName_.empty() || validator_.empty() || !FileStream) return false;
  std::string text;
  // A state is a few hundred bytes; anything much larger is not one.
  if (!platform::ReadSmallFile(stateFileName_, 64 * 1024, &text)) return false;
  if (!ParseDownloadState(text, state) || state.URL != URL || state.Length != ContentLength ||
      state.Validator != validator_) {
    Display("State " + stateFileName_ + " does not match; starting afresh");
    return false;
  }
  int64_t needed = 0;
  for (const TDownloadPartState& p : state.Parts) needed = std::max(needed, p.StartOffset + p.Held);
  if (FileStream->Size() < needed) {
    Display("State " + stateFileName_ + " points past the file; starting afresh");
    return false;
  }
  return true;
}

void TMultipartHttpDownloader::SaveState() {
  if (stateFileName_.empty() || validator_.empty() || ContentLength <= 0 || !FileStream) return;
  TDownloadState state;
  state.URL = URL;
  state.Length = ContentLength;
  state.Validator = validator_;
  for (const TMyHttpCli* part : parts_) {
    TDownloadPartState p;
    p.StartOffset = part->StartOffset;
    p.EndOffset = part->EndOffset;
    p.Held = part->DataCount;
    state.Parts.push_back(p);
  }
  // The probe alone has no layout yet.
  if (state.Parts.empty() || (state.Parts.size() == 1 && state.Parts[0].EndOffset == 0)) return;
  // The state must never name bytes that a power loss could take away.
  if (auto* file = dynamic_cast<TFileStream*>(FileStream)) {
    if (!file->FlushToDisk()) return;
  }
  if (!platform::WriteFileAtomically(stateFileName_, FormatDownloadState(state)))
    Display("State " + stateFileName_ + " not written");
}

void TMultipartHttpDownloader::Abandon() {
  if (!running_) return;
  StopEverything();
}

// Saves what was fetched, so that the next run can go on from it, and silences every part.
void TMultipartHttpDownloader::StopEverything() {
  StatsTimer->SetEnabled(false);
  WatchTimer->SetEnabled(false);
  SaveState();
  running_ = false;
  startPending_ = false;
  probePending_ = false;
  for (TMyHttpCli* part : parts_) Silence(part);
}

void TMultipartHttpDownloader::DropState() {
  if (!stateFileName_.empty()) platform::DeleteFile(stateFileName_);
}

int64_t TMultipartHttpDownloader::PartEnd(const TMyHttpCli* part) const {
  return std::min(part->EndOffset + 1, ContentLength);
}

void TMultipartHttpDownloader::PartHeaderEnd(TObject* sender) {
  TMyHttpCli* part = AsPart(sender);
  // The body is written where the part's data stands, so the answer must start there:
  // a range answer for other bytes (a confused cache on the way) would put them at the
  // wrong place in the file and still count as the part's data.
  const int64_t expected = part->StartOffset + part->DataCount;
  part->OtherRange = part->StatusCode == 206 && !part->ContentRangeBegin.empty() &&
                     StrToInt64Def(Trim(part->ContentRangeBegin), -1) != expected;
  if (part->OtherRange)
    Display("Range answer index = " + IntToStr(part->Index) + " starts at " + part->ContentRangeBegin +
            ", not at " + IntToStr(expected));
  // Bytes of another version must not join those of this one: a validator or a total
  // length that differs means the document was replaced meanwhile.
  const TStringList& headers = part->ResponseHeaders();
  const std::string answerValidator = HeaderValue(headers, validatorIsETag_ ? "ETag" : "Last-Modified");
  bool changed = !validator_.empty() && !answerValidator.empty() && answerValidator != validator_;
  // With an expected length another total is no new version but a wrong answer, which the
  // data check stops.
  if (ExpectedLength <= 0 && part->StatusCode == 206) {
    const TContentRange range = ParseContentRange(HeaderValue(headers, "Content-Range"));
    if (range.Valid && range.Total >= 0 && range.Total != ContentLength) changed = true;
  } else if (ExpectedLength <= 0 && part->StatusCode == 200 && part->ContentLength >= 0 &&
             part->ContentLength != ContentLength) {
    changed = true;
  }
  part->Changed = changed;
  if (changed) Display("Document changed index = " + IntToStr(part->Index));
}

void TMultipartHttpDownloader::PartDocData(TObject* sender, const void* buffer, int len) {
  TMyHttpCli* part = AsPart(sender);
  if (len < 1) return;
  part->LastActivity = platform::GetTickCount();
  // Only a range answer belongs at the range's offset: a whole document (a server that
  // ignores ranges), an error page or a relocation's body would overwrite other parts.
  if (part->StatusCode != 206 || part->OtherRange || part->Changed) return;
  if (!FileStream) throw EStreamError("No destination stream");
  const int64_t at = part->StartOffset + part->DataCount;
  // A document of a known length has no bytes past a range's end: a server sending them
  // is stopped, not trusted with the rest.
  if (ExpectedLength > 0 && len > PartEnd(part) - at) {
    Display("Range answer index = " + IntToStr(part->Index) + " longer than its range");
    Fail(mperrLength, "Range answer longer than its range");
    return;
  }
  // Bytes past the range's end belong to the next part, which may hold them already.
  const int64_t n = std::min<int64_t>(len, PartEnd(part) - at);
  if (n <= 0) return;
  FileStream->Seek(at, TSeekOrigin::soBeginning);
  FileStream->WriteBuffer(buffer, n);
  part->DataCount += n;
  TotalCount += n;
  TriggerProgressSetPosition(part->Index, part->StartOffset + part->DataCount);
}

void TMultipartHttpDownloader::PartLocationChange(TObject* sender) {
  TMyHttpCli* part = AsPart(sender);
  Display("LocationChange = " + part->NewLocation);
  // The relocated request resumes where the part's data stands.
  part->ContentRangeBegin = IntToStr(part->StartOffset + part->DataCount);
  part->ContentRangeEnd = IntToStr(part->EndOffset);
}

void TMultipartHttpDownloader::PartRequestDone(TObject* sender, THttpRequest, uint16_t errCode) {
  TMyHttpCli* part = AsPart(sender);
  const std::string index = IntToStr(part->Index);
  part->Done = true;
  if (part->Changed) {
    RestartDocument();
    return;
  }
  if (errCode == 0 && part->StatusCode == 206 && part->StartOffset + part->DataCount >= PartEnd(part)) {
    Display("Download done index = " + index + " OK");
    CheckAllDone(200, "OK");
    return;
  }
  // Whatever went wrong, the part goes on where its data stands. Only an attempt that
  // brought no new byte counts against the bound, and only such an attempt is followed
  // by a pause: a line that breaks now and then still finishes, a server that never
  // gets further cannot keep the client going.
  int32_t code;
  std::string reason;
  int64_t retryAfter = -1;
  if (errCode != 0) {
    Display("Download done index = " + index + "  ErrorCode = " + IntToStr(errCode) +
            (part->Stalled ? " stalled" : ""));
    code = errCode;
    reason = part->Stalled ? "Download stalled" : "Download failed";
  } else if (part->StatusCode == 206) {
    Display("Download done index = " + index + "  Short = " + IntToStr(part->DataCount));
    code = mperrPartFailed;
    reason = part->OtherRange ? "Range not served: 206 for other bytes" : "Range not served: 206 without new data";
  } else {
    const int32_t status = part->StatusCode;
    Display("Download done index = " + index + "  Status = " + IntToStr(status));
    const bool errorStatus = status < 200 || status >= 300;
    code = errorStatus ? status : mperrPartFailed;
    reason = errorStatus ? part->StatusText : "Range not served: " + IntToStr(status) + " " + part->StatusText;
    if (status == 503 || status == 429) retryAfter = RetryAfterMs(part->ResponseHeaders());
  }
  if (part->DataCount > part->ResumedAt) {
    part->Failures = 0;
    ResumePart(part);
    return;
  }
  if (!CountFailure(part, code, reason)) return;
  uint32_t delay = RetryDelay(part);
  if (retryAfter >= 0) delay = static_cast<uint32_t>(std::max<int64_t>(delay, std::min<int64_t>(retryAfter, MaxRetryAfterMs)));
  ResumePart(part, delay);
}

bool TMultipartHttpDownloader::CountFailure(TMyHttpCli* part, int32_t errorCode, const std::string& reason) {
  if (++part->Failures < kMaxPartFailures) return true;
  Display("Giving up index = " + IntToStr(part->Index) + " after " + IntToStr(part->Failures) + " failures");
  Fail(errorCode, reason);
  return false;
}

uint32_t TMultipartHttpDownloader::RetryDelay(const TMyHttpCli* part) const {
  uint64_t delay = RetryDelayMs;
  for (int i = 1; i < part->Failures && delay < MaxRetryDelayMs; ++i) delay *= 2;
  return static_cast<uint32_t>(std::min<uint64_t>(delay, MaxRetryDelayMs));
}

void TMultipartHttpDownloader::RestartDocument() {
  if (++restarts_ > kMaxDocumentRestarts) {
    Display("Giving up after " + IntToStr(restarts_ - 1) + " changes of the document");
    Fail(mperrChanged, "Document changed");
    return;
  }
  Display("Document changed, starting again");
  StatsTimer->SetEnabled(false);
  DropState();
  // None of the bytes so far may end up in the new document.
  if (FileStream) FileStream->SetSize(0);
  for (TMyHttpCli* part : parts_) {
    part->OnRequestDone = nullptr;
    part->OnDocData = nullptr;
    part->OnLocationChange = nullptr;
    part->OnHeaderEnd = nullptr;
    if (part->State() != httpReady) part->Abort();
  }
  // From the message loop: this runs inside a part's own event.
  startPending_ = false;
  probePending_ = true;
  platform::PostMessage(Handle(), StartMsg, 0, 0);
}

void TMultipartHttpDownloader::ResumePart(TMyHttpCli* part, uint32_t delayMs) {
  const int64_t from = part->StartOffset + part->DataCount;
  Display("Resuming " + IntToStr(part->Index) + " at " + IntToStr(from) +
          (delayMs > 0 ? " in " + IntToStr(delayMs) + " ms" : ""));
  part->Done = false;
  if (delayMs == 0) {
    SendPart(part);
    return;
  }
  part->Waiting = true;
  part->WaitUntil = platform::GetTickCount() + delayMs;
}

void TMultipartHttpDownloader::SendPart(TMyHttpCli* part) {
  const int64_t from = part->StartOffset + part->DataCount;
  part->Waiting = false;
  part->Stalled = false;
  part->Changed = false;
  part->OtherRange = false;
  part->ContentRangeBegin = IntToStr(from);
  part->ContentRangeEnd = IntToStr(part->EndOffset);
  CopySettings(part);
  part->ResumedAt = part->DataCount;
  part->Done = false;
  part->LastActivity = platform::GetTickCount();
  part->GetASync();
}

void TMultipartHttpDownloader::WatchTick() {
  if (!running_) return;
  const uint32_t now = platform::GetTickCount();
  // A copy: a part's end may change the list.
  const std::vector<TMyHttpCli*> parts = parts_;
  for (TMyHttpCli* part : parts) {
    if (!running_) return;
    if (part->Waiting) {
      // Unsigned differences: right across the tick count's wrap.
      if (static_cast<int32_t>(now - part->WaitUntil) >= 0) SendPart(part);
      continue;
    }
    if (part->Done || part->State() == httpReady) continue;
    if (now - part->LastActivity >= StallTimeoutMs) {
      Display("Stalled index = " + IntToStr(part->Index) + " after " + IntToStr(now - part->LastActivity) + " ms");
      part->Stalled = true;
      part->LastActivity = now;
      part->Abort();
    }
  }
}

void TMultipartHttpDownloader::CheckAllDone(int32_t errorCode, const std::string& reason) {
  for (TMyHttpCli* part : parts_)
    if (!part->Done) return;
  StatsTimer->SetEnabled(false);
  WatchTimer->SetEnabled(false);
  DropState();
  StatsTick(StatsTimer);
  Display("All done");
  running_ = false;
  FireRequestDone(errorCode, reason);
}

void TMultipartHttpDownloader::Fail(int32_t errorCode, const std::string& reason) {
  StopEverything();
  FireRequestDone(errorCode, reason);
}

// ---------------------------------------------------------------------------------------
// Statistics

void TMultipartHttpDownloader::StatsTick(TObject*) {
  const bool allDone = std::all_of(parts_.begin(), parts_.end(), [](TMyHttpCli* p) { return p->Done; });
  const uint32_t tick = platform::GetTickCount();
  const uint32_t interval = tick - PrevTick;  // unsigned: right across the wrap
  CurSpeed = interval == 0 ? 0.0 : static_cast<double>(TotalCount - PrevCount) * 8.0 / interval;
  ElapsedTime = Now() - StartTime;
  PercentDone = ContentLength != 0 ? static_cast<double>(TotalCount) * 100.0 / static_cast<double>(ContentLength) : 0.0;
  TriggerShowStats();
  PrevTick = tick;
  PrevCount = TotalCount;
  if (running_ && !allDone) SaveState();
  if (allDone && running_) {
    StatsTimer->SetEnabled(false);
    const double ms = ElapsedTime * MSecsPerDay;
    CurSpeed = ms > 0 ? static_cast<double>(TotalCount) * 8.0 / ms : 0.0;
    TriggerShowStats();
    delete FileStream;
    FileStream = nullptr;
    Display("Done");
  }
}
