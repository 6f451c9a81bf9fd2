// Runner of the offline tests (files named *_offline_test.cpp): they open no Zenoh session and
// start no peer, so they run anywhere, without root. That is enforced, not trusted: outside a
// loopback-only namespace, opening a session (the transport's orbz_open, wrapped at link time)
// or starting the simulated robot ends the program with a message before anything is sent.
#include <gtest/gtest.h>

#include <cstdint>

#include "support/network_guard.hpp"

extern "C" {
std::int8_t __real_orbz_open(void** out, void* config);

std::int8_t __wrap_orbz_open(void** out, void* config) {
  orbalt::testing::RequireLoopbackOnly(
      "a test of the offline runner opens a Zenoh session (name its file *_test.cpp, not "
      "*_offline_test.cpp)");
  return __real_orbz_open(out, config);
}
}

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
