// A fresh directory per test under the build tree, removed at the end.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

class TestDir {
 public:
  TestDir() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    path_ = std::filesystem::path(TEST_BINARY_DIR) / "test-files" /
            (std::string(info->test_suite_name()) + "." + info->name());
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
  }
  ~TestDir() { std::filesystem::remove_all(path_); }
  TestDir(const TestDir&) = delete;
  TestDir& operator=(const TestDir&) = delete;

  // The path of a name inside the directory.
  std::string operator/(const std::string& name) const { return (path_ / name).string(); }

  static std::string Contents(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  static void Put(const std::string& file, const std::string& text) {
    std::ofstream(file, std::ios::binary) << text;
  }

 private:
  std::filesystem::path path_;
};
