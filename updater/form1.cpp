#include "updater/form1.h"

#include <vector>

#include "base/sysutils.h"
#include "gui/application.h"
#include "gui/dialogs.h"
#include "platform/durablefile.h"
#include "platform/files.h"
#include "platform/process.h"
#include "updater/archive/itempath.h"
#include "updater/extract_package.h"
#include "updater/fetch_url_text.h"
#include "updater/installjournal.h"
#include "updater/signedrelease.h"

#ifndef UPDATER_BASE_URL
#error "UPDATER_BASE_URL names the update server; the build sets it"
#endif
#ifndef UPDATER_PUBLIC_KEY
#error "UPDATER_PUBLIC_KEY is the vendor's key, empty for none; the build sets it"
#endif

TForm1* Form1 = nullptr;

namespace {

// Pure blue in the 0x00BBGGRR layout.
constexpr TColor kSegmentColor = 0xFF0000;
constexpr int kPartCount = 2;

}  // namespace

TForm1::TForm1(TComponent* owner)
    : TForm(owner), BaseUrl(UPDATER_BASE_URL), PublicKey(UPDATER_PUBLIC_KEY), Places(AppDir()), ExeName(platform::GetModuleFileName()) {
  // A vendor with its own CA names its certificate file at build time.
  if (std::string(UPDATER_CA_FILE) != "") TCustomTlsWSocket::TlsDefaultCaFile = UPDATER_CA_FILE;
  SetCaption("鼎川软件自动更新程序");
  SetBounds(341, 254, 643, 200);
  SetBorderStyle(bsDialog);
  SetColor(clBtnFace);
  Font()->SetName("宋体");
  Font()->SetHeight(-12);
  Font()->SetCharset(ANSI_CHARSET);
  OnShow = [this](TObject* s) { FormShow(s); };

  ProgressBar1 = new TProgressBar(this);
  ProgressBar1->Name = "ProgressBar1";
  ProgressBar1->SetParent(this);
  ProgressBar1->SetBounds(16, 40, 609, 33);
  ProgressBar1->SetRange(0, 100);
  ProgressBar1->SetPosition(0);
  ProgressBar1->SetTabOrder(0);

  Button1 = new TButton(this);
  Button1->Name = "Button1";
  Button1->SetParent(this);
  Button1->SetBounds(512, 128, 89, 33);
  Button1->SetCaption("Button1");
  Button1->SetVisible(false);
  Button1->SetTabOrder(1);
  Button1->OnClick = [this](TObject* s) { Button1Click(s); };

  Timer1 = new TTimer(this);
  Timer1->Name = "Timer1";
  Timer1->SetEnabled(false);
  Timer1->SetInterval(1000);
  Timer1->OnTimer = [this](TObject* s) { Timer1Timer(s); };

  Button2 = new TButton(this);
  Button2->Name = "Button2";
  Button2->SetParent(this);
  Button2->SetBounds(232, 144, 97, 41);
  Button2->SetCaption("开始升级(&O)");
  Button2->SetTabOrder(2);
  Button2->OnClick = [this](TObject* s) { Button2Click(s); };

  Label1 = new TLabel(this);
  Label1->Name = "Label1";
  Label1->SetParent(this);
  Label1->SetLeft(16);
  Label1->SetTop(80);
  Label1->SetCaption("");
  Label1->Font()->SetName("宋体");
  Label1->Font()->SetHeight(-16);
  Label1->Font()->SetCharset(ANSI_CHARSET);

  MPHttp = new TMultipartHttpDownloader(this);
  MPHttp->Name = "MPHttp";
  MPHttp->PartCount = 0;
  MPHttp->ServerAuth = httpAuthNone;
  MPHttp->ProxyAuth = httpAuthNone;
  MPHttp->OnRequestDone = [this](TObject* s, int32_t code, const std::string& reason) {
    MPHttpRequestDone(s, code, reason);
  };
  MPHttp->OnProgressAddSegment = [this](TObject* s, int64_t start, int64_t span, int64_t init) {
    MPHttpProgressAddSegment(s, start, span, init);
  };
  MPHttp->OnProgressSetPosition = [this](TObject* s, int32_t index, int64_t position) {
    MPHttpProgressSetPosition(s, index, position);
  };
  MPHttp->OnShowStats = [this](TObject* s) { MPHttpShowStats(s); };

  // Over the same area as ProgressBar1; from the download on only one of them shows.
  MPBar = new TMultiProgressBar(this);
  MPBar->Name = "MPBar";
  MPBar->SetParent(this);
  MPBar->SetBounds(16, 36, 609, 37);

  Unpacker = new TPackageExtractor(this);
  Unpacker->Name = "Unpacker";
  Unpacker->OnProgress = [this](TObject* s, int64_t done, int64_t total) { UnpackerProgress(s, done, total); };
  Unpacker->OnDone = [this](TObject* s, std::exception_ptr error) { UnpackerDone(s, error); };
}

