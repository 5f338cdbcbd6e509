#include "download/multiparthttpdownloader.h"

#include <algorithm>

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

}  // namespace

TMultipartHttpDownloader::TMultipartHttpDownloader(TComponent* owner) : TNetWndControl(owner) {
  // The timer's setters need the hidden window.
  AttachWindow();
  StatsTimer = new TNetTimer(this);
  StatsTimer->SetEnabled(false);
  StatsTimer->SetInterval(1000);
  StatsTimer->SetOnTimer([this](TObject* sender) { StatsTick(sender); });
}

TMultipartHttpDownloader::~TMultipartHttpDownloader() {
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
  if (!startPending_) return;
  startPending_ = false;
  try {
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

void TMultipartHttpDownloader::FreeParts() {
  for (TMyHttpCli* part : parts_) {
    part->OnRequestDone = nullptr;
    part->OnHeaderEnd = nullptr;
    part->OnDocData = nullptr;
    part->OnLocationChange = nullptr;
    if (part->State() != httpReady) part->Abort();
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
  part->ServerAuth = ServerAuth;
}

void TMultipartHttpDownloader::Start() {
  if (PartCount < 1) throw ERangeError("PartCount must be positive");
  partCount_ = PartCount;
  StatsTimer->SetEnabled(false);
  startPending_ = false;
  ContentLength = 0;
  TotalCount = 0;
  PrevCount = 0;
  PercentDone = 0;
  CurSpeed = 0;
  PrevTick = platform::GetTickCount();
  StartTime = Now();
  ElapsedTime = 0;
  TriggerShowStats();

  FreeParts();
  TMyHttpCli* part = NewPart();
  part->Index = 0;
  part->URL = URL;
  CopySettings(part);
  part->OnRequestDone = [this](TObject* s, THttpRequest rq, uint16_t e) { FirstRequestDone(s, rq, e); };
  part->OnHeaderEnd = [this](TObject* s) { FirstHeaderEnd(s); };
  // No range: the probe asks for the whole document and is abandoned after its header.
  running_ = true;
  try {
    part->GetASync();
  } catch (...) {
    running_ = false;
    throw;
  }
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
    // Past this the range ends and their sums would overflow; such a length is refused
    // when the probe ends.
    ContentLength = cli->ContentLength;
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
    FireRequestDone(mperrTooLong, "Document too long");
    return;
  }
  if (ContentLength > 0 && ExpectedLength > 0 && ContentLength != ExpectedLength) {
    running_ = false;
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
  const int32_t count = partCount_;
  const int64_t segment = ContentLength / count;
  int64_t next = 0;
  for (int32_t i = 0; i < count; ++i) {
    TMyHttpCli* part;
    if (i == 0) {
      part = parts_[0];
    } else {
      part = NewPart();
    }
    part->StartOffset = next;
    // The last range asks for one byte past the end; the server stops at the last one.
    part->EndOffset = i < count - 1 ? next + segment : ContentLength;
    next += segment + 1;
    part->ContentRangeBegin = IntToStr(part->StartOffset);
    part->ContentRangeEnd = IntToStr(part->EndOffset);
    TriggerProgressAddSegment(part->StartOffset, part->EndOffset - part->StartOffset, part->StartOffset);
    part->Index = i;
    part->URL = URL;
    CopySettings(part);
    part->OnHeaderEnd = [this](TObject* s) { PartHeaderEnd(s); };
    part->OnLocationChange = [this](TObject* s) { PartLocationChange(s); };
    part->OnRequestDone = [this](TObject* s, THttpRequest rq, uint16_t e) { PartRequestDone(s, rq, e); };
    part->OnDocData = [this](TObject* s, const void* b, int n) { PartDocData(s, b, n); };
    part->DataCount = 0;
    part->ResumedAt = 0;
    part->Reached = 0;
    part->Failures = 0;
    part->Done = false;
  }
  for (TMyHttpCli* part : parts_) {
    if (part->StartOffset >= ContentLength) {
      // A document shorter than the part count leaves parts with nothing to fetch.
      part->Done = true;
      Display("Download done index = " + IntToStr(part->Index) + " empty");
      continue;
    }
    part->GetASync();
  }
  StatsTimer->SetEnabled(true);
  Display("GetASync");
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
}

void TMultipartHttpDownloader::PartDocData(TObject* sender, const void* buffer, int len) {
  TMyHttpCli* part = AsPart(sender);
  if (len < 1) return;
  // Only a range answer belongs at the range's offset: a whole document (a server that
  // ignores ranges), an error page or a relocation's body would overwrite other parts.
  if (part->StatusCode != 206 || part->OtherRange) return;
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
  if (errCode != 0) {
    Display("Download done index = " + index + "  ErrorCode = " + IntToStr(errCode));
    if (CountFailure(part, errCode, "Download failed")) RestartPart(part);
  } else if (part->StatusCode == 206) {
    if (part->StartOffset + part->DataCount >= PartEnd(part)) {
      Display("Download done index = " + index + " OK");
      CheckAllDone(200, "OK");
      return;
    }
    // The answer ended before the range did: fetch the rest rather than hand on a
    // truncated document. Only an answer that brought bytes no attempt had before
    // is progress; anything else counts as a failure.
    Display("Download done index = " + index + "  Short = " + IntToStr(part->DataCount));
    if (part->DataCount > part->Reached) {
      part->Reached = part->DataCount;
      part->Failures = 0;
    } else if (!CountFailure(part, mperrPartFailed,
                             part->OtherRange ? "Range not served: 206 for other bytes"
                                              : "Range not served: 206 without new data")) {
      return;
    }
    ResumePart(part);
  } else {
    const int32_t status = part->StatusCode;
    Display("Download done index = " + index + "  Status = " + IntToStr(status));
    const bool errorStatus = status < 200 || status >= 300;
    const std::string reason = errorStatus ? part->StatusText
                                           : "Range not served: " + IntToStr(status) + " " + part->StatusText;
    if (CountFailure(part, errorStatus ? status : mperrPartFailed, reason)) RestartPart(part);
  }
}

bool TMultipartHttpDownloader::CountFailure(TMyHttpCli* part, int32_t errorCode, const std::string& reason) {
  if (++part->Failures < kMaxPartFailures) return true;
  Display("Giving up index = " + IntToStr(part->Index) + " after " + IntToStr(part->Failures) + " failures");
  Fail(errorCode, reason);
  return false;
}

void TMultipartHttpDownloader::RestartPart(TMyHttpCli* part) {
  Display("Restarting " + IntToStr(part->Index));
  TriggerProgressSetPosition(part->Index, part->StartOffset);
  part->ContentRangeBegin = IntToStr(part->StartOffset);
  part->ContentRangeEnd = IntToStr(part->EndOffset);
  CopySettings(part);
  part->DataCount = 0;
  part->ResumedAt = 0;
  part->Done = false;
  part->GetASync();
}

void TMultipartHttpDownloader::ResumePart(TMyHttpCli* part) {
  const int64_t from = part->StartOffset + part->DataCount;
  Display("Resuming " + IntToStr(part->Index) + " at " + IntToStr(from));
  part->ContentRangeBegin = IntToStr(from);
  part->ContentRangeEnd = IntToStr(part->EndOffset);
  CopySettings(part);
  part->ResumedAt = part->DataCount;
  part->Done = false;
  part->GetASync();
}

void TMultipartHttpDownloader::CheckAllDone(int32_t errorCode, const std::string& reason) {
  for (TMyHttpCli* part : parts_)
    if (!part->Done) return;
  StatsTimer->SetEnabled(false);
  StatsTick(StatsTimer);
  Display("All done");
  running_ = false;
  FireRequestDone(errorCode, reason);
}

void TMultipartHttpDownloader::Fail(int32_t errorCode, const std::string& reason) {
  StatsTimer->SetEnabled(false);
  running_ = false;
  startPending_ = false;
  for (TMyHttpCli* part : parts_) {
    part->OnRequestDone = nullptr;
    part->OnDocData = nullptr;
    part->OnLocationChange = nullptr;
    part->OnHeaderEnd = nullptr;
    if (part->State() != httpReady) part->Abort();
  }
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
