// The whole client against the simulated robot.
#include "orbalt/kvt/client.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <thread>

#include "support/log_capture.hpp"
#include "support/simulator.hpp"
#include "support/wait.hpp"

namespace {

using namespace std::chrono_literals;
using orbalt::kvt::Client;
using orbalt::kvt::JointGroup;
using orbalt::testing::LogCapture;
using orbalt::testing::Simulator;

constexpr const char* kConnected = "[orbalt::kvt::Client] Connected to the robot";
constexpr const char* kExited = ">>>>> Orbalt KVT exited <<<<<";
constexpr const char* kBanner = "| | | | | | | | | |  Orbalt KVT v2.1  | | | | | | | | | |";

std::string NextSerial() {
  static int n = 0;
  return "CLI-" + std::to_string(::getpid()) + "-" + std::to_string(++n);
}

template <class E>
std::string ConstructionError(const std::string& sn) {
  try {
    Client client(sn, false);
  } catch (const E& e) {
    return e.what();
  }
  return "<nothing thrown>";
}

bool Eventually(const std::function<bool()>& condition) {
  return orbalt::testing::WaitUntil(condition, 10s);
}

TEST(ClientStartUp, VerboseClientLogsItsProgressAndLayout) {
  Simulator sim(NextSerial());
  {
    LogCapture log(spdlog::level::info);
    const auto start = std::chrono::steady_clock::now();
    Client client(sim.serial_number(), true);
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start);
    std::printf("construction against a running robot took %lld ms\n",
                static_cast<long long>(took.count()));
    const std::vector<std::string> expected = {
        kBanner,
        "[orbalt::kvt::Client] Searching for [" + sim.serial_number() + "] ...",
        kConnected,
        "[orbalt::kvt::Client] Joint group: ALL, DoF: 16",
        "[orbalt::kvt::Client] Joint group: ARMS, DoF: 14",
        "[orbalt::kvt::Client] Joint group: ARM_1, DoF: 7",
        "[orbalt::kvt::Client] Joint group: ARM_2, DoF: 7",
        "[orbalt::kvt::Client] Joint group: EXT_AXIS, DoF: 2",
        "[orbalt::kvt::Client] Initialization complete",
    };
    EXPECT_EQ(log.Texts(spdlog::level::info), expected);
    EXPECT_EQ(sim.RequestCounts()[0], 1);
    EXPECT_TRUE(client.connected());
  }
}

TEST(ClientStartUp, QuietClientLogsOnlyConnectedAndExit) {
  Simulator sim(NextSerial(), {"--preset", "single"});
  LogCapture log(spdlog::level::info);
  {
    Client client(sim.serial_number(), false);
    EXPECT_EQ(log.Texts(spdlog::level::info), std::vector<std::string>{kConnected});
    EXPECT_EQ(client.groups().size(), 2u);
  }
  EXPECT_EQ(log.Texts(spdlog::level::info), (std::vector<std::string>{kConnected, kExited}));
}

TEST(ClientStartUp, NoRobotMeansThreeProbesThenTheFullMessageThenTheExitLine) {
  Simulator sim(NextSerial());
  sim.Command(R"({"cmd": "rpc_fault", "id": 0, "fault": {"no_reply": true}})");
  const std::string sn = sim.serial_number();
  const std::string spaced = sn.substr(0, 3) + " " + sn.substr(4);  // normalizes back to sn
  LogCapture log(spdlog::level::info);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(ConstructionError<std::runtime_error>(spaced),
            "[orbalt::kvt::Client] Failed to connect to [" + sn +
                "]. Please check that: a) Ethernet connection with the target robot is "
                "established; b) The specified serial number of the target robot is correct; c) "
                "No firewall is active or this KVT program is whitelisted; d) KVT version is "
                "compatible with the target robot's software version");
  const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - start);
  std::printf("search without an answer gave up after %lld ms\n",
              static_cast<long long>(took.count()));
  EXPECT_EQ(sim.RequestCounts()[0], 3);
  EXPECT_EQ(log.Count(kConnected), 0);
  EXPECT_EQ(log.Texts(spdlog::level::info), std::vector<std::string>{kExited});
}

