// Test runner. Tests open Zenoh sessions with the default configuration, which scouts by
// multicast on every interface, so the runner refuses to start where anything but loopback is
// visible (run it through scripts/netns).
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

int main(int argc, char** argv) {
  // /proc/net/dev lists the interfaces of this process's network namespace.
  std::ifstream dev("/proc/net/dev");
  std::string line;
  int lines = 0;
  while (std::getline(dev, line)) {
    if (++lines <= 2) continue;  // headers
    const auto colon = line.find(':');
    if (colon == std::string::npos) continue;
    const auto first = line.find_first_not_of(' ');
    const std::string name = line.substr(first, colon - first);
    if (name != "lo") {
      std::fprintf(stderr,
                   "FATAL: network interface '%s' is visible; tests open Zenoh sessions and must "
                   "run in a loopback-only namespace (scripts/netns).\n",
                   name.c_str());
      return 1;
    }
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
