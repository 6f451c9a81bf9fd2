// Runner of the network tests. They open Zenoh sessions with the default configuration, which
// scouts by multicast on every interface, so the runner refuses to start where anything but
// loopback is visible (run it through scripts/netns). Listing the tests opens nothing.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "support/network_guard.hpp"

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (!GTEST_FLAG_GET(list_tests)) {
    const std::string visible = orbalt::testing::NonLoopbackInterface();
    if (!visible.empty()) {
      std::fprintf(stderr,
                   "FATAL: network interface '%s' is visible; tests open Zenoh sessions and must "
                   "run in a loopback-only namespace (scripts/netns).\n",
                   visible.c_str());
      return 1;
    }
  }
  return RUN_ALL_TESTS();
}