TForm1::~TForm1() {
  // Closed while unpacking: the extraction stops before the window goes, and nothing
  // has been installed yet; the next run unpacks the package again.
  Unpacker->OnDone = nullptr;
  Unpacker->Cancel();
  // Closed during a download: what is fetched stays for the next run, and the package
  // file is still the window's to release.
  MPHttp->Abandon();
  delete MPHttp->FileStream;
  MPHttp->FileStream = nullptr;
}

void TForm1::FormShow(TObject*) {
  // An installation cut off last time is undone before anything else; when it cannot be,
  // no new one may start on top of it.
  if (!RecoverInstallation()) return;
  Timer1->SetEnabled(true);
}

void TForm1::Timer1Timer(TObject*) { Button2->Click(); }

void TForm1::Button2Click(TObject*) {
  // Whoever presses first, the automatic check runs once.
  Timer1->SetEnabled(false);
  // A second check would re-create the package file the running download writes.
  if (busy_) return;
  // Never a new installation over one that could not be undone.
  if (platform::FileExists(Places.JournalFile()) && !RecoverInstallation()) return;
  busy_ = true;
  try {
    TUpdateRecord record(Places.RecordFile());
    record.WriteCheckDate(FormatDateTime("yyyymmdd", Now()));
    const std::string category = record.Category();
    const std::string serverDate = FetchUrlText(BaseUrl + category + ".html");
    if (serverDate == kFetchFailed) {
      ShowMessage("本软件不支持在这里在线升级");
      Close();
      return;
    }
    const double recorded = record.ReleaseDate();
    const double published = StrToFloat(serverDate);
    if (published > recorded) {
      statement_.reset();
      if (!PublicKey.empty()) {
        // Before the package is asked for: what the vendor did not sign is never fetched.
        signing::TReleaseStatement statement;
        signing::TStatementError parseError;
        const signing::TRefusal refusal =
            FetchStatement(BaseUrl, PublicKey, category, published, statement, parseError);
        if (refusal != signing::TRefusal::None) {
          Refuse(refusal, parseError, false);
          return;
        }
        statement_ = statement;
      }
      StartDownload(category);
      return;
    }
    ShowMessage("软件已经最新版本，无需升级,网上日期为" + serverDate + ",电脑软件日期为" +
                record.ReleaseDateText());
    Close();
  } catch (...) {
    busy_ = false;
    throw;
  }
}

void TForm1::StartDownload(const std::string& category) {
  MPBar->Clear();
  MPBar->SetVisible(true);
  ProgressBar1->SetVisible(false);
  MPHttp->URL = BaseUrl + category + ".7z";
  MPHttp->PartCount = kPartCount;
  // The signed length bounds the download: a server announcing another is not fetched from.
  MPHttp->ExpectedLength = statement_ ? statement_->length : 0;
  // With the state of an interrupted download beside it, the package file keeps what it
  // holds: the downloader takes up what matches and empties the file otherwise.
  MPHttp->SetStateFileName(Places.DownloadStateFile());
  const bool resumable = platform::FileExists(Places.DownloadStateFile()) && platform::FileExists(Places.PackageFile());
  MPHttp->FileStream = resumable ? new TFileStream(Places.PackageFile(), fmOpenReadWrite | fmShareExclusive)
                                 : new TFileStream(Places.PackageFile(), fmCreate);
  try {
    MPHttp->Start();
  } catch (const Exception& e) {
    delete MPHttp->FileStream;
    MPHttp->FileStream = nullptr;
    busy_ = false;
    ShowMessage("不能下载 " + std::string(e.ClassName()) + ": " + e.Message());
  }
}

void TForm1::Refuse(signing::TRefusal refusal, signing::TStatementError parseError, bool removePackage) {
  statement_.reset();
  if (removePackage) {
    platform::DeleteFile(Places.PackageFile());
    platform::DeleteFile(Places.DownloadStateFile());
  }
  busy_ = false;
  ShowMessage(RefusalMessage(refusal, parseError));
}

void TForm1::MPHttpProgressAddSegment(TObject*, int64_t StartOffset, int64_t ASpan, int64_t InitPos) {
  MPBar->AddSegment(kSegmentColor, StartOffset, ASpan, InitPos);
}

