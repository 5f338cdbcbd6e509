// The interface between the framework and a backend (FLTK under X11, or the console).
// Window code never sees it.
#pragma once

#include <memory>
#include <string>

#include "gui/control.h"
#include "gui/dialogs.h"

// A control's counterpart in the backend. It reads the control's state when it is
// created and again for every change it is told about.
class TControlPeer {
 public:
  virtual ~TControlPeer() = default;
  virtual void Changed(TPeerChange what) = 0;
};

class TGuiBackend {
 public:
  virtual ~TGuiBackend() = default;
  virtual bool IsConsole() const = 0;
  virtual std::unique_ptr<TControlPeer> CreatePeer(TControl* control) = 0;
  // The size a text takes in a font (a label's auto-size).
  virtual void MeasureText(const TFont& font, const std::string& text, int& width, int& height) = 0;
  // Modal boxes; `title` is the caption of the box.
  virtual void ShowMessage(const std::string& title, const std::string& text) = 0;
  virtual void ShowError(const std::string& title, const std::string& text) = 0;
  virtual int ShowDialog(const TMsgDlgParams& params, const std::string& title) = 0;
  // Draws what is pending (processing messages once ends with it).
  virtual void Flush() {}
};

// The backend chosen at start: the native windows on Windows, FLTK elsewhere, when there
// is a desktop to draw on; the console otherwise.
std::unique_ptr<TGuiBackend> CreateDefaultBackend();
std::unique_ptr<TGuiBackend> CreateFltkBackend();   // nullptr without a display
std::unique_ptr<TGuiBackend> CreateWin32Backend();  // nullptr without a desktop
// The running application's backend; raises EInvalidOperation without an application.
TGuiBackend* GuiBackend();
