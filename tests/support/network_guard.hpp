// Where tests may talk Zenoh: only in a network namespace that holds nothing but loopback
// (scripts/netns). Zenoh's default configuration scouts by multicast on every interface.
#pragma once

#include <string>

namespace orbalt::testing {

/// The first network interface other than loopback that this process can see, or "" when
/// loopback is all there is.
std::string NonLoopbackInterface();

/// Ends the test program with a message saying that `what` needs a loopback-only namespace,
/// unless loopback is all this process can see.
void RequireLoopbackOnly(const std::string& what);

}  // namespace orbalt::testing
