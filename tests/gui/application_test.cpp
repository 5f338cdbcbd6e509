#include "gui/application.h"

#include <gmock/gmock.h>

#include <stdexcept>

#include "console_fixture.h"
#include "gui/button.h"
#include "gui/dialogs.h"
#include "gui/label.h"
#include "gui/progressbar.h"
#include "gui/timer.h"

using ::testing::ElementsAre;

namespace {

class TTestForm : public TForm {
 public:
  explicit TTestForm(TComponent* owner) : TForm(owner) {
    SetCaption("测试窗口");
    Label1 = new TLabel(this);
    Label1->Name = "Label1";
    Label1->SetParent(this);
    Button1 = new TButton(this);
    Button1->Name = "Button1";
    Button1->SetParent(this);
    ProgressBar1 = new TProgressBar(this);
    ProgressBar1->Name = "ProgressBar1";
    ProgressBar1->SetParent(this);
    Timer1 = new TTimer(this);
    Timer1->SetEnabled(false);
    Timer1->SetInterval(10);
  }
  ~TTestForm() override {
    if (destroyed) *destroyed = true;
  }
  TLabel* Label1;
  TButton* Button1;
  TProgressBar* ProgressBar1;
  TTimer* Timer1;
  bool* destroyed = nullptr;
};

TMsgDlgParams RetryIgnore() {
  TMsgDlgParams p;
  p.Caption = "警告";
  p.Text = "无法替换文件";
  p.Type = mtWarning;
  p.Buttons = {{"重试[&R]", mrRetry}, {"忽略[&I]", mrIgnore}};
  p.DefaultButton = 0;
  p.CloseResult = mrCancel;
  p.SafeButton = 1;
  return p;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// What the console shows.

TEST_F(ConsoleGuiTest, ShownControlsReportTheirCaptionChangesAsLines) {
  TTestForm* form;
  app->CreateForm(form);
  form->Label1->SetCaption("before the window is shown");
  form->Button1->SetCaption("not yet");
  EXPECT_TRUE(lines.empty());

  form->Show();
  form->Label1->SetCaption("support@example.com & co");
  form->Label1->SetCaption("support@example.com & co");  // no change, no line
  form->Button1->SetCaption("开始升级(&O)");
  form->ProgressBar1->SetPosition(50);
  form->Label1->SetCaption("两\r\n行");
  form->Button1->Hide();
  form->Button1->SetCaption("hidden");
  form->Close();

  EXPECT_THAT(lines, ElementsAre("window: 测试窗口", "label Label1: support@example.com & co",
                                 "button Button1: 开始升级(&O)", "label Label1: 两 行", "closed: 测试窗口"));
  // The main form closing ends the application.
  EXPECT_TRUE(app->Terminated());
}

TEST_F(ConsoleGuiTest, MessageBoxesAndTheErrorReportAreAnsweredAtOnce) {
  ShowMessage("修复完毕");
  app->ShowException("写 /x/更新记录.ini 失败");
  try {
    throw EConvertError("'abc' is not a valid integer value");
  } catch (...) {
    app->HandleException(nullptr);
  }
  try {
    throw std::runtime_error("plain");
  } catch (...) {
    app->HandleException(nullptr);
  }
  EXPECT_THAT(lines, ElementsAre("message: 修复完毕", "error: 写 /x/更新记录.ini 失败",
                                 "error: 'abc' is not a valid integer value", "error: plain"));
}

TEST_F(ConsoleGuiTest, TitleDefaultsToTheExecutableNameWithoutExtension) {
  EXPECT_EQ(app->Title(), "gui_tests");
}

TEST_F(ConsoleGuiTest, OnlyOneApplicationExistsAtATime) {
  EXPECT_THROW(TApplication second, EInvalidOperation);
  EXPECT_EQ(Application, app.get());
}

// ---------------------------------------------------------------------------------------
// Dialogs with choices read their answer from standard input.

TEST_F(ConsoleGuiTest, DialogTakesACaptionOrItsMnemonicLetter) {
  Answer("忽略[&I]\n重试[R]\n r \nI\n");
  EXPECT_EQ(MessageDialog(RetryIgnore()), mrIgnore);
  EXPECT_EQ(MessageDialog(RetryIgnore()), mrRetry);
  EXPECT_EQ(MessageDialog(RetryIgnore()), mrRetry);
  EXPECT_EQ(MessageDialog(RetryIgnore()), mrIgnore);
  EXPECT_THAT(lines, ElementsAre("dialog: 无法替换文件 -> 忽略[&I]", "dialog: 无法替换文件 -> 重试[&R]",
                                 "dialog: 无法替换文件 -> 重试[&R]", "dialog: 无法替换文件 -> 忽略[&I]"));
}

TEST_F(ConsoleGuiTest, DialogSkipsLinesThatAnswerNothing) {
  Answer("\nmaybe\nx\n重试[&R]\n");
  EXPECT_EQ(MessageDialog(RetryIgnore()), mrRetry);
}

TEST_F(ConsoleGuiTest, EndOfInputTakesTheSafeAnswerEveryTime) {
  Answer("r");  // an unterminated last line still counts
  EndInput();
  EXPECT_EQ(MessageDialog(RetryIgnore()), mrRetry);
  EXPECT_EQ(MessageDialog(RetryIgnore()), mrIgnore);
  EXPECT_EQ(MessageDialog(RetryIgnore()), mrIgnore);
}

TEST_F(ConsoleGuiTest, TimersKeepRunningWhileADialogWaits) {
  TTimer timer(nullptr);
  timer.SetInterval(10);
  int ticks = 0;
  timer.OnTimer = [&](TObject*) {
    if (++ticks == 3) Answer("i\n");
  };
  EXPECT_EQ(MessageDialog(RetryIgnore()), mrIgnore);
#ifdef _WIN32
  // Standard input is read by a thread there: a tick may come before the answer does.
  EXPECT_GE(ticks, 3);
#else
  EXPECT_EQ(ticks, 3);
#endif
}

TEST_F(ConsoleGuiTest, QuittingWhileADialogWaitsTakesTheSafeAnswer) {
  TTimer timer(nullptr);
  timer.SetInterval(10);
  timer.OnTimer = [&](TObject*) { Application->Terminate(); };
  EXPECT_EQ(MessageDialog(RetryIgnore()), mrIgnore);
  EXPECT_TRUE(app->Terminated());
}

TEST_F(ConsoleGuiTest, DialogRejectsButtonIndexesOutsideItsButtons) {
  TMsgDlgParams p = RetryIgnore();
  p.SafeButton = 2;
  EXPECT_THROW(MessageDialog(p), ERangeError);
  p.SafeButton = 1;
  p.Buttons.clear();
  EXPECT_THROW(MessageDialog(p), EInvalidOperation);
}

// ---------------------------------------------------------------------------------------
// The loop and the application-wide error report.

TEST_F(ConsoleGuiTest, ErrorsFromHandlersAreReportedAndTheLoopCarriesOn) {
  TTestForm* form;
  app->CreateForm(form);
  form->Button1->OnClick = [](TObject*) { throw std::runtime_error("from the button"); };
  int ticks = 0;
  form->Timer1->OnTimer = [&](TObject*) {
    ++ticks;
    if (ticks == 1) throw Exception("第一次失败");
    if (ticks == 2) form->Button1->Click();
    if (ticks == 3) form->Close();
  };
  form->OnShow = [&](TObject*) { form->Timer1->SetEnabled(true); };
  app->Run();
  EXPECT_EQ(ticks, 3);
  EXPECT_THAT(lines, ElementsAre("window: 测试窗口", "error: 第一次失败", "error: from the button",
                                 "closed: 测试窗口"));
}

TEST_F(ConsoleGuiTest, AnErrorWhileShowingLeavesTheWindowOpen) {
  TTestForm* form;
  app->CreateForm(form);
  form->OnShow = [&](TObject*) {
    form->Label1->SetCaption("set before the error");
    throw EConvertError("'6,1' is not a valid floating point value");
  };
  form->Show();
  EXPECT_TRUE(form->Visible());
  EXPECT_THAT(lines, ElementsAre("window: 测试窗口", "label Label1: set before the error",
                                 "error: '6,1' is not a valid floating point value"));
}

TEST_F(ConsoleGuiTest, OnCreateRunsOnceTheFormReferenceIsSet) {
  TTestForm* form = nullptr;
  struct TCreating : TTestForm {
    explicit TCreating(TComponent* owner) : TTestForm(owner) {
      OnCreate = [this](TObject*) { seenSelf = this; };
    }
    TTestForm* seenSelf = nullptr;
  };
  TCreating* creating = nullptr;
  app->CreateForm(creating);
  EXPECT_EQ(creating->seenSelf, creating);
  EXPECT_EQ(app->MainForm(), creating);
  app->CreateForm(form);
  EXPECT_EQ(app->MainForm(), creating);  // the first form stays the main form
}

TEST_F(ConsoleGuiTest, ClosingAnotherFormHidesItAndCanFreeItLater) {
  TTestForm* main;
  TTestForm* other;
  app->CreateForm(main);
  app->CreateForm(other);
  bool destroyed = false;
  other->destroyed = &destroyed;
  other->OnClose = [](TObject*, TCloseAction& action) { action = caFree; };
  other->Show();
  other->Close();
  EXPECT_FALSE(other->Visible());
  EXPECT_FALSE(app->Terminated());
  EXPECT_FALSE(destroyed);
  app->ProcessMessages();
  EXPECT_TRUE(destroyed);
  EXPECT_THAT(lines, ElementsAre("window: 测试窗口", "closed: 测试窗口"));
}

TEST_F(ConsoleGuiTest, CloseQueryCanRefuseAndOnCloseCanCancel) {
  TTestForm* form;
  app->CreateForm(form);
  form->Show();
  bool allow = false;
  form->OnCloseQuery = [&](TObject*, bool& canClose) { canClose = allow; };
  form->Close();
  EXPECT_TRUE(form->Visible());
  allow = true;
  form->OnClose = [](TObject*, TCloseAction& action) { action = caNone; };
  form->Close();
  EXPECT_TRUE(form->Visible());
  EXPECT_FALSE(app->Terminated());
}

namespace {
int processed = 0;
platform::HWND reposter = 0;
platform::LRESULT CountingProc(platform::HWND hwnd, platform::UINT msg, platform::WPARAM, platform::LPARAM) {
  if (msg == platform::WM_USER) {
    // A message posted while processing is pending too.
    if (++processed == 1) platform::PostMessage(hwnd, platform::WM_USER, 0, 0);
  }
  return 0;
}
}  // namespace

TEST_F(ConsoleGuiTest, ProcessMessagesDispatchesWhatIsPendingAndReturns) {
  processed = 0;
  reposter = platform::CreateSink(&CountingProc);
  for (int i = 0; i < 3; ++i) platform::PostMessage(reposter, platform::WM_USER, 0, 0);
  app->ProcessMessages();
  EXPECT_EQ(processed, 4);
  platform::MSG msg;
  EXPECT_FALSE(platform::PeekMessage(&msg, 0, 0, 0, platform::PM_NOREMOVE));
  app->ProcessMessages();  // nothing pending: returns at once
  EXPECT_EQ(processed, 4);

  platform::PostQuitMessage(0);
  app->ProcessMessages();
  EXPECT_TRUE(app->Terminated());
  platform::DestroySink(reposter);
}

TEST_F(ConsoleGuiTest, RunWithoutAMainFormReturnsAtOnce) {
  app->Run();
  EXPECT_TRUE(lines.empty());
}

// ---------------------------------------------------------------------------------------
// Timers.

TEST_F(ConsoleGuiTest, TimerFiresOnlyWhileEnabled) {
  TTimer stopped(nullptr), selfStopping(nullptr), clock(nullptr);
  int stoppedTicks = 0, selfTicks = 0, clockTicks = 0;
  stopped.SetInterval(10);
  stopped.SetEnabled(false);
  stopped.OnTimer = [&](TObject*) { ++stoppedTicks; };
  selfStopping.SetInterval(10);
  selfStopping.OnTimer = [&](TObject*) {
    ++selfTicks;
    selfStopping.SetEnabled(false);
  };
  clock.SetInterval(10);
  clock.OnTimer = [&](TObject*) {
    if (++clockTicks == 5) app->Terminate();
  };
  while (!app->Terminated()) app->HandleMessage();
  EXPECT_EQ(stoppedTicks, 0);
  EXPECT_EQ(selfTicks, 1);
  EXPECT_EQ(clockTicks, 5);
}

TEST_F(ConsoleGuiTest, TimerWithIntervalZeroDoesNotRunUntilGivenOne) {
  TTimer timer(nullptr), clock(nullptr);
  int ticks = 0, ticksBefore = -1, clockTicks = 0;
  timer.SetInterval(0);
  timer.OnTimer = [&](TObject*) { ++ticks; };
  clock.SetInterval(10);
  clock.OnTimer = [&](TObject*) {
    ++clockTicks;
    if (clockTicks == 3) {
      ticksBefore = ticks;
      timer.SetInterval(10);
    }
    if (clockTicks == 3 + 10) app->Terminate();
  };
  while (!app->Terminated()) app->HandleMessage();
  EXPECT_EQ(ticksBefore, 0);
  EXPECT_GE(ticks, 1);
}
