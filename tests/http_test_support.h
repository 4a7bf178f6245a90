// Shared by the HTTP client test programs.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "tests/loopback_only.h"

namespace http_test {

// The client waits without a time-out; should a server ever fail to close,
// this ends the whole run instead of letting it hang.
constexpr int kWatchdogSeconds = 90;
class Watchdog : public testing::Environment {
  void SetUp() override {
    std::thread([] {
      std::this_thread::sleep_for(std::chrono::seconds(kWatchdogSeconds));
      std::fprintf(stderr, "watchdog: the run took longer than %d s\n", kWatchdogSeconds);
      std::abort();
    }).detach();
  }
};
inline testing::Environment* const watchdog = testing::AddGlobalTestEnvironment(new Watchdog);

// Packed fields are read by value: the test macros take references, which
// would be misaligned.
inline int Get(int packedField) { return packedField; }

}  // namespace http_test