TEST(ClientStartUp, RobotAnsweringOnlyTheSecondProbeIsFound) {
  Simulator sim(NextSerial());
  sim.Command(R"({"cmd": "answer_from", "id": 0, "nth": 2})");
  LogCapture log(spdlog::level::info);
  Client client(sim.serial_number(), false);
  EXPECT_EQ(log.Count(kConnected), 1);
  EXPECT_EQ(sim.RequestCounts()[0], 2);
}

TEST(ClientStartUp, RefusesOtherVersionsAndFailedRequests) {
  Simulator sim(NextSerial());
  const std::string incompatible =
      "[orbalt::kvt::Client] Version of this client is incompatible with robot [" +
      sim.serial_number() + "]";
  for (const char* version : {"v2.1.0", "V2.1", "v2."}) {
    sim.Command(std::string(R"({"cmd": "version", "text": ")") + version + "\"}");
    EXPECT_EQ(ConstructionError<std::logic_error>(sim.serial_number()), incompatible) << version;
  }
  sim.Command(R"({"cmd": "version", "text": "v2.1"})");

  sim.Command(R"({"cmd": "rpc_fault", "id": 1, "fault": {"no_reply": true, "times": 1}})");
  EXPECT_EQ(ConstructionError<std::runtime_error>(sim.serial_number()),
            "[orbalt::kvt::Client] Failed to sync KVT server version");

  sim.Command(R"({"cmd": "rpc_fault", "id": 10, "fault": {"success": false, "times": 1}})");
  EXPECT_EQ(ConstructionError<std::runtime_error>(sim.serial_number()),
            "[orbalt::kvt::Client] Failed to obtain robot start ID and DoF information");

  EXPECT_NO_THROW(Client(sim.serial_number(), false));
}

TEST(ClientStartUp, WithoutABasicSampleTheLayoutStaysEmpty) {
  Simulator sim(NextSerial());
  sim.Command(R"({"cmd": "pause", "stream": "both"})");
  Client client(sim.serial_number(), false);
  EXPECT_TRUE(client.groups().empty());
  EXPECT_TRUE(client.states().empty());

  sim.Command(R"({"cmd": "resume", "stream": "both"})");
  ASSERT_TRUE(Eventually([&] { return client.groups().size() == 5; }));
  // Only the Cartesian blocks of the groups the sample lists; no per-joint data.
  const auto states = client.states();
  ASSERT_EQ(states.size(), 5u);
  EXPECT_TRUE(states.at(JointGroup::ARM_1).q.empty());
  EXPECT_NE(states.at(JointGroup::ARM_1).tcp_pose[3] + states.at(JointGroup::ARM_1).tcp_pose[4] +
                states.at(JointGroup::ARM_1).tcp_pose[5] + states.at(JointGroup::ARM_1).tcp_pose[6],
            0.0);
  // Every primitive-state marker is an unknown joint group now.
  EXPECT_THROW(client.primitive_states(), std::runtime_error);
}

TEST(ClientStartUp, GroupsFollowTheStreamWhileStatesKeepTheStartUpLayout) {
  Simulator sim(NextSerial());
  Client client(sim.serial_number(), false);
  EXPECT_EQ(client.states().size(), 5u);
  sim.Command(R"({"cmd": "layout", "preset": "single"})");
  ASSERT_TRUE(Eventually([&] { return client.groups().size() == 2; }));
  LogCapture log;
  // The layout of start-up no longer fits the 7-joint samples.
  ASSERT_TRUE(Eventually([&] { return client.states().empty(); }));
  EXPECT_GE(log.Count("[orbalt::kvt::Client] Failed to segment full-DoF joint data for joint "
                      "group [0]"),
            1);
}

