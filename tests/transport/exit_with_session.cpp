// Exits while the Zenoh session is still held, in the ways a host program might. The process
// must end with status 0: no panic of the Zenoh runtime and no abort at shutdown.
//
//   exit_with_session static|leak|exit-from-thread|subscriber
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>

#include "middleware/shared_session.hpp"
#include "zenoh.hxx"

namespace {

std::shared_ptr<zenoh::Session> g_session;  // destroyed by the static destructors
std::unique_ptr<zenoh::Subscriber<void>> g_subscriber;

void IssueQuery(const zenoh::Session& session) {
  zenoh::Session::GetOptions options;
  options.timeout_ms = 10000;
  session.get(
      zenoh::KeyExpr("orbalt/test/exit/rpc"), "", [](const zenoh::Reply&) {}, [] {},
      std::move(options));
}

}  // namespace

int main(int argc, char** argv) {
  const char* mode = argc > 1 ? argv[1] : "static";
  if (std::strcmp(mode, "static") == 0) {
    g_session = orbalt::zenoh_mdw::GetSharedZenohSession();
    IssueQuery(*g_session);
  } else if (std::strcmp(mode, "leak") == 0) {
    auto* leaked = new std::shared_ptr<zenoh::Session>(orbalt::zenoh_mdw::GetSharedZenohSession());
    IssueQuery(**leaked);
  } else if (std::strcmp(mode, "exit-from-thread") == 0) {
    g_session = orbalt::zenoh_mdw::GetSharedZenohSession();
    std::thread([] {
      std::puts("exiting with the session held");
      std::fflush(stdout);
      std::exit(0);
    }).join();
  } else if (std::strcmp(mode, "subscriber") == 0) {
    g_session = orbalt::zenoh_mdw::GetSharedZenohSession();
    g_subscriber = std::make_unique<zenoh::Subscriber<void>>(g_session->declare_subscriber(
        zenoh::KeyExpr("orbalt/test/exit/stream"), [](const zenoh::Sample&) {}, [] {}));
    g_session->put(zenoh::KeyExpr("orbalt/test/exit/stream"), zenoh::Bytes({1, 2, 3}));
  } else {
    std::fprintf(stderr, "unknown mode %s\n", mode);
    return 2;
  }
  std::puts("exiting with the session held");
  return 0;
}