void TForm1::MPHttpProgressSetPosition(TObject*, int32_t Index, int64_t Position) {
  MPBar->SetPosition(Index, Position);
}

std::string TForm1::StatsLine(int64_t totalCount, double percentDone, double curSpeed,
                              TDateTime elapsedTime) {
  std::string speed = Format("%6.2f", curSpeed);
  if (DecimalSeparator != '.') speed = StringReplaceAll(speed, ".", std::string(1, DecimalSeparator));
  return "已下载: " + IntToStr(totalCount) + "   %: " + Format("%3.0f", percentDone) + "   网速Kbps: " + speed +
         "  用时: " + FormatDateTime("hh:nn:ss", elapsedTime);
}

void TForm1::MPHttpShowStats(TObject*) {
  Label1->SetCaption(StatsLine(MPHttp->TotalCount, MPHttp->PercentDone, MPHttp->CurSpeed, MPHttp->ElapsedTime));
}

void TForm1::MPHttpRequestDone(TObject*, int32_t ErrorCode, const std::string& Reason) {
  // The package file is closed before anything reads it.
  delete MPHttp->FileStream;
  MPHttp->FileStream = nullptr;
  if (statement_ && ErrorCode == mperrLength) {
    Refuse(signing::TRefusal::WrongLength, signing::TStatementError::None, true);
    return;
  }
  if (ErrorCode != 200) {
    ShowMessage("Finished, error #" + IntToStr(ErrorCode) + " " + Reason);
    busy_ = false;
    return;
  }
  try {
    // Nothing of a package is unpacked before it is known to be the signed one.
    if (statement_) {
      const signing::TRefusal refusal =
          CheckPackage(*statement_, Places.PackageFile(), ExtractFileDir(Places.PackageFile()));
      if (refusal != signing::TRefusal::None) {
        Refuse(refusal, signing::TStatementError::None, true);
        return;
      }
    }
  } catch (...) {
    busy_ = false;
    throw;
  }
  MPBar->SetVisible(false);
  ProgressBar1->SetVisible(true);
  try {
    Label1->SetCaption("正在解压文件");
    Application->ProcessMessages();
    // The bar shows the unpacking in percent until the installation takes it over.
    ProgressBar1->SetMax(100);
    ProgressBar1->SetPosition(0);
    // Until the installation ends no check may start: it would fetch over the package
    // being read.
    busy_ = true;
    Unpacker->Start(Places.PackageFile(), Places.UpdateDir());
  } catch (...) {
    // Nobody reports it here (the download's own error handling absorbs it); a fresh
    // check must stay possible.
    busy_ = false;
    throw;
  }
}

void TForm1::UnpackerProgress(TObject*, int64_t Done, int64_t Total) {
  if (Total > 0) ProgressBar1->SetPosition(static_cast<int>(Done * 100 / Total));
}

void TForm1::UnpackerDone(TObject*, std::exception_ptr Error) {
  // What follows the unpacking once ran inside the download's end event, whose error
  // handling absorbed anything raised: no message, the label stays, the window stays.
  // The same holds here, so that every outcome the user sees is unchanged.
  try {
    if (Error) std::rethrow_exception(Error);
    try {
      // A journal or backups can only have come out of the package here (a real one is
      // dealt with before any check): at the next start they would be taken for ours.
      platform::DeleteFile(Places.JournalFile());
      RemoveBackups();
    } catch (...) {
      busy_ = false;
      throw;
    }
    Label1->SetCaption("正在复制文件");
    Application->ProcessMessages();
    Button1->Click();
  } catch (...) {
    // Absorbed as described above; busy_ was cleared wherever a fresh check may follow.
    if (Error) busy_ = false;
  }
}

void TForm1::Button1Click(TObject*) {
  try {
    Install();
  } catch (...) {
    // The installation ended half-way (an INI write failed): the window stays, and a
    // fresh check must stay possible.
    busy_ = false;
    throw;
  }
}

namespace {

// A name from the manifest as the user can read it: control characters would break the
// message's line.
std::string Printable(const std::string& text) {
  std::string out = text;
  for (char& c : out)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  return out;
}

}  // namespace