TEST(ClientStartUp, KeyExpressionSyntaxInTheSerialNumberReachesNoRobot) {
  // Two robots of one series: P-1 with two arms, P-2 with one.
  const std::string p = "KX" + std::to_string(::getpid());
  Simulator dual(p + "-1");
  Simulator single(p + "-2", {"--preset", "single"});
  for (const std::string suffix : {"$*", "*", "1/**", "1*", "**", "1$*", "1?", "1#", "1/rpc"}) {
    EXPECT_EQ(ConstructionError<std::invalid_argument>(p + "-" + suffix),
              "[orbalt::kvt::Client] Format of the provided robot serial number is invalid")
        << suffix;
  }
  EXPECT_TRUE(dual.RequestCounts().empty());
  EXPECT_TRUE(single.RequestCounts().empty());

  // Each exact serial number reads its own robot only.
  LogCapture log;
  Client one(p + "-1", false);
  Client two(p + "-2", false);
  for (int i = 0; i < 50; ++i) {
    ASSERT_EQ(one.states().size(), 5u);
    ASSERT_EQ(two.states().size(), 2u);
    ASSERT_EQ(two.actions().at(JointGroup::ARM_1).q_d.size(), 7u);
  }
  dual.Command(R"({"cmd": "reset_counts"})");
  single.Command(R"({"cmd": "reset_counts"})");
  one.plan_info();
  EXPECT_EQ(dual.RequestCounts(), (std::map<int, int>{{4, 1}}));
  EXPECT_TRUE(single.RequestCounts().empty());
  EXPECT_EQ(two.configuration_score().size(), 2u);
  EXPECT_EQ(single.RequestCounts(), (std::map<int, int>{{9, 1}}));
  EXPECT_TRUE(log.Texts(spdlog::level::err).empty());
}

class ClientQueries : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    sim_ = new Simulator(NextSerial());
    client_ = new Client(sim_->serial_number(), false);
  }
  static void TearDownTestSuite() {
    delete client_;
    delete sim_;
  }
  void TearDown() override { sim_->Command(R"({"cmd": "reset"})"); }

  static inline Simulator* sim_ = nullptr;
  static inline Client* client_ = nullptr;
};

TEST_F(ClientQueries, StreamReadsMatchWhatTheRobotPublished) {
  sim_->Command(R"({"cmd": "pause", "stream": "both"})");
  // A sample with known values for the dual-arm layout (16 joints).
  std::string q, zeros16, contacts;
  for (int i = 0; i < 16; ++i) {
    q += (i ? ", " : "") + std::to_string(i) + ".5";
    zeros16 += i ? ", 0.0" : "0.0";
    contacts += i ? ", [0, 0, 0]" : "[0, 0, 0]";
  }
  std::string cartesian;
  for (int g = 0; g < 5; ++g) {
    cartesian += std::string(g ? ", " : "") +
                 R"({"flange_pose": [0,0,0,1,0,0,0], "tcp_pose": [1,2,3,0,0,0,1],)"
                 R"( "tcp_twist": [0,0,0,0,0,0], "tcp_wrench_local": [1,2,3,4,5,6],)"
                 R"( "spare_array": [0,0,0,0,0,0], "raw_tcp_wrench_local": [1,0,0,0,1,0],)"
                 R"( "raw_ft_sensor": [6,5,4,3,2,1]})";
  }
  std::string digital_in, digital_out;
  for (int i = 0; i < 20; ++i) {
    digital_in += std::string(i ? ", " : "") + (i % 3 == 0 ? "true" : "false");
    digital_out += std::string(i ? ", " : "") + (i == 19 ? "true" : "false");
  }
  const std::string joint_data = "{\"q\": [" + q + "], \"theta\": [" + zeros16 + "], \"dq\": [" +
                                 zeros16 + "], \"dtheta\": [" + zeros16 + "], \"tau\": [" + q +
                                 "], \"tau_dot\": [" + zeros16 + "], \"tau_ext\": [" + zeros16 +
                                 "], \"tau_interact\": [" + zeros16 + "], \"temperature\": [" +
                                 zeros16 + "], \"contact_forces\": [" + contacts +
                                 "], \"contact_positions\": [" + contacts + "]}";
  sim_->Command(R"({"cmd": "publish", "stream": "basic", "sample": {"system_state": 7,)"
                R"( "safety_board_state": -1, "estop_released": true, "enabling_device_on": true,)"
                R"( "safety_inputs": [true, false, true, false, true, false, true, false],)"
                R"( "digital_inputs": [)" +
                digital_in + R"(], "digital_outputs": [)" + digital_out +
                R"(], "joint_group_indices": [0, 2, 3, 4, 5], "joint_data": )" + joint_data +
                R"(, "cartesian_data": [)" + cartesian + R"(], "timestamp": [-5, 4000000000]}})");
  ASSERT_TRUE(Eventually([&] {
    const auto s = client_->states();
    return !s.empty() && s.begin()->second.timestamp.first == -5;
  }));
  const auto states = client_->states();
  EXPECT_EQ(states.at(JointGroup::ARM_2).q,
            (std::vector<double>{7.5, 8.5, 9.5, 10.5, 11.5, 12.5, 13.5}));
  EXPECT_EQ(states.at(JointGroup::EXT_AXIS).tau, (std::vector<double>{14.5, 15.5}));
  // 4000000000 does not fit a signed 32-bit integer: the pair keeps the bits.
  EXPECT_EQ(states.at(JointGroup::ALL).timestamp.second, static_cast<std::int32_t>(4000000000u));
  // Half turn about z: x and y of both 3-vectors change sign.
  EXPECT_EQ(states.at(JointGroup::ARM_1).tcp_wrench, (std::array<double, 6>{-1, -2, 3, -4, -5, 6}));
  EXPECT_EQ(states.at(JointGroup::ARM_1).raw_tcp_wrench,
            (std::array<double, 6>{-1, 0, 0, 0, -1, 0}));
  EXPECT_TRUE(client_->estop_released());
  EXPECT_TRUE(client_->enabling_device_on());
  const auto inputs = client_->digital_inputs();
  const auto outputs = client_->digital_outputs();
  for (int i = 0; i < 20; ++i) {
    EXPECT_EQ(inputs[i], i % 3 == 0) << i;
    EXPECT_EQ(outputs[i], i == 19) << i;
  }
  // Desired values come from the extra stream, stamped with the basic sample's timestamp.
  const auto actions = client_->actions();
  ASSERT_EQ(actions.size(), 5u);
  EXPECT_EQ(actions.at(JointGroup::ARM_1).timestamp, states.at(JointGroup::ARM_1).timestamp);
  EXPECT_EQ(actions.at(JointGroup::ARM_1).q_d.size(), 7u);
  sim_->Command(R"({"cmd": "resume", "stream": "both"})");
}

