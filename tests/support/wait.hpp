// Waiting on a condition with a deadline, for tests that watch live streams.
#pragma once

#include <chrono>
#include <thread>

namespace orbalt::testing {

/// Polls `done` until it holds; false when `timeout` passes first.
template <class Predicate>
bool WaitUntil(Predicate done,
               std::chrono::milliseconds timeout = std::chrono::milliseconds(20000)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

}  // namespace orbalt::testing