void TForm1::Install() {
  Timer1->SetEnabled(false);
  TPackageManifest manifest(Places.ManifestFile());
  TUpdateRecord record(Places.RecordFile());
  // Read once: asked key by key, each answer would parse the whole file again.
  const TPackageFiles files(manifest);
  const TRecordedFileDates recorded(record);
  TStringList keys;
  files.ReadFileKeys(&keys);
  // What the record cannot take is left out before anything is installed: found half-way,
  // it would stop the installation with old and new files mixed.
  std::vector<TPlannedFile> plan(static_cast<size_t>(keys.Count()));
  std::string refused;
  for (int i = 0; i < keys.Count(); ++i) {
    TPlannedFile& p = plan[static_cast<size_t>(i)];
    p.date = files.FileDateText(keys[i]);
    p.recordable = TUpdateRecord::CanRecordFileDate(keys[i], p.date);
    if (!p.recordable) refused += (refused.empty() ? "" : ", ") + Printable(keys[i]);
  }
  const std::string releaseDate = manifest.ReleaseDate();
  const bool releaseRecordable = TUpdateRecord::CanRecordReleaseDate(releaseDate);
  if (!releaseRecordable) refused += (refused.empty() ? "" : ", ") + std::string("更新日期");
  if (!refused.empty()) ShowMessage("升级包清单中有无法记录的项目，已跳过: " + refused);

  // Everything this installation will change goes into the journal before the first file
  // is touched, so that a cut-off installation can be undone at the next start. What it
  // lists is exactly what is installed: the decision is taken once, here.
  TInstallJournal journal;
  journal.RecordExisted = platform::FileExists(Places.RecordFile());
  for (int i = 0; i < keys.Count(); ++i) {
    TPlannedFile& p = plan[static_cast<size_t>(i)];
    p.install = p.recordable && WillInstall(files, recorded, keys[i]);
    if (!p.install) continue;
    p.target = files.FileTarget(keys[i]);
    journal.Entries.push_back({p.target, platform::FileExists(Places.Installed(p.target)), i});
  }
  // Without the update directory the record cannot be written: the error its first
  // write would raise comes before anything is changed, not after.
  if (!platform::DirectoryExists(Places.UpdateDir()))
    throw EIniFileException(Format("写 %s 失败", Places.RecordFile().c_str()));
  std::string why;
  if (!BeginInstallation(journal, &why)) {
    busy_ = false;
    ShowMessage("安装未能开始，原有文件未改变: " + why);
    return;
  }
  InstallStep();
  TInstalled installed;
  if (keys.Count() > 0) {
    ProgressBar1->SetMax(keys.Count() - 1);
    ProgressBar1->SetPosition(0);
    for (int i = 0; i < keys.Count(); ++i) {
      ProgressBar1->SetPosition(i);
      const TPlannedFile& p = plan[static_cast<size_t>(i)];
      if (p.recordable)
        InstallFile(keys[i], i, p, installed);
      else if (IsSafeItemPath(keys[i]))
        platform::DeleteFile(Places.UnpackedFile(keys[i]));
    }
  }
  // Until the journal goes, a cut-off installation is undone from the backups, so neither
  // the new files' data nor the record need reach the disk file by file: the files are
  // flushed together, then the record is written once, before the journal is removed.
  platform::FlushFilesToDisk(installed.placed);
  InstallStep();
  record.WriteFileDates(installed.dates);
  InstallStep();
  if (releaseRecordable) record.WriteReleaseDate(releaseDate);
  InstallStep();
  EndInstallation();
  InstallStep();
  platform::WinExec(Places.Installed(manifest.Program()), platform::SW_SHOWNA);
  manifest.EraseFileList();
  Close();
}

bool TForm1::WillInstall(const TPackageFiles& files, const TRecordedFileDates& recorded, const std::string& key) const {
  // A key names a file of the package, and the package is unpacked only below the update
  // directory. A key that leads out of it ("..\x") names some other file, which must be
  // neither copied over the installation nor deleted.
  if (!IsSafeItemPath(key)) return false;
  const std::string target = Places.Installed(files.FileTarget(key));
  const bool wanted = files.FileDate(key) > recorded.FileDate(key) || !platform::FileExists(target);
  // The target goes before the copy: without its unpacked copy the installed file would
  // be lost, so such a file stays as it is and counts as not updated.
  return wanted && platform::FileExists(Places.UnpackedFile(key));
}

void TForm1::InstallFile(const std::string& key, int index, const TPlannedFile& plan, TInstalled& installed) {
  if (!IsSafeItemPath(key)) return;
  const std::string source = Places.UnpackedFile(key);
  if (plan.install) {
    const std::string target = Places.Installed(plan.target);
    RemoveKeepingBackup(target, index);
    const std::string dir = ExtractFileDir(target);
    if (!platform::DirectoryExists(dir)) platform::ForceDirectories(dir);
    if (target != ExeName) WaitUntilReleased(target, index);
    InstallStep();
    PutInPlace(source, target);
    installed.placed.push_back(target);
    installed.dates.emplace_back(key, plan.date);
    InstallStep();
  }
  platform::DeleteFile(source);
}