TEST_F(ClientQueries, PlanInfoAndItsFailure) {
  const auto info = client_->plan_info();
  EXPECT_FALSE(info.pt_name.empty());
  sim_->Command(R"({"cmd": "rpc_fault", "id": 4, "fault": {"no_reply": true, "times": 1}})");
  try {
    client_->plan_info();
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "[orbalt::kvt::Client] plan_info: No reply from the robot");
  }
  EXPECT_TRUE(client_->connected());
  sim_->Command(
      R"({"cmd": "rpc_fault", "id": 4, "fault": {"times": 1, "reply": {"request_id": 4,)"
      R"( "success": true, "string_container": ["pt", "node", "path", "1.5", "3", "plan",)"
      R"( "0.25", "1"]}}})");
  const auto scripted = client_->plan_info();
  EXPECT_EQ(scripted.assigned_plan_name, "plan");
  EXPECT_EQ(scripted.velocity_scale, 0.25);
  EXPECT_TRUE(scripted.waiting_for_step);
}

TEST_F(ClientQueries, ConfigurationScoreAnchors) {
  // Row layout: two unused floats, then the six values; the first score reads value 2 (float 4),
  // the second value 5 (float 7).
  sim_->Command(R"({"cmd": "rpc_fault", "id": 9, "fault": {"times": 1, "reply": {"request_id": 9,)"
                R"( "success": true, "joint_groups": [0, 2, 3, 4, 5], "float2d_container": [)"
                R"([9, 9, 0, 0, 0.0, 0, 0, 0.3],)"
                R"([9, 9, 0, 0, 0.08, 0, 0, 0.75],)"
                R"([9, 9, 0, 0, 0.15, 0, 0, 0.08],)"
                R"([9, 9, 0, 0, 0.5, 0, 0, NaN],)"
                R"([9, 9, 0, 0, -1, 0, 0, 2.0, 7]]}}})");
  const auto scores = client_->configuration_score();
  ASSERT_EQ(scores.size(), 5u);
  // Values travel as 32-bit floats: 0.3f is a little above 0.3.
  EXPECT_EQ(scores.at(JointGroup::ALL).first, 0);
  EXPECT_NEAR(scores.at(JointGroup::ALL).second, 40, 1e-4);
  EXPECT_NEAR(scores.at(JointGroup::ARMS).first, 20, 1e-5);  // float 0.08 is not double 0.08
  EXPECT_EQ(scores.at(JointGroup::ARMS).second, 100);
  EXPECT_NEAR(scores.at(JointGroup::ARM_1).first, 40, 1e-4);
  EXPECT_NEAR(scores.at(JointGroup::ARM_1).second, 20, 1e-4);
  EXPECT_EQ(scores.at(JointGroup::ARM_2), (std::pair<double, double>{100, 0}));
  EXPECT_EQ(scores.at(JointGroup::EXT_AXIS), (std::pair<double, double>{0, 100}));

  sim_->Command(R"({"cmd": "rpc_fault", "id": 9, "fault": {"times": 1, "reply": {"request_id": 9,)"
                R"( "success": true}}})");
  EXPECT_TRUE(client_->configuration_score().empty());

  sim_->Command(
      R"({"cmd": "rpc_fault", "id": 9, "fault": {"shorten": "joint_groups", "times": 1}})");
  try {
    client_->configuration_score();
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "[orbalt::kvt::Model::configuration_score] No reply from the robot");
  }
}

