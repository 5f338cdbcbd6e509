// The native Windows backend, checked through the system's own view of its windows.
// Under Wine the windowed cases need a display (tests/gui/win32_windows.sh runs them in
// Xvfb); the headless case needs none.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "gui/application.h"
#include "gui/backend.h"
#include "gui/button.h"
#include "gui/dialogs.h"
#include "gui/label.h"
#include "gui/panel.h"
#include "gui/progressbar.h"
#include "gui/shape.h"
#include "gui/timer.h"
#include "platform/messages.h"

#include <windows.h>
#include <commctrl.h>

namespace {

bool UnderWine() { return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr; }

bool WineHasDisplay() {
  wchar_t value[256];
  return GetEnvironmentVariableW(L"DISPLAY", value, 256) > 0;
}

#define REQUIRE_DESKTOP() \
  if (UnderWine() && !WineHasDisplay()) GTEST_SKIP() << "Wine without DISPLAY has no desktop; tests/gui/win32_windows.sh runs this under Xvfb"

struct Window {
  HWND hwnd;
  std::wstring cls, text;
};

std::vector<Window> Children(HWND parent) {
  std::vector<Window> out;
  EnumChildWindows(
      parent,
      [](HWND hwnd, LPARAM data) -> BOOL {
        wchar_t cls[64] = {}, text[256] = {};
        GetClassNameW(hwnd, cls, 64);
        GetWindowTextW(hwnd, text, 256);
        reinterpret_cast<std::vector<Window>*>(data)->push_back({hwnd, cls, text});
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&out));
  return out;
}

HWND Child(HWND parent, const std::wstring& cls, const std::wstring& text = L"") {
  for (const Window& w : Children(parent)) {
    if (_wcsicmp(w.cls.c_str(), cls.c_str()) == 0 && (text.empty() || w.text == text)) return w.hwnd;
  }
  return nullptr;
}

std::wstring Text(HWND hwnd) {
  wchar_t text[256] = {};
  GetWindowTextW(hwnd, text, 256);
  return text;
}

// Runs the loop until done() holds or two seconds passed.
bool RunUntil(const std::function<bool()>& done) {
  DWORD start = GetTickCount();
  while (!done()) {
    if (GetTickCount() - start > 2000) return false;
    platform::MsgWaitForInput(50);
    Application->ProcessMessages();
  }
  return true;
}

// Runs `step` from a timer of the message loop, as soon as it fires: inside a modal loop.
class Soon {
 public:
  explicit Soon(std::function<void()> step) : timer_(nullptr), step_(std::move(step)) {
    timer_.SetInterval(50);
    timer_.OnTimer = [this](TObject*) {
      timer_.SetEnabled(false);
      step_();
    };
  }

 private:
  TTimer timer_;
  std::function<void()> step_;
};

// Closes what is left open of a window class after three seconds, and tells.
class Watchdog {
 public:
  explicit Watchdog(const wchar_t* windowClass) : timer_(nullptr) {
    timer_.SetInterval(3000);
    timer_.OnTimer = [this, windowClass](TObject*) {
      timer_.SetEnabled(false);
      fired = true;
      PostMessageW(FindWindowW(windowClass, nullptr), WM_CLOSE, 0, 0);
    };
  }
  bool fired = false;

 private:
  TTimer timer_;
};

// Shows the dialog and answers it from the loop.
int AnswerDialog(const TMsgDlgParams& p, const std::function<void()>& answer) {
  Soon step(answer);
  Watchdog watchdog(L"GuiDialog");
  int result = MessageDialog(p);
  EXPECT_FALSE(watchdog.fired) << "the dialog did not take the answer";
  return result;
}

class Win32Windows : public ::testing::Test {
 protected:
  void TearDown() override {
    // A terminated run leaves its quit message behind.
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    }
  }
};

}  // namespace

TEST(Win32Backend, HeadlessWineFallsBackToTheConsole) {
  if (!UnderWine() || WineHasDisplay()) GTEST_SKIP() << "there is a desktop here";
  EXPECT_EQ(CreateWin32Backend(), nullptr);
  TApplication app;
  EXPECT_TRUE(app.Backend()->IsConsole());
}

