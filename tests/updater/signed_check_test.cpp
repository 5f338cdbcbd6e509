// The window with a key, in-process: a refused release leaves the window ready for a new
// check, and the key of the build reaches the window.
#include <gmock/gmock.h>

#include <chrono>
#include <memory>

#include "gui/application.h"
#include "gui/consolebackend.h"
#include "platform/messages.h"
#include "scratch_app.h"
#include "tests/support/scripted_server.h"
#include "updater/form1.h"

using testsupport::ScriptedConnection;
using testsupport::ScriptedServer;

namespace {

TEST(SignedCheck, ARefusalLeavesTheWindowReadyForANewCheck) {
  ScratchApp app;
  std::vector<std::string> lines;
  auto application = std::make_unique<TApplication>(
      std::make_unique<TConsoleBackend>(-1, [&](const std::string& l) { lines.push_back(l); }));
  application->SetTitle("鼎川软件更新程序");
  application->CreateForm(Form1);
  EXPECT_EQ(Form1->PublicKey, UPDATER_PUBLIC_KEY_SETTING) << "the build setting reaches the window";
  Form1->Places = TUpdatePlaces(app.Dir());
  app.Put("升级/更新记录.ini", "[设置]\r\n软件类别=demo\r\n更新日期=20240101\r\n");
  std::filesystem::create_directories(app / "tmp");
  ScriptedServer server([](ScriptedConnection& c) {
    const std::string request = c.ReadRequest();
    if (request.find("/update/demo.html ") != std::string::npos) {
      c.Write("HTTP/1.0 200 OK\r\nContent-Length: 8\r\n\r\n20240301");
    } else {
      c.Write("HTTP/1.0 404 Not Found\r\nContent-Length: 0\r\n\r\n");
    }
  });
  Form1->BaseUrl = server.Url("/update/");
  Form1->PublicKey = std::string(64, '1');
  Form1->Show();

  for (int check = 1; check <= 2; ++check) {
    lines.clear();
    Form1->Button2->Click();
    EXPECT_FALSE(Form1->Busy());
    EXPECT_EQ(lines.back(), "message: 拒绝更新：没有签名");
  }
  std::vector<std::string> paths;
  for (const std::string& r : server.Requests()) paths.push_back(r.substr(4, r.find(' ', 4) - 4));
  EXPECT_THAT(paths, ::testing::ElementsAre("/update/demo.html", "/update/demo.sig", "/update/demo.html",
                                            "/update/demo.sig"));
  EXPECT_FALSE(app.Exists("tmp/rjsj.7z"));
  application.reset();
  platform::MSG msg;
  while (platform::PeekMessage(&msg, 0, 0, 0, platform::PM_REMOVE)) {
  }
}

}  // namespace
