// The FLTK backend in this test program itself, run again under a virtual X server.
#include <gmock/gmock.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <string>

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

namespace {

const char* const kUnderXvfb = "GUI_TESTS_UNDER_XVFB";

bool OnPath(const std::string& program) {
  return std::system(("command -v " + program + " >/dev/null 2>&1").c_str()) == 0;
}

#define REQUIRE_XVFB_CHILD() \
  if (!getenv(kUnderXvfb)) GTEST_SKIP() << "run under Xvfb by FltkBackend.CasesPassUnderXvfb"

TMsgDlgParams RetryIgnore() {
  TMsgDlgParams p;
  p.Text = "无法替换文件";
  p.Type = mtWarning;
  p.Buttons = {{"重试[&R]", mrRetry}, {"忽略[&I]", mrIgnore}};
  p.SafeButton = 1;
  return p;
}

}  // namespace

TEST(FltkBackend, CasesPassUnderXvfb) {
  if (getenv(kUnderXvfb)) GTEST_SKIP() << "already under Xvfb";
  for (const char* program : {"xvfb-run", "Xvfb"}) {
    if (!OnPath(program)) GTEST_SKIP() << program << " is not installed: no virtual display to test with";
  }
  std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
  std::string command = std::string("env ") + kUnderXvfb + "=1 LSAN_OPTIONS=suppressions=" TEST_SOURCE_DIR
                        "/tests/lsan.supp xvfb-run -a -s '-screen 0 1024x768x24' '" + self +
                        "' --gtest_filter='FltkUnderXvfb.*' --gtest_brief=1";
  EXPECT_EQ(std::system(command.c_str()), 0);
}

TEST(FltkUnderXvfb, FormWithEveryControlShowsAndCloses) {
  REQUIRE_XVFB_CHILD();
  TApplication app;
  ASSERT_FALSE(app.Backend()->IsConsole());
  TForm* form;
  app.CreateForm(form);
  form->SetCaption("测试窗口");
  form->SetBorderStyle(bsDialog);
  auto* label = new TLabel(form);
  label->SetParent(form);
  label->SetCaption("修复完毕");
  int cjkWidth = label->Width();
  label->SetCaption("ab");
  EXPECT_GT(cjkWidth, label->Width());  // measured by the real font
  EXPECT_GT(label->Height(), 0);
  auto* button = new TButton(form);
  button->SetParent(form);
  button->SetCaption("开始升级(&O)");
  auto* bar = new TProgressBar(form);
  bar->SetParent(form);
  auto* panel = new TPanel(form);
  panel->SetParent(form);
  panel->SetBevelOuter(bvLowered);
  auto* shape = new TShape(panel);
  shape->SetParent(panel);
  shape->Pen()->SetStyle(psClear);
  shape->Brush()->SetColor(clBlue);

  auto* timer = new TTimer(form);
  timer->SetInterval(10);
  int ticks = 0;
  timer->OnTimer = [&](TObject*) {
    ++ticks;
    bar->SetPosition(ticks * 10);
    panel->SetBounds(10, 10, 100 + ticks, 30);
    button->SetCaption("开始修复(" + std::to_string(ticks) + ")");
    if (ticks == 5) form->Close();
  };
  app.Run();
  EXPECT_EQ(ticks, 5);
  EXPECT_TRUE(app.Terminated());
  EXPECT_FALSE(form->Visible());
}

TEST(FltkUnderXvfb, TimersRunWhileItsOwnModalBoxIsOpen) {
  REQUIRE_XVFB_CHILD();
  TApplication app;
  ASSERT_FALSE(app.Backend()->IsConsole());
  TTimer timer(nullptr);
  timer.SetInterval(10);
  int ticks = 0;
  timer.OnTimer = [&](TObject*) {
    if (++ticks == 5) Application->Terminate();
  };
  // Nobody answers: quitting takes the safe answer.
  EXPECT_EQ(MessageDialog(RetryIgnore()), mrIgnore);
  EXPECT_EQ(ticks, 5);
}

TEST(FltkUnderXvfb, ErrorBoxInsideAHandlerKeepsTheLoopRunning) {
  REQUIRE_XVFB_CHILD();
  TApplication app;
  TTimer failing(nullptr), quitting(nullptr);
  failing.SetInterval(10);
  quitting.SetInterval(10);
  int failures = 0, ticks = 0;
  failing.OnTimer = [&](TObject*) {
    failing.SetEnabled(false);
    ++failures;
    throw Exception("boom");
  };
  // Runs inside the error box's loop, which the quit then ends.
  quitting.OnTimer = [&](TObject*) {
    if (failures == 1 && ++ticks == 5) Application->Terminate();
  };
  while (!app.Terminated()) app.HandleMessage();
  EXPECT_EQ(failures, 1);
  EXPECT_EQ(ticks, 5);
}
