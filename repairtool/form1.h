// The repair tool's window: names the running Windows version, counts down on its
// button, then copies the component files of the matching set into the shared system
// folders and registers each of them.
#pragma once

#include <cstdint>
#include <string>

#include "gui/button.h"
#include "gui/form.h"
#include "gui/label.h"
#include "gui/progressbar.h"
#include "gui/timer.h"
#include "platform/types.h"

class TForm1 : public TForm {
 public:
  explicit TForm1(TComponent* owner);
  const char* ClassName() const override { return "TForm1"; }

  TButton* Button1;
  TProgressBar* ProgressBar1;
  TLabel* Label1;
  TTimer* Timer1;
  TTimer* Timer2;

  void FormCreate(TObject* Sender);
  void FormShow(TObject* Sender);
  void Timer1Timer(TObject* Sender);
  void Timer2Timer(TObject* Sender);
  void Button1Click(TObject* Sender);
};

extern TForm1* Form1;
// Seconds shown on the button; 4 when the window is created, the first tick shows 3.
extern int32_t Countdown;

// The short name of the running Windows version: "XP", "W7", ...; "??" on a system
// outside the three Windows families.
std::string NameWindowsVersion();
std::string NameWindowsVersion(platform::DWORD platformId, platform::DWORD major, platform::DWORD minor);
