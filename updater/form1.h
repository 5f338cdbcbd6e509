// The updater's window: one second after it is shown it presses its start button, which
// asks the update server for the release date and downloads a newer package in two
// parts; once the package has been unpacked, its never-visible second button installs it.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "download/multiparthttpdownloader.h"
#include "download/multiprogressbar.h"
#include "gui/button.h"
#include "gui/form.h"
#include "gui/label.h"
#include "gui/progressbar.h"
#include "gui/timer.h"
#include "updater/installjournal.h"
#include "updater/packageextractor.h"
#include "signing/releasestatement.h"
#include "updater/updatefiles.h"

class TForm1 : public TForm {
 public:
  explicit TForm1(TComponent* owner);
  ~TForm1() override;
  const char* ClassName() const override { return "TForm1"; }

  TProgressBar* ProgressBar1;
  TButton* Button1;
  TTimer* Timer1;
  TButton* Button2;
  TLabel* Label1;
  TMultipartHttpDownloader* MPHttp;
  TMultiProgressBar* MPBar;
  // Unpacks the downloaded package while the window stays alive.
  TPackageExtractor* Unpacker;

  // The update server (an http or https URL ending in '/'), fixed at build time.
  std::string BaseUrl;
  // The vendor's Ed25519 public key (its text form), fixed at build time. With one, only
  // releases it signed are installed; empty, releases are taken as they come.
  std::string PublicKey;
  // The installation the window works on, and the running program, which may be listed
  // in a package but cannot be waited for. Both come from the executable's own path.
  TUpdatePlaces Places;
  std::string ExeName;

  void FormShow(TObject* Sender);
  void Timer1Timer(TObject* Sender);
  void Button1Click(TObject* Sender);
  void Button2Click(TObject* Sender);
  void MPHttpProgressAddSegment(TObject* Sender, int64_t StartOffset, int64_t ASpan, int64_t InitPos);
  void MPHttpProgressSetPosition(TObject* Sender, int32_t Index, int64_t Position);
  void MPHttpShowStats(TObject* Sender);
  void MPHttpRequestDone(TObject* Sender, int32_t ErrorCode, const std::string& Reason);
  void UnpackerProgress(TObject* Sender, int64_t Done, int64_t Total);
  void UnpackerDone(TObject* Sender, std::exception_ptr Error);

  // The statistics line under the bar.
  static std::string StatsLine(int64_t totalCount, double percentDone, double curSpeed,
                               TDateTime elapsedTime);
  // A check, a download or an unpacking is under way: the start button does nothing then.
  bool Busy() const { return busy_; }
  // Test hook: runs at each step of an installation (journal written, file in place,
  // date recorded, ...) with the step's number from 1, so that a test can cut the
  // installation off there.
  std::function<void(int step)> OnInstallStep;

 private:
  void Install();
  // What the installation does with one key of the manifest, read once before it starts.
  struct TPlannedFile {
    bool recordable = false;
    bool install = false;
    std::string target;  // relative, as the manifest names it
    std::string date;    // the date to record, as written
  };
  // The dates to record and the files put in place, both written out once at the end.
  struct TInstalled {
    std::vector<std::pair<std::string, std::string>> dates;
    std::vector<std::string> placed;
  };
  bool WillInstall(const TPackageFiles& files, const TRecordedFileDates& recorded, const std::string& key) const;
  void InstallFile(const std::string& key, int index, const TPlannedFile& plan, TInstalled& installed);
  void PutInPlace(const std::string& source, const std::string& target);
  // Deletes an installed file once its old version is kept as backup number index.
  void RemoveKeepingBackup(const std::string& target, int index);
  // Asks the user to close whatever keeps the target until it is gone or the user gives up.
  void WaitUntilReleased(const std::string& target, int index);
  // The journal and the record's backup; false (with the reason) when they cannot be
  // written, and then nothing is left of them.
  bool BeginInstallation(const TInstallJournal& journal, std::string* why);
  void EndInstallation();
  void RemoveBackups();
  // Undoes an installation that was cut off; false when it cannot be (it says why).
  bool RecoverInstallation();
  void InstallStep();
  void StartDownload(const std::string& category);
  // A refused release: said so, the package file (when one was fetched) removed, and a
  // new check possible.
  void Refuse(signing::TRefusal refusal, signing::TStatementError parseError, bool removePackage);

  bool busy_ = false;
  int installSteps_ = 0;
  // The verified statement of the release being fetched (with a key only).
  std::optional<signing::TReleaseStatement> statement_;
};

extern TForm1* Form1;