TEST_F(Win32Windows, FormHoldsNativeControls) {
  REQUIRE_DESKTOP();
  TApplication app;
  ASSERT_FALSE(app.Backend()->IsConsole());
  TForm* form;
  app.CreateForm(form);
  form->SetCaption("测试窗口");
  form->SetBorderStyle(bsSingle);
  form->SetBounds(40, 30, 320, 180);
  auto* label = new TLabel(form);
  label->SetParent(form);
  label->SetBounds(10, 10, 0, 0);
  label->SetCaption("正在下载文件");
  label->Font()->SetColor(clRed);
  auto* bar = new TProgressBar(form);
  bar->SetParent(form);
  bar->SetBounds(10, 40, 300, 16);
  bar->SetRange(0, 200);
  bar->SetPosition(50);
  auto* button = new TButton(form);
  button->SetParent(form);
  button->SetCaption("开始(&S)");
  button->SetBounds(10, 140, 80, 25);
  button->SetDefault(true);
  auto* other = new TButton(form);
  other->SetParent(form);
  other->SetCaption("退出(&X)");
  other->SetBounds(100, 140, 80, 25);
  int clicks = 0;
  button->OnClick = [&](TObject*) { ++clicks; };
  form->Show();

  HWND hwnd = FindWindowW(L"GuiForm", L"测试窗口");
  ASSERT_NE(hwnd, nullptr);
  EXPECT_TRUE(IsWindowVisible(hwnd));
  RECT client;
  GetClientRect(hwnd, &client);
  EXPECT_EQ(client.right, 320);
  EXPECT_EQ(client.bottom, 180);

  HWND text = Child(hwnd, L"Static", L"正在下载文件");
  ASSERT_NE(text, nullptr);
  // Auto-size measured with the label's real font, one that has the characters.
  HDC dc = GetDC(text);
  HGDIOBJ old = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(text, WM_GETFONT, 0, 0)));
  SIZE size;
  GetTextExtentPoint32W(dc, L"正在下载文件", 6, &size);
  WORD glyph = 0;
  GetGlyphIndicesW(dc, L"\x4E0B", 1, &glyph, GGI_MARK_NONEXISTING_GLYPHS);
  SelectObject(dc, old);
  ReleaseDC(text, dc);
  EXPECT_EQ(label->Width(), size.cx);
  EXPECT_NE(glyph, 0xFFFF) << "the label's font has no Chinese";
  label->SetCaption("正在解压文件");
  EXPECT_EQ(Text(text), L"正在解压文件");

  HWND progress = Child(hwnd, PROGRESS_CLASSW);
  ASSERT_NE(progress, nullptr);
  EXPECT_EQ(SendMessageW(progress, PBM_GETPOS, 0, 0), 50);
  EXPECT_EQ(SendMessageW(progress, PBM_GETRANGE, FALSE, 0), 200);
  bar->SetPosition(120);
  EXPECT_EQ(SendMessageW(progress, PBM_GETPOS, 0, 0), 120);

  HWND start = Child(hwnd, L"Button", L"开始(&S)");
  HWND quit = Child(hwnd, L"Button", L"退出(&X)");
  ASSERT_NE(start, nullptr);
  ASSERT_NE(quit, nullptr);
  EXPECT_EQ(GetWindowLongW(start, GWL_STYLE) & BS_TYPEMASK, BS_DEFPUSHBUTTON);
  EXPECT_EQ(GetWindowLongW(quit, GWL_STYLE) & BS_TYPEMASK, BS_PUSHBUTTON);

  // A click, then Enter typed on the other button: both press the default one.
  PostMessageW(start, BM_CLICK, 0, 0);
  EXPECT_TRUE(RunUntil([&] { return clicks == 1; }));
  PostMessageW(quit, WM_KEYDOWN, VK_RETURN, 1);
  EXPECT_TRUE(RunUntil([&] { return clicks == 2; }));

  // Tab follows the tab order.
  EXPECT_EQ(GetNextDlgTabItem(hwnd, start, FALSE), quit);
  other->SetTabOrder(0);
  EXPECT_EQ(GetNextDlgTabItem(hwnd, nullptr, FALSE), quit);
  EXPECT_EQ(GetNextDlgTabItem(hwnd, quit, FALSE), start);

  // Sized by the user, the form takes the new size.
  RECT frame;
  GetWindowRect(hwnd, &frame);
  SetWindowPos(hwnd, nullptr, frame.left + 5, frame.top, frame.right - frame.left + 40, frame.bottom - frame.top,
               SWP_NOZORDER);
  EXPECT_EQ(form->Left(), frame.left + 5);
  EXPECT_EQ(form->Width(), 360);
  EXPECT_EQ(form->Height(), 180);

  button->SetEnabled(false);
  EXPECT_FALSE(IsWindowEnabled(start));
  other->Hide();
  EXPECT_FALSE(IsWindowVisible(quit));
  form->SetCaption("新标题");
  EXPECT_EQ(Text(hwnd), L"新标题");

  // The close box closes the main form, which ends the application.
  bool closed = false;
  form->OnClose = [&](TObject*, TCloseAction&) { closed = true; };
  PostMessageW(hwnd, WM_CLOSE, 0, 0);
  app.Run();
  EXPECT_TRUE(closed);
  EXPECT_FALSE(IsWindowVisible(hwnd));
}

