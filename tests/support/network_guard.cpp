#include "support/network_guard.hpp"

#include <cstdio>
#include <cstdlib>
#include <fstream>

namespace orbalt::testing {

std::string NonLoopbackInterface() {
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
    if (name != "lo") return name;
  }
  return "";
}

void RequireLoopbackOnly(const std::string& what) {
  const std::string visible = NonLoopbackInterface();
  if (visible.empty()) return;
  std::fprintf(stderr,
               "FATAL: %s, but network interface '%s' is visible; that must happen in a "
               "loopback-only namespace (scripts/netns).\n",
               what.c_str(), visible.c_str());
  std::fflush(stderr);
  std::_Exit(1);
}

}  // namespace orbalt::testing
