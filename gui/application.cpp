#include "gui/application.h"

#include "base/appstate.h"
#include "base/sysutils.h"
#include "gui/backend.h"
#include "platform/messages.h"
#include "platform/process.h"

TApplication* Application = nullptr;

namespace {
constexpr platform::UINT WM_RELEASE_FORM = platform::WM_USER + 1;
}

TApplication::TApplication() : TApplication(nullptr) {}

TApplication::TApplication(std::unique_ptr<TGuiBackend> backend)
    : TComponent(nullptr), backend_(std::move(backend)) {
  if (Application) throw EInvalidOperation("An application object exists already");
  Application = this;
  title_ = ChangeFileExt(ExtractFileName(platform::GetModuleFileName()), "");
  sink_ = platform::CreateSink(&TApplication::SinkProc);
  platform::SetSinkData(sink_, reinterpret_cast<platform::LPARAM>(this));
  SetApplicationTerminating(false);
}

TApplication::~TApplication() {
  // Forms and their peers go while the backend is still there.
  DestroyComponents();
  // The quit message Terminate posted belongs to this application.
  platform::MSG msg;
  while (platform::PeekMessage(&msg, 0, platform::WM_QUIT, platform::WM_QUIT, platform::PM_REMOVE)) {
  }
  platform::DestroySink(sink_);
  backend_.reset();
  Application = nullptr;
}

void TApplication::Initialize() { Backend(); }

TGuiBackend* TApplication::Backend() {
  if (!backend_) backend_ = CreateDefaultBackend();
  return backend_.get();
}

void TApplication::Run() {
  Backend();
  if (!mainForm_) return;
  mainForm_->Show();
  while (!terminated_) {
    try {
      HandleMessage();
    } catch (...) {
      HandleException(this);
    }
  }
}

void TApplication::HandleMessage() {
  platform::MSG msg;
  if (!platform::GetMessage(&msg, 0, 0, 0)) {
    MarkTerminated();
    return;
  }
  platform::DispatchMessage(&msg);
}

void TApplication::ProcessMessages() {
  platform::MSG msg;
  while (platform::PeekMessage(&msg, 0, 0, 0, platform::PM_REMOVE)) {
    if (msg.message == platform::WM_QUIT) {
      MarkTerminated();
      continue;
    }
    platform::DispatchMessage(&msg);
  }
  Backend()->Flush();
}

bool TApplication::ModalLoop(const std::function<bool()>& done) {
  while (!done()) {
    platform::MSG msg;
    if (!platform::GetMessage(&msg, 0, 0, 0)) {
      MarkTerminated();
      return false;
    }
    platform::DispatchMessage(&msg);
  }
  return true;
}

void TApplication::Terminate() {
  if (terminated_) return;
  MarkTerminated();
  platform::PostQuitMessage(0);
}

void TApplication::MarkTerminated() {
  terminated_ = true;
  SetApplicationTerminating(true);
}

void TApplication::HandleException(TObject*, std::exception_ptr error) {
  if (!error) return;
  std::string text;
  try {
    std::rethrow_exception(error);
  } catch (const Exception& e) {
    text = e.Message();
  } catch (const std::exception& e) {
    text = e.what();
  } catch (...) {
    text = "Unknown exception";
  }
  ShowException(text);
}

void TApplication::ShowException(const std::string& message) {
  Backend()->ShowError(title_, message);
}

void TApplication::ReleaseForm(TForm* form) {
  if (releasing_.insert(form).second) {
    platform::PostMessage(sink_, WM_RELEASE_FORM, 0, reinterpret_cast<platform::LPARAM>(form));
  }
}

void TApplication::FormDestroyed(TForm* form) {
  if (mainForm_ == form) mainForm_ = nullptr;
  releasing_.erase(form);
}

platform::LRESULT TApplication::SinkProc(platform::HWND hwnd, platform::UINT msg,
                                         platform::WPARAM wParam, platform::LPARAM lParam) {
  auto* app = reinterpret_cast<TApplication*>(platform::GetSinkData(hwnd));
  if (app && msg == WM_RELEASE_FORM) {
    auto* form = reinterpret_cast<TForm*>(lParam);
    // A form destroyed meanwhile has left the set.
    if (app->releasing_.count(form)) delete form;
    return 0;
  }
  return platform::DefWindowProc(hwnd, msg, wParam, lParam);
}

void RunHandler(TObject* Sender, const std::function<void()>& handler) {
  try {
    handler();
  } catch (...) {
    if (!Application) throw;
    Application->HandleException(Sender);
  }
}
