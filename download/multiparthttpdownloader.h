// TMultipartHttpDownloader: fetches one HTTP document in PartCount byte ranges at once,
// each over its own client, writing every range straight into one stream at its own
// offset. A plain GET learns the length and is abandoned after its header; then one
// ranged GET per part runs, failed parts are restarted, and statistics are refreshed
// once a second. Everything runs on the thread that created the component.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "base/classes.h"
#include "download/downloadstate.h"
#include "http/httpcli.h"
#include "net/netwndcontrol.h"
#include "net/nettimer.h"

using TRequestDoneEvent =
    std::function<void(TObject* Sender, int32_t ErrorCode, const std::string& Reason)>;
using TProgressAddSegmentEvent =
    std::function<void(TObject* Sender, int64_t StartOffset, int64_t ASpan, int64_t InitPos)>;
using TProgressSetPositionEvent =
    std::function<void(TObject* Sender, int32_t Index, int64_t Position)>;
using TDisplayEvent = std::function<void(TObject* Sender, const std::string& Msg)>;

// End codes of the downloader's own. HTTP statuses and socket error codes are reported
// as they are; these stay clear of both (and of 200, which means success).
// The first response announced no usable length, so the document cannot be split.
constexpr int32_t mperrNoLength = 2;
// A part kept failing with neither an error code nor an error status to report (a
// server that answers ranges with 200, or short answers that bring nothing).
constexpr int32_t mperrPartFailed = 4;

// The first response announced a length the parts cannot lay out safely.
constexpr int32_t mperrTooLong = 5;
// The document is not as long as ExpectedLength says, or a range answer of such a document
// brought more bytes than its range holds.
constexpr int32_t mperrLength = 6;
// The document changed while it was fetched, again and again.
constexpr int32_t mperrChanged = 7;
// Times a download starts afresh because the document changed, before it gives up.
constexpr int kMaxDocumentRestarts = 3;
// The longest document the parts take: offsets, range ends and their sums stay far from
// the 64-bit limit.
constexpr int64_t kMaxDocumentLength = int64_t{1} << 62;

// Consecutive attempts of one part that bring no new byte before the whole download
// gives up.
constexpr int kMaxPartFailures = 5;

// One part's client with its range and progress.
class TMyHttpCli : public THttpCli {
 public:
  using THttpCli::THttpCli;
  const char* ClassName() const override { return "TMyHttpCli"; }

  int64_t DataCount = 0;    // body bytes of the current attempt written to the stream
  int64_t StartOffset = 0;  // first byte of the range
  int64_t EndOffset = 0;    // last byte requested (sent as the range end)
  int32_t Index = 0;        // part number from 0
  bool Done = false;        // the part's request has ended
  int Failures = 0;         // consecutive attempts that did not complete the part
  int64_t ResumedAt = 0;    // DataCount when the current attempt began: an attempt makes
                            // progress only by bringing bytes past it
  bool OtherRange = false;  // the current answer names other bytes than were asked for
  bool Changed = false;     // the current answer is of another version of the document
  bool Stalled = false;     // the current attempt was aborted for receiving nothing
  bool Waiting = false;     // pausing before the next attempt
  uint32_t WaitUntil = 0;   // tick at which the pause ends
  uint32_t LastActivity = 0;  // tick of the attempt's start or of its last bytes
};

class TMultipartHttpDownloader : public TNetWndControl {
 public:
  explicit TMultipartHttpDownloader(TComponent* owner);
  ~TMultipartHttpDownloader() override;
  const char* ClassName() const override { return "TMultipartHttpDownloader"; }

  // ---- published settings, copied to every part client
  std::string URL;
  std::string Username;
  std::string Password;
  std::string Proxy;
  std::string ProxyPort;
  std::string SocksServer;
  std::string SocksPort;
  std::string SocksLevel;
  // https: extra trusted CAs (PEM) and verification, given to every part's connection.
  std::string TlsCaFile;
  bool TlsVerify = true;
  int32_t PartCount = 0;
  // When positive, the length the document must have (a signed release's): a first answer
  // announcing another ends the download with mperrLength before any range is asked for,
  // and so does a range answer with bytes past its range (without it they are dropped).
  int64_t ExpectedLength = 0;
  // The destination, written at absolute offsets. Freed (and set to nullptr) by the
  // downloader on success only; on failure the owner frees it.
  TStream* FileStream = nullptr;
  THttpAuthType ServerAuth = httpAuthNone;
  THttpAuthType ProxyAuth = httpAuthNone;  // stored only
  // A part's next attempt after a failure that brought nothing waits RetryDelayMs,
  // doubled for every such failure in a row up to MaxRetryDelayMs, so that many clients
  // do not hammer a struggling server. A 503 or 429 with Retry-After is waited for as
  // the server asks, up to MaxRetryAfterMs.
  uint32_t RetryDelayMs = 1000;
  uint32_t MaxRetryDelayMs = 8000;
  uint32_t MaxRetryAfterMs = 60000;
  // A request that receives nothing for this long is aborted (a part is then resumed).
  uint32_t StallTimeoutMs = 30000;
  // The version of the document being fetched: the probe's ETag, else its Last-Modified.
  // Range requests carry it in If-Range, so that a changed document is answered whole.
  const std::string& Validator() const { return validator_; }
  // A small file beside the package that lets the next run fetch only what is missing:
  // the document (URL, length, validator) and each part's range and the bytes it holds.
  // Written about once a second, after the package's data is on the disk, and when the
  // download fails or is dropped; removed when it completes. A state that matches the
  // next download (same URL, length and validator, the stream at least as long as the
  // held bytes) takes up where it stands; anything else starts afresh, emptying the
  // stream first. Empty (the default): no state is kept and the stream is left alone.
  const std::string& StateFileName() const { return stateFileName_; }
  // A name without a directory part is taken as relative to the current one.
  void SetStateFileName(const std::string& value);

