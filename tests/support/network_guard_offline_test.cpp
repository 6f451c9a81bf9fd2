// The offline runner's guard: outside a loopback-only namespace, a test that opens a Zenoh
// session ends the program before the transport is reached.
#include <gtest/gtest.h>

#include <cstdint>

#include "support/network_guard.hpp"

extern "C" std::int8_t orbz_open(void** out, void* config);

namespace {

TEST(OfflineRunner, EndsATestThatOpensASessionOutsideANamespace) {
  if (orbalt::testing::NonLoopbackInterface().empty()) {
    GTEST_SKIP() << "only loopback is visible here; the guard lets sessions open";
  }
  // Without a configuration the transport refuses at once, so even a missing guard would send
  // nothing; the child would then return instead of ending with the message.
  void* session = nullptr;
  EXPECT_EXIT(orbz_open(&session, nullptr), ::testing::ExitedWithCode(1),
              "FATAL: a test of the offline runner opens a Zenoh session .*loopback-only "
              "namespace \\(scripts/netns\\)");
}

}  // namespace
