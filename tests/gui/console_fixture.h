// An application on the console backend whose lines are collected and whose answers
// come from a pipe the test writes to.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "gui/application.h"
#include "gui/consolebackend.h"
#include "platform/messages.h"
#include "tests/support/test_pipe.h"

class ConsoleGuiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pipe_.Ok());
    app = std::make_unique<TApplication>(
        std::make_unique<TConsoleBackend>(pipe_.Input(), [this](const std::string& line) { lines.push_back(line); }));
  }

  void TearDown() override {
    app.reset();
    // A terminated run leaves its quit message behind.
    platform::MSG msg;
    while (platform::PeekMessage(&msg, 0, 0, 0, platform::PM_REMOVE)) {
    }
  }

  void Answer(const std::string& text) {
    ASSERT_TRUE(pipe_.Write(text));
  }

  void EndInput() {
    pipe_.CloseWrite();
  }

  std::unique_ptr<TApplication> app;
  std::vector<std::string> lines;

 private:
  testsupport::TestPipe pipe_;
};