  TDisplayEvent OnDisplay;
  TRequestDoneEvent OnRequestDone;
  TProgressAddSegmentEvent OnProgressAddSegment;
  TProgressSetPositionEvent OnProgressSetPosition;
  TNotifyEvent OnShowStats;

  // ---- statistics, refreshed before every OnShowStats
  int64_t ContentLength = 0;  // from the first 200 response; not positive: unknown
  int64_t TotalCount = 0;     // body bytes of all attempts since Start
  double PercentDone = 0;     // TotalCount * 100 / ContentLength (may pass 100 after restarts)
  double CurSpeed = 0;        // kilobits per second; the whole download's average at the end
  TDateTime ElapsedTime = 0;  // since Start

  // Begins a download; the end comes through OnRequestDone. ERangeError "PartCount must
  // be positive" when PartCount < 1.
  void Start();
  // Ends a running download without an end event (its owner is going away): the parts
  // stop, and with a StateFileName the state is kept for the next run. The stream stays
  // the owner's.
  void Abandon();
  // The part clients of the running or last download (for inspection).
  const std::vector<TMyHttpCli*>& Parts() const { return parts_; }

 protected:
  virtual void TriggerShowStats();
  virtual void TriggerProgressSetPosition(int32_t index, int64_t position);
  virtual void TriggerProgressAddSegment(int64_t startOffset, int64_t span, int64_t initPos);
  void Display(const std::string& msg);

  int MessageIdsNeeded() override;
  void ClaimMessageIds() override;
  void ReturnMessageIds() override;
  void WindowProc(TMessage& msg) override;

  // The statistics sample, run by StatsTimer and once at the end.
  void StatsTick(TObject* sender);

  TNetTimer* StatsTimer = nullptr;
  // Ends pauses and notices stalled requests.
  TNetTimer* WatchTimer = nullptr;
  int64_t PrevCount = 0;
  uint32_t PrevTick = 0;
  TDateTime StartTime = 0;
  platform::UINT StartMsg = 0;

 private:
  void FreeParts();
  TMyHttpCli* NewPart();
  void FirstHeaderEnd(TObject* sender);
  void FirstRequestDone(TObject* sender, THttpRequest rqType, uint16_t errCode);
  void StartParts();
  void PartHeaderEnd(TObject* sender);
  void PartDocData(TObject* sender, const void* buffer, int len);
  void PartLocationChange(TObject* sender);
  void PartRequestDone(TObject* sender, THttpRequest rqType, uint16_t errCode);
  // Starts the download afresh: the document is not the one the parts were fetching.
  void RestartDocument();
  // Asks for the rest of a part's range, where its data stands now, after a pause of
  // delayMs (0: at once).
  void ResumePart(TMyHttpCli* part, uint32_t delayMs = 0);
  void SendPart(TMyHttpCli* part);
  // The pause before the next attempt of a part that failed without progress.
  uint32_t RetryDelay(const TMyHttpCli* part) const;
  void WatchTick();
  void Probe();
  // The state file's content when it describes the document the probe found.
  bool LoadMatchingState(TDownloadState& state);
  void SaveState();
  void StopEverything();
  static void Silence(TMyHttpCli* part);
  void DropState();
  void CopySettings(TMyHttpCli* part);
  // Counts a failed attempt; false (and the download ended) once the part has failed
  // too often in a row.
  bool CountFailure(TMyHttpCli* part, int32_t errorCode, const std::string& reason);
  void CheckAllDone(int32_t errorCode, const std::string& reason);
  // Ends the download with an error: the parts are silenced and stopped, the stream is
  // left to the owner.
  void Fail(int32_t errorCode, const std::string& reason);
  // One past the last byte a part still has to receive.
  int64_t PartEnd(const TMyHttpCli* part) const;
  void FireRequestDone(int32_t errorCode, const std::string& reason);

  std::vector<TMyHttpCli*> parts_;
  std::string stateFileName_;
  std::string validator_;
  bool validatorIsETag_ = false;
  int restarts_ = 0;  // RestartDocument calls of this download
  bool startPending_ = false;  // the probe has learnt the length; StartMsg is on its way
  bool probePending_ = false;  // the document changed; StartMsg probes it again
  bool running_ = false;       // between Start and the end of the download
  int32_t partCount_ = 0;      // PartCount as Start saw it
};
