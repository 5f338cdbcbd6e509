// An application on the console backend whose lines are collected and whose answers
// come from a pipe the test writes to.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "gui/application.h"
#include "gui/consolebackend.h"
#include "platform/messages.h"

class ConsoleGuiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(pipe(pipe_), 0);
    app = std::make_unique<TApplication>(
        std::make_unique<TConsoleBackend>(pipe_[0], [this](const std::string& line) { lines.push_back(line); }));
  }

  void TearDown() override {
    app.reset();
    // A terminated run leaves its quit message behind.
    platform::MSG msg;
    while (platform::PeekMessage(&msg, 0, 0, 0, platform::PM_REMOVE)) {
    }
    close(pipe_[0]);
    if (pipe_[1] >= 0) close(pipe_[1]);
  }

  void Answer(const std::string& text) {
    ASSERT_EQ(write(pipe_[1], text.data(), text.size()), static_cast<ssize_t>(text.size()));
  }

  void EndInput() {
    close(pipe_[1]);
    pipe_[1] = -1;
  }

  std::unique_ptr<TApplication> app;
  std::vector<std::string> lines;

 private:
  int pipe_[2] = {-1, -1};
};