TEST_F(Win32Windows, PaintedControlsShowTheirColours) {
  REQUIRE_DESKTOP();
  TApplication app;
  TForm* form;
  app.CreateForm(form);
  form->SetCaption("分段进度");
  form->SetBounds(60, 60, 300, 100);
  auto* panel = new TPanel(form);
  panel->SetParent(form);
  panel->SetBevelOuter(bvLowered);
  panel->SetColor(clWhite);
  panel->SetBounds(10, 10, 280, 20);
  auto* segment = new TShape(form);
  segment->SetParent(panel);
  segment->Pen()->SetStyle(psClear);
  segment->Brush()->SetColor(clBlue);
  segment->SetBounds(1, 1, 50, 19);
  form->Show();
  app.ProcessMessages();

  HWND hwnd = FindWindowW(L"GuiForm", L"分段进度");
  ASSERT_NE(hwnd, nullptr);
  HWND panelWindow = Child(hwnd, L"GuiPanel");
  ASSERT_NE(panelWindow, nullptr);
  ASSERT_NE(Child(panelWindow, L"GuiShape"), nullptr);
  auto pixel = [&](int x, int y) {
    HDC dc = GetDC(panelWindow);
    COLORREF c = GetPixel(dc, x, y);
    ReleaseDC(panelWindow, dc);
    return c;
  };
  EXPECT_EQ(pixel(25, 10), RGB(0, 0, 255));
  EXPECT_EQ(pixel(150, 10), RGB(255, 255, 255));
  // The segment grows: the new part is painted blue as well.
  segment->SetWidth(200);
  app.ProcessMessages();
  EXPECT_EQ(pixel(150, 10), RGB(0, 0, 255));
  EXPECT_EQ(pixel(250, 10), RGB(255, 255, 255));

}

