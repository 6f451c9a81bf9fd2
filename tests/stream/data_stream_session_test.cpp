// The stream intake on a real session: subscribing, and both streams of the simulated robot.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "stream/data_stream.hpp"
#include "stream/data_stream_access.hpp"
#include "support/log_capture.hpp"
#include "support/simulator.hpp"
#include "support/wait.hpp"

namespace {

using orbalt::kvt::JointGroup;
using orbalt::kvt_impl::DataStream;
using orbalt::kvt_impl::DataStreamTestAccess;
using orbalt::testing::LogCapture;

constexpr JointGroup ARM_1 = JointGroup::ARM_1;

TEST(DataStream, InitFailsOnAnInvalidTopicWithoutTheExtraSubscription) {
  orbalt::zenoh_mdw::RealtimeNode node;
  DataStream stream;
  try {
    stream.Init(node, "bad?sn");
    FAIL() << "subscribed to an invalid topic";
  } catch (const zenoh::ZException& e) {
    EXPECT_EQ(std::string(e.what()).rfind(
                  "Failed to construct KeyExpr from: orbalt/robot/bad?sn/basic_stream_data", 0),
              0u)
        << e.what();
  }
  EXPECT_FALSE(DataStreamTestAccess::Subscribed(stream, true));
  EXPECT_FALSE(DataStreamTestAccess::Subscribed(stream, false));
}

using orbalt::testing::WaitUntil;

TEST(DataStream, ReadsTheSimulatedRobotsStreams) {
  const auto sim_start = std::chrono::steady_clock::now();
  orbalt::testing::Simulator sim("ORB-STR-1", {"--preset", "dual", "--rate", "1000"});
  LogCapture log(spdlog::level::debug);
  orbalt::zenoh_mdw::RealtimeNode node;
  DataStream stream;
  EXPECT_EQ(stream.Init(node, "ORB-STR-1").value, orbalt::kvt_impl::OK);
  EXPECT_EQ(log.Texts(spdlog::level::debug),
            (std::vector<std::string>{"[orbalt::kvt::Client] Creating subscriber on topic: "
                                      "orbalt/robot/ORB-STR-1/basic_stream_data",
                                      "[orbalt::kvt::Client] Creating subscriber on topic: "
                                      "orbalt/robot/ORB-STR-1/extra_stream_data"}));

  ASSERT_TRUE(WaitUntil([&] { return stream.GetJointGroups(true).size() == 5; }))
      << "no basic sample from the simulator";
  ASSERT_TRUE(WaitUntil([&] { return stream.GetJointGroups(false).size() == 5; }))
      << "no extra sample from the simulator";

  // One exact sample: a half turn about z and a known local wrench.
  sim.Command(R"({"cmd": "pause", "stream": "basic"})");
  const std::string zeros = "[0, 0, 0, 0, 0, 0, 0]";
  sim.Command(R"({"cmd": "publish", "stream": "basic", "sample": {"system_state": 19, )"
              R"("safety_board_state": -1, "estop_released": true, "joint_group_indices": [3], )"
              R"("joint_data": {"q": [0, 1, 2, 3, 4, 5, 6], "theta": )" +
              zeros + R"(, "dq": )" + zeros + R"(, "dtheta": )" + zeros + R"(, "tau": )" + zeros +
              R"(, "tau_dot": )" + zeros + R"(, "tau_ext": )" + zeros + R"(, "tau_interact": )" +
              zeros + R"(, "temperature": )" + zeros +
              R"(}, "cartesian_data": [{"tcp_pose": [0, 0, 0, 0, 0, 0, 1], )"
              R"("tcp_wrench_local": [1, 2, 3, 4, 5, 6]}], "timestamp": [5, 6]}})");
  ASSERT_TRUE(WaitUntil([&] { return stream.GetSystemState() == obr::SystemState{19}; }));
  EXPECT_EQ(stream.GetSafetyBoardState(), obr::SafetyBoardState::UNKNOWN);
  const auto states = stream.GetRobotStates({{ARM_1, "ARM_1"}}, {{ARM_1, 2}}, {{ARM_1, 3}});
  ASSERT_EQ(states.size(), 1u);
  EXPECT_EQ(states.at(ARM_1).q, (std::vector<double>{2, 3, 4}));
  EXPECT_EQ(states.at(ARM_1).timestamp, (std::pair<std::int32_t, std::int32_t>{5, 6}));
  EXPECT_EQ(states.at(ARM_1).tcp_wrench, (std::array<double, 6>{-1, -2, 3, -4, -5, 6}));

  // Samples that fail to decode leave that sample in place. The simulator publishes at most
  // one sample a millisecond from its start, so this count is only reached after at least 300
  // faulty samples.
  sim.Command(R"({"cmd": "stream_fault", "stream": "basic", "fault": {"trailing_byte": true}})");
  const auto since_start = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - sim_start);
  sim.Command(R"({"cmd": "resume", "stream": "basic"})");
  ASSERT_TRUE(sim.WaitForSamples("basic", static_cast<int>(since_start.count()) + 305, 10.0));
  sim.Command(R"({"cmd": "pause", "stream": "basic"})");
  EXPECT_EQ(stream.GetSystemState(), obr::SystemState{19});
  EXPECT_EQ(stream.GetJointGroups(true).size(), 1u);
}

}  // namespace
