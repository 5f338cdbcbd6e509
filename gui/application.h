// The application object: title, forms, the message loop, termination and the
// application-wide error report.
#pragma once

#include <exception>
#include <functional>
#include <memory>
#include <set>
#include <string>

#include "base/classes.h"
#include "gui/form.h"
#include "platform/types.h"

class TGuiBackend;

class TApplication : public TComponent {
 public:
  // Without a backend one is chosen on first need: FLTK when a display can be opened,
  // the console otherwise. One application object exists at a time.
  TApplication();
  explicit TApplication(std::unique_ptr<TGuiBackend> backend);
  ~TApplication() override;
  const char* ClassName() const override { return "TApplication"; }

  void Initialize();
  // Default: the executable's file name without its extension.
  const std::string& Title() const { return title_; }
  void SetTitle(const std::string& title) { title_ = title; }

  // The first form created is the main form; closing it ends Run.
  template <class T>
  void CreateForm(T*& reference) {
    T* form = new T(this);
    reference = form;
    if (!mainForm_) mainForm_ = form;
    form->DoCreate();
  }
  TForm* MainForm() const { return mainForm_; }

  // Shows the main form and runs the message loop until the application terminates.
  void Run();
  // Waits for one message and dispatches it.
  void HandleMessage();
  // Dispatches every message that is pending now, then draws.
  void ProcessMessages();
  // Runs a nested loop until done() holds (modal boxes). False when the application
  // quit meanwhile.
  bool ModalLoop(const std::function<bool()>& done);
  void Terminate();
  bool Terminated() const { return terminated_; }

  // The application-wide error report: a box with a stop icon, the title as caption
  // and the error's text; the loop carries on. Pass the caught exception (inside a
  // catch block the current one is taken).
  void HandleException(TObject* Sender, std::exception_ptr error = std::current_exception());
  void ShowException(const std::string& message);

  TGuiBackend* Backend();

  // Framework side.
  void ReleaseForm(TForm* form);
  void FormDestroyed(TForm* form);

 private:
  static platform::LRESULT SinkProc(platform::HWND hwnd, platform::UINT msg,
                                    platform::WPARAM wParam, platform::LPARAM lParam);
  void MarkTerminated();

  std::unique_ptr<TGuiBackend> backend_;
  std::string title_;
  TForm* mainForm_ = nullptr;
  bool terminated_ = false;
  platform::HWND sink_ = 0;
  std::set<TForm*> releasing_;
};

extern TApplication* Application;

// Runs a handler of a visible window (a button, a timer, showing a form): an error
// escaping it goes to the application-wide error report.
void RunHandler(TObject* Sender, const std::function<void()>& handler);