void TForm1::PutInPlace(const std::string& source, const std::string& target) {
  // On the same file system the unpacked file is moved into place, one rename instead of
  // a copy, since it is deleted anyway. Elsewhere, or with the target still there
  // (ignored while in use), it is copied.
  if (!platform::MoveFile(source, target)) platform::CopyFile(source, target, false);
}

void TForm1::RemoveKeepingBackup(const std::string& target, int index) {
  // A file is removed only once its old version is safe: one that cannot even be read
  // (held by another program) is not removed now, and the prompt asks for it.
  const std::string backup = Places.BackupFile(index);
  if (platform::FileExists(target) && !platform::FileExists(backup) && !platform::CopyFile(target, backup, true))
    return;
  platform::DeleteFile(target);
}

bool TForm1::BeginInstallation(const TInstallJournal& journal, std::string* why) {
  // Backups of an installation cut off before its journal was written are of no use.
  RemoveBackups();
  const std::string dir = Places.BackupDir();
  const auto failed = [&](const std::string& what) {
    *why = what + ": " + SysErrorMessage(platform::GetLastError());
    RemoveBackups();
    return false;
  };
  if (!platform::ForceDirectories(dir)) return failed(dir);
  if (journal.RecordExisted && !platform::CopyFile(Places.RecordFile(), Places.RecordBackup(), true))
    return failed(Places.RecordBackup());
  if (!platform::WriteFileAtomically(Places.JournalFile(), FormatInstallJournal(journal)))
    return failed(Places.JournalFile());
  return true;
}

void TForm1::EndInstallation() {
  // The journal's removal is the moment the new installation is complete.
  platform::DeleteFile(Places.JournalFile());
  RemoveBackups();
}

void TForm1::RemoveBackups() {
  if (platform::DirectoryExists(Places.BackupDir())) platform::RemoveDirectoryTree(Places.BackupDir());
}

bool TForm1::RecoverInstallation() {
  const std::string journalFile = Places.JournalFile();
  if (!platform::FileExists(journalFile)) {
    RemoveBackups();
    return true;
  }
  std::string text;
  TInstallJournal journal;
  if (!platform::ReadSmallFile(journalFile, 16 << 20, &text) || !ParseInstallJournal(text, journal)) {
    // Guessing could throw away the only copy of a file: everything stays for a person
    // to look at.
    ShowMessage("上次升级未完成，其记录已损坏，备份文件保留在" + Places.BackupDir());
    return false;
  }
  bool ok = true;
  for (const TJournalEntry& e : journal.Entries) {
    // Our journal names only files below the application directory.
    if (!IsSafeItemPath(e.Target)) continue;
    const std::string target = Places.Installed(e.Target);
    const std::string backup = Places.BackupFile(e.Index);
    if (e.Existed) {
      // Without a backup the file was never touched.
      if (platform::FileExists(backup) && !platform::CopyFile(backup, target, false)) ok = false;
    } else if (platform::FileExists(target) && !platform::DeleteFile(target)) {
      ok = false;
    }
  }
  if (journal.RecordExisted) {
    if (!platform::CopyFile(Places.RecordBackup(), Places.RecordFile(), false)) ok = false;
  } else if (platform::FileExists(Places.RecordFile()) && !platform::DeleteFile(Places.RecordFile())) {
    ok = false;
  }
  if (!ok) {
    ShowMessage("上次升级未完成，无法恢复原有文件，备份文件保留在" + Places.BackupDir());
    return false;
  }
  EndInstallation();
  return true;
}

void TForm1::InstallStep() {
  if (OnInstallStep) OnInstallStep(++installSteps_);
}

void TForm1::WaitUntilReleased(const std::string& target, int index) {
  TMsgDlgParams dialog;
  dialog.Caption = "警告";
  dialog.Text = "无法替换文件" + target +
                ",因为这文件正在被其它软件使用，请关闭正在运行的软件后，再点重试，也可点忽略，不更换此文件";
  dialog.Type = mtWarning;
  dialog.Buttons = {{"重试[&R]", mrRetry}, {"忽略[&I]", mrIgnore}};
  dialog.DefaultButton = 0;
  dialog.CloseResult = mrCancel;
  dialog.SafeButton = 1;
  while (platform::FileExists(target)) {
    const int answer = MessageDialog(dialog);
    // The close box only looks again.
    if (answer == mrRetry || answer == mrIgnore) RemoveKeepingBackup(target, index);
    if (answer == mrIgnore) break;
  }
}
