// The updater's window: its start-up timer in-process, and the program without a display.
#include <gmock/gmock.h>
#include <unistd.h>

#include <chrono>
#include <memory>

#include "gui/application.h"
#include "gui/consolebackend.h"
#include "platform/messages.h"
#include "scratch_app.h"
#include "tests/repairtool/child_process.h"
#include "tests/support/scripted_server.h"
#include "updater/form1.h"

namespace {

using Clock = std::chrono::steady_clock;

class UpdaterWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    application = std::make_unique<TApplication>(
        std::make_unique<TConsoleBackend>(-1, [this](const std::string& l) { lines.push_back(l); }));
    application->CreateForm(Form1);
    // The check runs against a server whose answer is no date: it ends with an error
    // report, and the window stays.
    Form1->Places = TUpdatePlaces(app.Dir());
    Form1->BaseUrl = server.Url("/update/");
    // Count the presses of the start button, whoever presses it.
    TNotifyEvent click = Form1->Button2->OnClick;
    Form1->Button2->OnClick = [this, click](TObject* sender) {
      presses.push_back(Clock::now());
      click(sender);
    };
  }

  void TearDown() override {
    application.reset();
    platform::MSG msg;
    while (platform::PeekMessage(&msg, 0, 0, 0, platform::PM_REMOVE)) {
    }
  }

  // Runs the message loop for a while; a ticker keeps it waking up.
  void RunFor(std::chrono::milliseconds span) {
    TTimer ticker(nullptr);
    ticker.SetInterval(50);
    const Clock::time_point end = Clock::now() + span;
    application->ModalLoop([&] { return Clock::now() >= end; });
  }

  ScratchApp app;
  testsupport::ScriptedServer server{testsupport::ScriptedServer::Responses(
      {"HTTP/1.0 200 OK\r\nContent-Length: 10\r\n\r\nnot a date"}, true)};
  std::unique_ptr<TApplication> application;
  std::vector<std::string> lines;
  std::vector<Clock::time_point> presses;
};

}  // namespace

TEST_F(UpdaterWindowTest, ShowingTheWindowPressesTheStartButtonOnceASecondLater) {
  EXPECT_FALSE(Form1->Timer1->Enabled());
  RunFor(std::chrono::milliseconds(1500));
  EXPECT_TRUE(presses.empty()) << "the timer runs only once the window is shown";

  const Clock::time_point shown = Clock::now();
  Form1->Show();
  EXPECT_TRUE(Form1->Timer1->Enabled());
  EXPECT_FALSE(Form1->Button1->Showing()) << "the installation button is never visible";
  RunFor(std::chrono::milliseconds(3500));

  ASSERT_EQ(presses.size(), 1u);
  // Loose bounds: a timer never fires early, and a busy machine may be late.
  const auto after = std::chrono::duration_cast<std::chrono::milliseconds>(presses[0] - shown);
  EXPECT_GE(after.count(), 950);
  EXPECT_LT(after.count(), 3000);
  EXPECT_FALSE(Form1->Timer1->Enabled());
  EXPECT_THAT(lines, ::testing::ElementsAre("window: 鼎川软件自动更新程序",
                                            "error: 'not a date' is 不是一个有效的浮点值"));
}

TEST_F(UpdaterWindowTest, AnEarlierPressByTheUserStopsTheTimer) {
  Form1->Show();
  RunFor(std::chrono::milliseconds(300));
  RunHandler(Form1->Button2, [] { Form1->Button2->Click(); });
  RunFor(std::chrono::milliseconds(2000));
  EXPECT_EQ(presses.size(), 1u);
  EXPECT_FALSE(Form1->Timer1->Enabled());
}

TEST(UpdaterProcess, WithoutADisplayTheShippedProgramShowsItsWindowOnTheConsole) {
  ScratchApp app;
  fs::copy_file(fs::path(TEST_BINARY_DIR) / "updater" / "updater", app / "updater");
  ChildProcess updater({app / "updater"},
                       {{"DISPLAY", std::nullopt},
                        {"LSAN_OPTIONS", "suppressions=" + std::string(TEST_SOURCE_DIR) + "/tests/lsan.supp"}});
  ASSERT_TRUE(updater.Started());
  std::string line;
  ASSERT_TRUE(updater.ReadLine(line));
  EXPECT_EQ(line, "window: 鼎川软件自动更新程序");
  // Ended before its start timer: this build talks to the demo's fixed address, which
  // tests leave alone (the update itself is tested with the hooked build).
  updater.Terminate();
  updater.Wait();
}
