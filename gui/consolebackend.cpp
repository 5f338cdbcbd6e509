#include "gui/consolebackend.h"

#include <algorithm>
#include <cctype>

#include "base/sysutils.h"
#include "gui/application.h"
#include "gui/button.h"
#include "gui/form.h"
#include "gui/label.h"

namespace {

class TConsolePeer : public TControlPeer {
 public:
  enum Kind { kForm, kLabel, kButton, kSilent };
  TConsolePeer(TConsoleBackend* backend, TControl* control, Kind kind)
      : backend_(backend), control_(control), kind_(kind) {}

  void Changed(TPeerChange what) override {
    switch (kind_) {
      case kForm:
        if (what == TPeerChange::Visible) {
          backend_->WriteLine((control_->Visible() ? "window: " : "closed: ") + control_->Caption());
        }
        break;
      case kLabel:
      case kButton:
        if (what == TPeerChange::Caption && control_->Showing()) {
          backend_->WriteLine((kind_ == kLabel ? "label " : "button ") + control_->Name + ": " +
                              control_->Caption());
        }
        break;
      case kSilent:
        break;
    }
  }

 private:
  TConsoleBackend* backend_;
  TControl* control_;
  Kind kind_;
};

constexpr size_t kReadChunk = 4096;
constexpr platform::UINT WM_CONSOLE_INPUT = platform::WM_USER + 0x51;

}  // namespace

TConsoleBackend::TConsoleBackend(platform::INPUT_HANDLE input, TLineWriter writer)
    : input_(input), writer_(std::move(writer)) {
  if (!writer_) writer_ = [](const std::string& line) { platform::WriteStdOut(line + "\n"); };
  // Input arrives here while a dialog's loop runs; the message also wakes that loop.
  sink_ = platform::CreateSink(&TConsoleBackend::SinkProc);
  platform::SetSinkData(sink_, reinterpret_cast<platform::LPARAM>(this));
}

TConsoleBackend::~TConsoleBackend() {
  if (listening_ > 0) platform::UnwatchInput(input_);
  platform::DestroySink(sink_);
}

std::unique_ptr<TControlPeer> TConsoleBackend::CreatePeer(TControl* control) {
  TConsolePeer::Kind kind = TConsolePeer::kSilent;
  if (dynamic_cast<TForm*>(control)) {
    kind = TConsolePeer::kForm;
  } else if (dynamic_cast<TLabel*>(control)) {
    kind = TConsolePeer::kLabel;
  } else if (dynamic_cast<TButton*>(control)) {
    kind = TConsolePeer::kButton;
  }
  return std::make_unique<TConsolePeer>(this, control, kind);
}

void TConsoleBackend::MeasureText(const TFont& font, const std::string& text, int& width, int& height) {
  // No renderer: half the font size for a single-byte character, the full size for
  // any other (CJK characters are square).
  int size = font.PixelSize();
  width = 0;
  for (unsigned char c : text) {
    if (c < 0x80) {
      width += (size + 1) / 2;
    } else if ((c & 0xC0) != 0x80) {
      width += size;
    }
  }
  height = size;
}

void TConsoleBackend::WriteLine(const std::string& line) {
  std::string flat;
  flat.reserve(line.size());
  for (size_t i = 0; i < line.size(); ++i) {
    if (line[i] == '\r' && i + 1 < line.size() && line[i + 1] == '\n') continue;
    flat += (line[i] == '\r' || line[i] == '\n') ? ' ' : line[i];
  }
  writer_(flat);
}

void TConsoleBackend::ShowMessage(const std::string&, const std::string& text) { WriteLine("message: " + text); }

void TConsoleBackend::ShowError(const std::string&, const std::string& text) { WriteLine("error: " + text); }

int TConsoleBackend::ShowDialog(const TMsgDlgParams& params, const std::string&) {
  int chosen = -1;
  auto answered = [&] {
    std::string line;
    while (chosen < 0 && TakeLine(line)) chosen = MatchAnswer(params, line);
    if (chosen < 0 && eof_) chosen = params.SafeButton;
    return chosen >= 0;
  };
  if (!answered()) {
    struct Listening {
      TConsoleBackend* self;
      explicit Listening(TConsoleBackend* b) : self(b) {
        if (self->listening_++ == 0) platform::WatchInput(self->input_, self->sink_, WM_CONSOLE_INPUT);
      }
      ~Listening() {
        if (--self->listening_ == 0) platform::UnwatchInput(self->input_);
      }
    } listening(this);
    if (!Application->ModalLoop(answered)) chosen = params.SafeButton;
  }
  const TMsgDlgButton& button = params.Buttons[chosen];
  WriteLine("dialog: " + params.Text + " -> " + button.Caption);
  return button.Result;
}

bool TConsoleBackend::TakeLine(std::string& line) {
  size_t end = pending_.find('\n');
  if (end == std::string::npos) {
    // An unterminated last line still counts at the end of input.
    if (!eof_ || pending_.empty()) return false;
    end = pending_.size();
  }
  line = pending_.substr(0, end);
  pending_.erase(0, end + 1);
  return true;
}

int TConsoleBackend::MatchAnswer(const TMsgDlgParams& params, const std::string& line) {
  std::string answer = Trim(line);
  if (answer.empty()) return -1;
  const auto& buttons = params.Buttons;
  for (size_t i = 0; i < buttons.size(); ++i) {
    if (answer == buttons[i].Caption || answer == StripMnemonic(buttons[i].Caption)) return static_cast<int>(i);
  }
  for (size_t i = 0; i < buttons.size(); ++i) {
    if (SameText(answer, buttons[i].Caption) || SameText(answer, StripMnemonic(buttons[i].Caption))) {
      return static_cast<int>(i);
    }
  }
  if (answer.size() == 1) {
    for (size_t i = 0; i < buttons.size(); ++i) {
      char mnemonic = MnemonicChar(buttons[i].Caption);
      if (mnemonic && std::toupper(static_cast<unsigned char>(mnemonic)) ==
                          std::toupper(static_cast<unsigned char>(answer[0]))) {
        return static_cast<int>(i);
      }
    }
  }
  return -1;
}

platform::LRESULT TConsoleBackend::SinkProc(platform::HWND hwnd, platform::UINT msg, platform::WPARAM wParam,
                                           platform::LPARAM lParam) {
  auto* self = reinterpret_cast<TConsoleBackend*>(platform::GetSinkData(hwnd));
  if (self && msg == WM_CONSOLE_INPUT) {
    self->ReadAnswers();
    return 0;
  }
  return platform::DefWindowProc(hwnd, msg, wParam, lParam);
}

void TConsoleBackend::ReadAnswers() {
  if (eof_ || listening_ == 0) return;
  size_t old = pending_.size();
  pending_.resize(old + kReadChunk);
  int64_t got = platform::ReadInput(input_, &pending_[old], kReadChunk);
  pending_.resize(old + static_cast<size_t>(std::max<int64_t>(got, 0)));
  if (got <= 0) {
    eof_ = true;  // a read error ends the input as well
    platform::UnwatchInput(input_);
  }
}
