#include "updater/form1.h"

#include "base/sysutils.h"
#include "gui/dialogs.h"
#include "platform/files.h"
#include "platform/process.h"

TForm1* Form1 = nullptr;

TForm1::TForm1(TComponent* owner)
    : TForm(owner), Places(AppDir()), ExeName(platform::GetModuleFileName()) {
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
}

void TForm1::FormShow(TObject*) { Timer1->SetEnabled(true); }

void TForm1::Timer1Timer(TObject*) { Button2->Click(); }

void TForm1::Button2Click(TObject*) {
  // Whoever presses first, the automatic check runs once.
  Timer1->SetEnabled(false);
}

void TForm1::Button1Click(TObject*) {
  Timer1->SetEnabled(false);
  TPackageManifest manifest(Places.ManifestFile());
  TUpdateRecord record(Places.RecordFile());
  TStringList keys;
  manifest.ReadFileKeys(&keys);
  if (keys.Count() > 0) {
    ProgressBar1->SetMax(keys.Count() - 1);
    ProgressBar1->SetPosition(0);
    for (int i = 0; i < keys.Count(); ++i) {
      ProgressBar1->SetPosition(i);
      InstallFile(manifest, record, keys[i]);
    }
  }
  record.WriteReleaseDate(manifest.ReleaseDate());
  platform::WinExec(Places.Installed(manifest.Program()), platform::SW_SHOWNA);
  manifest.EraseFileList();
  Close();
}

void TForm1::InstallFile(TPackageManifest& manifest, TUpdateRecord& record, const std::string& key) {
  const std::string source = Places.UnpackedFile(key);
  const std::string target = Places.Installed(manifest.FileTarget(key));
  const bool wanted = manifest.FileDate(key) > record.FileDate(key) || !platform::FileExists(target);
  // The target goes before the copy: without its unpacked copy the installed file would
  // be lost, so such a file stays as it is and counts as not updated.
  if (wanted && platform::FileExists(source)) {
    platform::DeleteFile(target);
    const std::string dir = ExtractFileDir(target);
    if (!platform::DirectoryExists(dir)) platform::ForceDirectories(dir);
    if (target != ExeName) WaitUntilReleased(target);
    platform::CopyFile(source, target, false);
    record.WriteFileDate(key, manifest.FileDateText(key));
  }
  platform::DeleteFile(source);
}

void TForm1::WaitUntilReleased(const std::string& target) {
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
    if (answer == mrRetry || answer == mrIgnore) platform::DeleteFile(target);
    if (answer == mrIgnore) break;
  }
}
