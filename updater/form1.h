// The updater's window: one second after it is shown it presses its start button; once a
// package has been unpacked, its never-visible second button installs it.
#pragma once

#include <string>

#include "gui/button.h"
#include "gui/form.h"
#include "gui/label.h"
#include "gui/progressbar.h"
#include "gui/timer.h"
#include "updater/updatefiles.h"

class TForm1 : public TForm {
 public:
  explicit TForm1(TComponent* owner);
  const char* ClassName() const override { return "TForm1"; }

  TProgressBar* ProgressBar1;
  TButton* Button1;
  TTimer* Timer1;
  TButton* Button2;
  TLabel* Label1;

  // The installation the window works on, and the running program, which may be listed
  // in a package but cannot be waited for. Both come from the executable's own path.
  TUpdatePlaces Places;
  std::string ExeName;

  void FormShow(TObject* Sender);
  void Timer1Timer(TObject* Sender);
  void Button1Click(TObject* Sender);
  void Button2Click(TObject* Sender);

 private:
  void InstallFile(TPackageManifest& manifest, TUpdateRecord& record, const std::string& key);
  // Asks the user to close whatever keeps the target until it is gone or the user gives up.
  void WaitUntilReleased(const std::string& target);
};

extern TForm1* Form1;
