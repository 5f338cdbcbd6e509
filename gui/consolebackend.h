// The backend for running without a display: every visible event is one UTF-8 line on
// standard output, flushed at once, in these forms:
//   window: <caption>             a form is shown
//   label <Name>: <text>          a shown label's caption changes
//   button <Name>: <text>         a shown button's caption changes
//   message: <text>               a simple message box (answered at once)
//   error: <text>                 the application-wide error report
//   dialog: <text> -> <answer>    a message dialog with choices
//   closed: <caption>             a form closes
// Progress bars, panels and shapes print nothing. A dialog with choices reads one line
// from standard input - a button caption, with or without its "&", or its mnemonic
// letter - while the message loop keeps running; at the end of input it takes the
// dialog's safe answer. Line breaks inside a text are written as blanks.
#pragma once

#include <functional>
#include <string>

#include "gui/backend.h"
#include "platform/console.h"
#include "platform/messages.h"
#include "platform/types.h"

class TConsoleBackend : public TGuiBackend {
 public:
  using TLineWriter = std::function<void(const std::string& line)>;
  // Lines go to the writer (standard output when none); answers come from inputFd.
  explicit TConsoleBackend(platform::INPUT_HANDLE input = platform::GetStdInput(), TLineWriter writer = nullptr);
  ~TConsoleBackend() override;

  bool IsConsole() const override { return true; }
  std::unique_ptr<TControlPeer> CreatePeer(TControl* control) override;
  void MeasureText(const TFont& font, const std::string& text, int& width, int& height) override;
  void ShowMessage(const std::string& title, const std::string& text) override;
  void ShowError(const std::string& title, const std::string& text) override;
  int ShowDialog(const TMsgDlgParams& params, const std::string& title) override;

  void WriteLine(const std::string& line);

 private:
  static platform::LRESULT SinkProc(platform::HWND hwnd, platform::UINT msg, platform::WPARAM wParam,
                                    platform::LPARAM lParam);
  void ReadAnswers();
  bool TakeLine(std::string& line);
  static int MatchAnswer(const TMsgDlgParams& params, const std::string& line);

  platform::INPUT_HANDLE input_;
  TLineWriter writer_;
  std::string pending_;
  bool eof_ = false;
  int listening_ = 0;
  platform::HWND sink_ = 0;
};
