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
// The longest document the parts take: offsets, range ends and their sums stay far from
// the 64-bit limit.
constexpr int64_t kMaxDocumentLength = int64_t{1} << 62;

// Consecutive failed attempts of one part before the whole download gives up.
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
  int64_t ResumedAt = 0;    // DataCount when the current attempt began
  // The most of the range any attempt has held: an attempt makes progress only by going
  // past it, so a server that sends the same bytes again and again cannot keep a part
  // going for ever.
  int64_t Reached = 0;
  bool OtherRange = false;  // the current answer names other bytes than were asked for
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
  void RestartPart(TMyHttpCli* part);
  // Asks for the rest of a part's range, where its data stands now.
  void ResumePart(TMyHttpCli* part);
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
  bool startPending_ = false;  // the probe has learnt the length; StartMsg is on its way
  bool running_ = false;       // between Start and the end of the download
  int32_t partCount_ = 0;      // PartCount as Start saw it
};
