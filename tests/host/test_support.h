// The fixture every host test uses: a fresh fake system per test.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>

#include "build_constants.h"
#include "fake_platform.h"
#include "staging/staging.h"

class FakePlatformTest : public ::testing::Test {
 protected:
  void SetUp() override {
    system_ = std::make_unique<FakeSystem>();
    fake = system_.get();
    ForgetCachedVersionForTesting();
    ForgetCachedBaseFolderForTesting();
  }
  void TearDown() override { fake = nullptr; }

  // Runs code that must end the process; returns the exit code.
  static uint32_t ExitCodeOf(const std::function<void()>& code) {
    try {
      code();
    } catch (const FakeExit& exit) {
      return exit.code;
    }
    ADD_FAILURE() << "the process was expected to end";
    return 0;
  }

  std::unique_ptr<FakeSystem> system_;
};

inline bool KitEdition() { return std::string(build::kProductTag) == "tpz"; }
inline bool X64Build() { return std::string(build::kArchitectureTag) == "amd64"; }
inline std::string ProductName() { return std::string(build::kProductTag) + build::kProductVersion; }
inline std::string ProductFolder() { return ProductName() + (X64Build() ? "_x64" : ""); }
inline std::string PackageName() { return ProductName() + ".msi"; }
