#include "repairtool/form1.h"

#include <charconv>

#include "base/inifiles.h"
#include "base/sysutils.h"
#include "gui/dialogs.h"
#include "platform/files.h"
#include "platform/process.h"

TForm1* Form1 = nullptr;
int32_t Countdown = 0;

namespace {

const char* const kListName = "文件列表.ini";
const char* const kListSection = "文件列表";
const char* const kSystemPlaceholder = "路径";

}  // namespace

TForm1::TForm1(TComponent* owner) : TForm(owner) {
  SetCaption("mdac修复工具");
  SetBounds(209, 202, 680, 215);
  SetBorderStyle(bsDialog);
  SetColor(clBtnFace);
  Font()->SetName("宋体");
  Font()->SetHeight(-12);
  Font()->SetCharset(ANSI_CHARSET);
  OnCreate = [this](TObject* s) { FormCreate(s); };
  OnShow = [this](TObject* s) { FormShow(s); };

  Button1 = new TButton(this);
  Button1->Name = "Button1";
  Button1->SetParent(this);
  Button1->SetBounds(264, 128, 161, 49);
  Button1->SetCaption("开始修复");
  Button1->SetTabOrder(0);
  Button1->OnClick = [this](TObject* s) { Button1Click(s); };

  ProgressBar1 = new TProgressBar(this);
  ProgressBar1->Name = "ProgressBar1";
  ProgressBar1->SetParent(this);
  ProgressBar1->SetBounds(48, 56, 609, 49);
  ProgressBar1->SetRange(0, 100);
  ProgressBar1->SetPosition(0);

  Label1 = new TLabel(this);
  Label1->Name = "Label1";
  Label1->SetParent(this);
  Label1->SetLeft(144);
  Label1->SetTop(8);
  Label1->SetCaption("Label1");

  Timer1 = new TTimer(this);
  Timer1->Name = "Timer1";
  Timer1->SetInterval(3000);
  Timer1->OnTimer = [this](TObject* s) { Timer1Timer(s); };
  Timer1->SetEnabled(true);

  Timer2 = new TTimer(this);
  Timer2->Name = "Timer2";
  Timer2->SetInterval(1000);
  Timer2->OnTimer = [this](TObject* s) { Timer2Timer(s); };
  Timer2->SetEnabled(true);
}

void TForm1::FormCreate(TObject*) { Countdown = 4; }

void TForm1::FormShow(TObject*) { Label1->SetCaption(NameWindowsVersion()); }

void TForm1::Timer1Timer(TObject*) { Button1->Click(); }

void TForm1::Timer2Timer(TObject*) {
  --Countdown;
  Button1->SetCaption("开始修复(" + IntToStr(Countdown) + ")");
}

void TForm1::Button1Click(TObject*) {
  Timer1->SetEnabled(false);
  Timer2->SetEnabled(false);

  std::string set = Trim(Label1->Caption()) == "W7" ? "w7" : "xp";
  std::string system = platform::GetEnvironmentVariable("COMMONPROGRAMFILES").value_or("") + PathDelim + "System";
  for (const char* sub : {"ado", "msadc", "ole db"}) {
    std::string folder = system + PathDelim + sub;
    if (!platform::DirectoryExists(folder)) platform::ForceDirectories(folder);
  }

  std::string setFolder = AppDir() + set + PathDelim;
  TIniFile list(setFolder + kListName);
  TStringList keys;
  list.ReadSection(kListSection, &keys);
  // An empty or missing list is refused here: a range of 0 to -1.
  ProgressBar1->SetMax(keys.Count() - 1);
  for (int i = 0; i < keys.Count(); ++i) {
    ProgressBar1->SetPosition(i);
    std::string source = setFolder + NativePath(keys[i]);
    // The stored path is made native before the system folder goes in, so that only
    // the file list's separators are converted.
    std::string destination =
        StringReplaceAll(NativePath(list.ReadString(kListSection, keys[i], "")), kSystemPlaceholder, system);
    // An existing destination stays as it is; it is registered all the same.
    platform::CopyFile(source, destination, true);
    platform::WinExec("regsvr32 \"" + destination + "\" -s", platform::SW_HIDE);
  }
  ShowMessage("修复完毕");
  Close();
}

std::string NameWindowsVersion() {
  platform::OSVERSIONINFO info;
  if (!platform::GetVersionEx(&info)) return "??";
  return NameWindowsVersion(info.dwPlatformId, info.dwMajorVersion, info.dwMinorVersion);
}

std::string NameWindowsVersion(platform::DWORD platformId, platform::DWORD major, platform::DWORD minor) {
  // "major.minor" read back as a decimal number, so minor 10 gives major + 0.1. It is
  // read with '.' whatever the locale's separator: a comma locale must not change the
  // name.
  std::string text = Format("%u.%u", major, minor);
  double v = 0;
  std::from_chars(text.data(), text.data() + text.size(), v);
  switch (platformId) {
    case 0:
      return "32";
    case 1:
      if (v == 4.0) return "95";
      if (v == 4.1) return "98";
      if (v == 4.9) return "Me";
      return "9x";
    case 2:
      if (v == 3.51) return "NT 3.51";
      if (v == 4.0) return "NT 4.0";
      if (v == 5.0) return "2000";
      if (v == 5.1) return "XP";
      if (v == 5.2) return "2003";
      if (v == 6.0) return "Vista";
      if (v == 6.1) return "W7";
      return "";
    default:
      return "??";
  }
}
