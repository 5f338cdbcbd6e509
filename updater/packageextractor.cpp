#include "updater/packageextractor.h"

#include <atomic>

#include "base/sysutils.h"
#include "gui/application.h"
#include "platform/messages.h"
#include "updater/extract_package.h"

namespace {

constexpr platform::UINT WM_EXTRACT_PROGRESS = platform::WM_USER + 1;
constexpr platform::UINT WM_EXTRACT_DONE = platform::WM_USER + 2;

}  // namespace

// What the worker and the owner's thread both touch. error is written by the worker
// before it ends and read after the join, which orders the two.
struct TPackageExtractor::TShared {
  std::atomic<uint64_t> done{0};
  std::atomic<uint64_t> total{0};
  // At most one progress message waits in the queue: the library reports far more often
  // than a window can show.
  std::atomic<bool> progressPosted{false};
  std::atomic<bool> cancelled{false};
  std::exception_ptr error;
};

TPackageExtractor::TPackageExtractor(TComponent* owner) : TComponent(owner) {
  sink_ = platform::CreateSink(&TPackageExtractor::SinkProc);
  platform::SetSinkData(sink_, reinterpret_cast<platform::LPARAM>(this));
}

TPackageExtractor::~TPackageExtractor() {
  Cancel();
  platform::JoinThread(thread_);
  platform::DestroySink(sink_);
}

void TPackageExtractor::Start(const std::string& archivePath, const std::string& destination) {
  if (thread_ != 0) throw EInvalidOperation("An extraction is running already");
  auto shared = std::make_shared<TShared>();
  const platform::HWND sink = sink_;
  auto work = [shared, sink, archivePath, destination] {
    try {
      ExtractPackage(archivePath, destination, [shared, sink](uint64_t done, uint64_t total) {
        shared->done = done;
        shared->total = total;
        if (!shared->progressPosted.exchange(true)) platform::PostMessage(sink, WM_EXTRACT_PROGRESS, 0, 0);
        return !shared->cancelled.load();
      });
    } catch (...) {
      shared->error = std::current_exception();
    }
  };
  thread_ = platform::StartThread(work, sink_, WM_EXTRACT_DONE, 0, 0);
  if (thread_ == 0) throw Exception(SysErrorMessage(platform::GetLastError()));
  shared_ = shared;
}

void TPackageExtractor::Cancel() {
  if (shared_) shared_->cancelled = true;
}

void TPackageExtractor::Progress() {
  if (!shared_) return;
  shared_->progressPosted = false;
  const int64_t done = static_cast<int64_t>(shared_->done.load());
  const int64_t total = static_cast<int64_t>(shared_->total.load());
  if (OnProgress) OnProgress(this, done, total);
}

void TPackageExtractor::Done() {
  if (thread_ == 0) return;
  platform::JoinThread(thread_);
  thread_ = 0;
  std::shared_ptr<TShared> shared = std::move(shared_);
  if (OnDone) OnDone(this, shared->error);
}

platform::LRESULT TPackageExtractor::SinkProc(platform::HWND hwnd, platform::UINT msg, platform::WPARAM wParam,
                                              platform::LPARAM lParam) {
  auto* self = reinterpret_cast<TPackageExtractor*>(platform::GetSinkData(hwnd));
  if (self && msg == WM_EXTRACT_PROGRESS) {
    RunHandler(self, [self] { self->Progress(); });
    return 0;
  }
  if (self && msg == WM_EXTRACT_DONE) {
    RunHandler(self, [self] { self->Done(); });
    return 0;
  }
  return platform::DefWindowProc(hwnd, msg, wParam, lParam);
}
