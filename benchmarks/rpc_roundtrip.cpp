// Round-trip time of RequestPlanInfo next to a bare zenoh query to the same service, from the
// same process and session, interleaved so both see the same conditions.
//
//   scripts/netns build/benchmarks/rpc_roundtrip [iterations] [SERIAL]
//
// Starts the simulated robot itself (request/reply only, no streams competing for the CPU), or
// with SERIAL uses a robot that already runs (behind a router, say).
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "messages/rpc_messages.hpp"
#include "middleware/nodes.hpp"
#include "raw_query.hpp"
#include "rpc/data_rpc.hpp"
#include "support/simulator.hpp"
#include "zenoh.hxx"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr const char* kSerialNumber = "ORB-BENCH-1";

// Zenoh's default configuration scouts by multicast on every interface.
bool OnlyLoopbackVisible() {
  std::ifstream dev("/proc/net/dev");
  std::string line;
  int lines = 0;
  while (std::getline(dev, line)) {
    if (++lines <= 2) continue;
    const auto colon = line.find(':');
    if (colon == std::string::npos) continue;
    const auto first = line.find_first_not_of(' ');
    if (line.substr(first, colon - first) != "lo") return false;
  }
  return true;
}

struct Summary {
  double p50_us;
  double p99_us;
  double max_us;
};

Summary Summarize(std::vector<double> us) {
  std::sort(us.begin(), us.end());
  const auto at = [&](double q) {
    const auto rank = static_cast<std::size_t>(std::ceil(q * static_cast<double>(us.size())));
    return us[std::min(us.size() - 1, rank == 0 ? 0 : rank - 1)];
  };
  return {at(0.50), at(0.99), us.back()};
}

}  // namespace

int main(int argc, char** argv) {
  if (!OnlyLoopbackVisible()) {
    std::fprintf(stderr, "run through scripts/netns: a non-loopback interface is visible\n");
    return 1;
  }
  const int iterations = argc > 1 ? std::atoi(argv[1]) : 2000;
  if (iterations <= 0) {
    std::fprintf(stderr, "usage: %s [iterations > 0]\n", argv[0]);
    return 2;
  }
  constexpr int kWarmup = 100;

  const std::string sn = argc > 2 ? argv[2] : kSerialNumber;
  std::unique_ptr<orbalt::testing::Simulator> sim;
  if (argc <= 2)
    sim =
        std::make_unique<orbalt::testing::Simulator>(sn, std::vector<std::string>{"--no-streams"});
  orbalt::zenoh_mdw::ReliableNode node;
  orbalt::kvt_impl::DataRpc rpc;
  rpc.Init(node, sn);
  const auto deadline = Clock::now() + 20s;
  while (!rpc.IsConnected()) {
    if (Clock::now() > deadline) {
      std::fprintf(stderr, "the simulated service never answered\n");
      return 1;
    }
    std::this_thread::sleep_for(20ms);
  }
  orbalt::bench::RawQuery raw(node.session_, "orbalt/robot/" + sn + "/rpc",
                              orbalt::zenoh_msgs::kvt_msg::kRpcPlanInfo, 2000);

  std::vector<double> rpc_us;
  std::vector<double> raw_us;
  rpc_us.reserve(iterations);
  raw_us.reserve(iterations);
  int failures = 0;
  for (int i = 0; i < kWarmup + iterations; ++i) {
    // Alternate which one goes first so neither always follows the other.
    for (int k = 0; k < 2; ++k) {
      if ((i + k) % 2 == 0) {
        orbalt::kvt::PlanInfo info;
        const auto start = Clock::now();
        const bool ok = rpc.RequestPlanInfo(info).value == orbalt::kvt_impl::OK;
        const std::chrono::duration<double, std::micro> took = Clock::now() - start;
        failures += ok ? 0 : 1;
        if (i >= kWarmup && ok) rpc_us.push_back(took.count());
      } else {
        std::chrono::nanoseconds took{};
        const bool ok = raw.Run(took);
        failures += ok ? 0 : 1;
        if (i >= kWarmup && ok) {
          raw_us.push_back(std::chrono::duration<double, std::micro>(took).count());
        }
      }
    }
  }
  if (rpc_us.empty() || raw_us.empty()) {
    std::fprintf(stderr, "no successful round trip\n");
    return 1;
  }

  const Summary a = Summarize(rpc_us);
  const Summary b = Summarize(raw_us);
  std::printf(
      "round trip to the simulated data service, %d interleaved iterations each "
      "(after %d warm-up), failures %d\n",
      iterations, kWarmup, failures);
  std::printf("%-28s %8s %10s %10s %10s\n", "", "n", "p50 [us]", "p99 [us]", "max [us]");
  std::printf("%-28s %8zu %10.1f %10.1f %10.1f\n", "DataRpc::RequestPlanInfo", rpc_us.size(),
              a.p50_us, a.p99_us, a.max_us);
  std::printf("%-28s %8zu %10.1f %10.1f %10.1f\n", "zenoh::Session::get (bare)", raw_us.size(),
              b.p50_us, b.p99_us, b.max_us);
  std::printf("%-28s %8s %10.1f %10.1f\n", "difference", "", a.p50_us - b.p50_us,
              a.p99_us - b.p99_us);
  std::printf(
      "json: {\"rpc_p50_us\": %.2f, \"rpc_p99_us\": %.2f, \"bare_p50_us\": %.2f, "
      "\"bare_p99_us\": %.2f, \"failures\": %d}\n",
      a.p50_us, a.p99_us, b.p50_us, b.p99_us, failures);
  return failures == 0 ? 0 : 3;
}
