// Takes every sample of a robot's streams for a few seconds and says what arrived and what was
// lost on the way.
//
//   every_sample SERIAL_NUMBER [SECONDS]
//
// Run it where the robot is reachable; next to the simulator, both inside scripts/netns.
#include <chrono>
#include <cstdio>
#include <exception>
#include <orbaltkvt.hpp>
#include <string>

int main(int argc, char** argv) {
  using namespace std::chrono_literals;
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s SERIAL_NUMBER [SECONDS]\n", argv[0]);
    return 2;
  }
  const double seconds = argc > 2 ? std::stod(argv[2]) : 3.0;
  try {
    orbalt::kvt::Client client(argv[1], false);
    orbalt::kvt::SampleStream stream(client);

    std::size_t basic = 0, extra = 0;
    std::int64_t first_ns = 0, last_ns = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < end) {
      const orbalt::kvt::SampleBatch batch = stream.next(100ms);
      for (const orbalt::kvt::BasicSample& s : batch.basic) {
        if (first_ns == 0) first_ns = s.receive_time_ns;
        last_ns = s.receive_time_ns;
        const auto arm = s.states.find(orbalt::kvt::JointGroup::ARM_1);
        if (++basic % 500 == 1 && arm != s.states.end() && !arm->second.q.empty()) {
          std::printf("[%d,%09d] ARM_1 q0=%+.4f system %s, safety board %s\n", s.timestamp.first,
                      s.timestamp.second, arm->second.q[0], s.status.system_state_name.c_str(),
                      s.status.safety_board_state_name.c_str());
        }
      }
      extra += batch.extra.size();
    }

    const double span = static_cast<double>(last_ns - first_ns) / 1e9;
    std::printf("%zu basic samples (%.0f per second), %zu extra samples\n", basic,
                span > 0 ? static_cast<double>(basic - 1) / span : 0.0, extra);
    const auto print = [](const char* name, const orbalt::kvt::StreamCounters& c) {
      std::printf("%s: received %llu, delivered %llu, dropped %llu, gaps %llu, malformed %llu\n",
                  name, static_cast<unsigned long long>(c.received),
                  static_cast<unsigned long long>(c.delivered),
                  static_cast<unsigned long long>(c.dropped),
                  static_cast<unsigned long long>(c.gaps),
                  static_cast<unsigned long long>(c.malformed));
    };
    print("basic", stream.basic_counters());
    print("extra", stream.extra_counters());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  return 0;
}
