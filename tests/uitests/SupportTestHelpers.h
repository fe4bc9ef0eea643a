// Scratch resource folders, the "test_env" variable and a failure recorder for the support
// layer's unit tests.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "Utility/TestBundle.h"
#include "Utility/TestFailure.h"

class ScratchBundle {
 public:
  explicit ScratchBundle(const std::string& env) {
    dir_ = std::filesystem::temp_directory_path() /
           ("vesmora-bundle-" + std::to_string(::getpid()) + "-" + std::to_string(counter()++));
    std::filesystem::create_directories(dir_);
    previousDir_ = TestBundle::setResourceDirectory(dir_.string());
    const char* old = std::getenv("test_env");
    hadEnv_ = old != nullptr;
    if (old) previousEnv_ = old;
    ::setenv("test_env", env.c_str(), 1);
  }
  ~ScratchBundle() {
    TestBundle::setResourceDirectory(previousDir_);
    if (hadEnv_) {
      ::setenv("test_env", previousEnv_.c_str(), 1);
    } else {
      ::unsetenv("test_env");
    }
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  void write(const std::string& fileName, const std::string& content) {
    std::ofstream(dir_ / fileName, std::ios::binary) << content;
  }

 private:
  static int& counter() {
    static int c = 0;
    return c;
  }
  std::filesystem::path dir_;
  std::string previousDir_;
  std::string previousEnv_;
  bool hadEnv_ = false;
};

// Collects the failures the support layer records; a stop throws, as the runner's handler does.
class FailureRecorder {
 public:
  struct Stop {};
  FailureRecorder() {
    previous_ = TestFailure::setHandler([this](const std::string& message, bool stop) {
      messages.push_back(message);
      if (stop) throw Stop{};
    });
  }
  ~FailureRecorder() { TestFailure::setHandler(previous_); }
  std::vector<std::string> messages;

 private:
  TestFailure::Handler previous_;
};