TEST_F(Win32Windows, DialogAnswersByButtonEnterMnemonicAndCloseBox) {
  REQUIRE_DESKTOP();
  TApplication app;
  app.SetTitle("对话框测试");
  TMsgDlgParams p;
  p.Text = "无法替换文件";
  p.Type = mtWarning;
  p.Buttons = {{"重试[&R]", mrRetry}, {"忽略[&I]", mrIgnore}};
  p.DefaultButton = 1;
  p.CloseResult = mrAbort;
  p.SafeButton = 1;

  auto dialog = [] { return FindWindowW(L"GuiDialog", L"对话框测试"); };
  HWND retry = nullptr, ignore = nullptr;
  std::wstring message;
  bool ignoreIsDefault = false, ignoreHasFocus = false;
  EXPECT_EQ(AnswerDialog(p,
                         [&] {
                           HWND d = dialog();
                           retry = Child(d, L"Button", L"重试[&R]");
                           ignore = Child(d, L"Button", L"忽略[&I]");
                           ignoreIsDefault = ignore && (GetWindowLongW(ignore, GWL_STYLE) & BS_TYPEMASK) == BS_DEFPUSHBUTTON;
                           ignoreHasFocus = ignore && GetFocus() == ignore;
                           message = Child(d, L"Static", L"无法替换文件") ? L"found" : L"";
                           PostMessageW(d, WM_CLOSE, 0, 0);
                         }),
            mrAbort);
  EXPECT_NE(retry, nullptr);
  EXPECT_TRUE(ignoreIsDefault);
  EXPECT_TRUE(ignoreHasFocus);
  EXPECT_EQ(message, L"found");
  EXPECT_EQ(dialog(), nullptr);

  EXPECT_EQ(AnswerDialog(p, [&] { PostMessageW(GetFocus(), WM_KEYDOWN, VK_RETURN, 1); }), mrIgnore);
  EXPECT_EQ(AnswerDialog(p, [&] { PostMessageW(Child(dialog(), L"Button", L"忽略[&I]"), WM_SYSCHAR, L'r', 1 << 29); }),
            mrRetry);

  // A dialog opened while another is up takes the input from it as well.
  bool outerDisabled = false;
  int inner = mrNone;
  EXPECT_EQ(AnswerDialog(p,
                         [&] {
                           HWND outer = dialog();
                           TMsgDlgParams q = p;
                           q.Caption = "内层";
                           Soon closeInner([&] {
                             outerDisabled = !IsWindowEnabled(outer);
                             PostMessageW(FindWindowW(L"GuiDialog", L"内层"), WM_CLOSE, 0, 0);
                           });
                           inner = MessageDialog(q);
                           PostMessageW(outer, WM_CLOSE, 0, 0);
                         }),
            mrAbort);
  EXPECT_TRUE(outerDisabled);
  EXPECT_EQ(inner, mrAbort);

  // The application quits while the dialog is up: the safe answer.
  EXPECT_EQ(AnswerDialog(p, [&] { app.Terminate(); }), mrIgnore);
}

TEST_F(Win32Windows, MessageBoxesBelongToTheActiveFormAndGiveItsFocusBack) {
  REQUIRE_DESKTOP();
  TApplication app;
  app.SetTitle("消息测试");
  TForm* form;
  app.CreateForm(form);
  form->SetCaption("主窗口");
  for (int i = 0; i < 2; ++i) {
    auto* button = new TButton(form);
    button->SetParent(form);
    button->SetCaption(i == 0 ? "一" : "二");
    button->SetBounds(10 + 90 * i, 10, 80, 25);
  }
  form->Show();
  HWND hwnd = FindWindowW(L"GuiForm", L"主窗口");
  HWND second = Child(hwnd, L"Button", L"二");
  ASSERT_NE(second, nullptr);
  SetFocus(second);

  struct Seen {
    HWND owner = nullptr;
    std::wstring text;
    bool icon = false;
  } seen;
  auto inspect = [&] {
    HWND box = FindWindowW(L"#32770", L"消息测试");
    if (!box) return;
    seen.owner = GetWindow(box, GW_OWNER);
    seen.text = Text(GetDlgItem(box, 0xFFFF));
    HWND icon = GetDlgItem(box, 1088);
    seen.icon = icon && IsWindowVisible(icon) && SendMessageW(icon, STM_GETICON, 0, 0) != 0;
    PostMessageW(box, WM_COMMAND, IDOK, 0);
  };
  {
    Soon answer(inspect);
    Watchdog watchdog(L"#32770");
    ShowMessage("升级完毕");
    EXPECT_FALSE(watchdog.fired);
  }
  EXPECT_EQ(seen.owner, hwnd);
  EXPECT_EQ(seen.text, L"升级完毕");
  EXPECT_FALSE(seen.icon);
  EXPECT_EQ(GetFocus(), second);

  seen = Seen();
  {
    Soon answer(inspect);
    Watchdog watchdog(L"#32770");
    app.ShowException("无法连接服务器");
    EXPECT_FALSE(watchdog.fired);
  }
  EXPECT_EQ(seen.owner, hwnd);
  EXPECT_EQ(seen.text, L"无法连接服务器");
  EXPECT_TRUE(seen.icon);
  EXPECT_EQ(GetFocus(), second);
}