TEST_F(ClientQueries, PrimitiveStatesRetryWhileTheListIsDamaged) {
  const auto normal = client_->primitive_states();
  EXPECT_FALSE(normal.empty());
  for (const auto& [group, record] : normal) {
    EXPECT_FALSE(record.pt_name.empty()) << static_cast<int>(group);
  }

  sim_->Command(R"({"cmd": "reset_counts"})");
  sim_->Command(R"({"cmd": "corrupt_pt", "n": 5})");
  EXPECT_FALSE(client_->primitive_states().empty());  // the sixth try is good
  EXPECT_EQ(sim_->RequestCounts()[3], 6);

  sim_->Command(R"({"cmd": "reset_counts"})");
  sim_->Command(R"({"cmd": "corrupt_pt", "n": 6})");
  try {
    client_->primitive_states();
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(),
                 "[orbalt::kvt::Client::primitive_states] Still received corrupted data after "
                 "several attempts");
  }
  EXPECT_EQ(sim_->RequestCounts()[3], 6);

  sim_->Command(R"({"cmd": "rpc_fault", "id": 3, "fault": {"no_reply": true, "times": 1}})");
  try {
    client_->primitive_states();
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "[orbalt::kvt::Client::primitive_states] No reply from the robot");
  }

  sim_->Command(R"({"cmd": "rpc_fault", "id": 3, "fault": {"times": 1, "reply": {"request_id": 3,)"
                R"( "success": true}}})");
  EXPECT_TRUE(client_->primitive_states().empty());

  sim_->Command(R"({"cmd": "rpc_fault", "id": 3, "fault": {"times": 1, "reply": {"request_id": 3,)"
                R"( "success": true, "string_container": ["jointGroup=2", "primitiveName=Home",)"
                R"( "speed=0.5", "count=3", "mode=fast"]}}})");
  const auto scripted = client_->primitive_states();
  ASSERT_EQ(scripted.size(), 1u);
  EXPECT_EQ(scripted.at(JointGroup::ARMS).pt_name, "Home");
  EXPECT_EQ(scripted.at(JointGroup::ARMS).names_and_values.size(), 3u);
}

TEST_F(ClientQueries, SeveralThreadsShareOneClientWhileStreamsFlow) {
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  const auto until = std::chrono::steady_clock::now() + 1500ms;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      while (std::chrono::steady_clock::now() < until) {
        if (client_->states().size() != 5) ++failures;
        if (client_->actions().size() != 5) ++failures;
        client_->digital_inputs();
        client_->estop_released();
        client_->groups();
        if (t == 0 && !client_->connected()) ++failures;
        if (t == 1) client_->plan_info();
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures.load(), 0);
}

}  // namespace
