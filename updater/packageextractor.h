// Unpacks the update package while the window's message loop keeps running: the
// blocking extraction runs on a worker thread of the platform, and its progress and its
// end come back to the owner's thread as messages, fired there as events.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>

#include "base/classes.h"
#include "platform/types.h"
#include "platform/workerthread.h"

class TPackageExtractor : public TComponent {
 public:
  explicit TPackageExtractor(TComponent* owner);
  // A running extraction is stopped and waited for: nothing of it outlives the owner.
  ~TPackageExtractor() override;
  const char* ClassName() const override { return "TPackageExtractor"; }

  // Starts unpacking every item of the 7z archive below destination (as ExtractPackage
  // does) and returns at once. Raises when one is running or no thread can be started.
  void Start(const std::string& archivePath, const std::string& destination);
  // Asks a running extraction to stop; OnDone then reports an error.
  void Cancel();
  bool Running() const { return thread_ != 0; }

  // Bytes unpacked so far and in all; fired from the owner's loop, the latest values
  // only when several reports arrive before the loop comes round.
  std::function<void(TObject* Sender, int64_t done, int64_t total)> OnProgress;
  // Once per Start: error empty when everything was unpacked, otherwise what
  // ExtractPackage raised. No extraction is running any more when it fires.
  std::function<void(TObject* Sender, std::exception_ptr error)> OnDone;

 private:
  struct TShared;
  static platform::LRESULT SinkProc(platform::HWND hwnd, platform::UINT msg, platform::WPARAM wParam,
                                    platform::LPARAM lParam);
  void Progress();
  void Done();

  std::shared_ptr<TShared> shared_;
  platform::HWND sink_ = 0;
  platform::THREAD thread_ = 0;
};
