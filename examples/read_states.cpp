// Connects to a robot and prints a few lines of live data.
//
//   read_states SERIAL_NUMBER [SAMPLES]
//
// Run it where the robot is reachable; next to the simulator, both inside scripts/netns.
#include <chrono>
#include <cstdio>
#include <exception>
#include <orbaltkvt.hpp>
#include <string>
#include <thread>

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s SERIAL_NUMBER [SAMPLES]\n", argv[0]);
    return 2;
  }
  const int samples = argc > 2 ? std::stoi(argv[2]) : 5;
  try {
    orbalt::kvt::Client client(argv[1], true);

    for (const auto& [group, name] : client.groups()) std::printf("group %s\n", name.c_str());

    for (int i = 0; i < samples; ++i) {
      for (const auto& [group, s] : client.states()) {
        const auto& name = orbalt::kvt::kJointGroupNames.at(group);
        std::printf("[%d,%d] %-8s q0=%+.4f tau0=%+.3f tcp=(%+.3f %+.3f %+.3f)\n", s.timestamp.first,
                    s.timestamp.second, name.c_str(), s.q.empty() ? 0.0 : s.q[0],
                    s.tau.empty() ? 0.0 : s.tau[0], s.tcp_pose[0], s.tcp_pose[1], s.tcp_pose[2]);
      }
      std::string inputs;
      for (bool b : client.digital_inputs()) inputs += b ? '1' : '0';
      std::printf("e-stop released=%d enabling device=%d DI=%s\n", client.estop_released(),
                  client.enabling_device_on(), inputs.c_str());
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }

    const auto plan = client.plan_info();
    std::printf("plan %s, primitive %s, velocity scale %.2f\n", plan.assigned_plan_name.c_str(),
                plan.pt_name.c_str(), plan.velocity_scale);
    for (const auto& [group, score] : client.configuration_score()) {
      std::printf("configuration score %s: %.1f %.1f\n",
                  orbalt::kvt::kJointGroupNames.at(group).c_str(), score.first, score.second);
    }
    for (const auto& [group, ps] : client.primitive_states()) {
      std::printf("primitive on %s: %s (%zu values)\n",
                  orbalt::kvt::kJointGroupNames.at(group).c_str(), ps.pt_name.c_str(),
                  ps.names_and_values.size());
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  return 0;
}
