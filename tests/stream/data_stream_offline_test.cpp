// The stream intake's readers on samples published straight into the intake (the intake on a
// real session is in data_stream_session_test.cpp).
#include "stream/data_stream.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "stream/data_stream_access.hpp"
#include "support/log_capture.hpp"

namespace {

using namespace std::chrono_literals;
using orbalt::kvt::JointGroup;
using orbalt::kvt_impl::DataStream;
using orbalt::kvt_impl::DataStreamTestAccess;
using orbalt::testing::LogCapture;
using orbalt::zenoh_msgs::kvt_msg::AllBasicStreamData;
using orbalt::zenoh_msgs::kvt_msg::AllExtraStreamData;
using orbalt::zenoh_msgs::kvt_msg::BasicCartesianData;
using orbalt::zenoh_msgs::kvt_msg::ExtraCartesianData;

constexpr JointGroup ARM_1 = JointGroup::ARM_1;
constexpr JointGroup ARM_2 = JointGroup::ARM_2;

// Sample values follow rules the checks can recompute: entry j of joint field f (q = 0 ...
// temperature = 8, q_d = 0, dq_d = 1, tau_d = 2) is 100 f + j; contact force j is (j, 10 + j,
// 20 + j), contact position j its negative; entry e of Cartesian field c (flange_pose = 0 ...
// raw_ft_sensor = 6, tcp_pose_d = 0 ...) of block k is 1000 k + 10 c + e.
float JointValue(int field, std::size_t joint) { return 100.0f * field + joint; }
float CartesianValue(std::size_t block, int field, std::size_t entry) {
  return 1000.0f * block + 10.0f * field + entry;
}

std::vector<float> JointField(int field, std::size_t joints) {
  std::vector<float> v(joints);
  for (std::size_t j = 0; j < joints; ++j) v[j] = JointValue(field, j);
  return v;
}

template <std::size_t N>
std::array<float, N> CartesianField(std::size_t block, int field) {
  std::array<float, N> a{};
  for (std::size_t e = 0; e < N; ++e) a[e] = CartesianValue(block, field, e);
  return a;
}

AllBasicStreamData MakeBasic(std::vector<std::uint16_t> indices, std::size_t joints,
                             std::size_t blocks) {
  AllBasicStreamData m;
  m.joint_group_indices = std::move(indices);
  auto& jd = m.joint_data;
  std::vector<float>* fields[] = {&jd.q,       &jd.theta,        &jd.dq,
                                  &jd.dtheta,  &jd.tau,          &jd.tau_dot,
                                  &jd.tau_ext, &jd.tau_interact, &jd.temperature};
  for (int f = 0; f < 9; ++f) *fields[f] = JointField(f, joints);
  for (std::size_t j = 0; j < joints; ++j) {
    const float v = static_cast<float>(j);
    jd.contact_forces.push_back({v, 10 + v, 20 + v});
    jd.contact_positions.push_back({-v, -10 - v, -20 - v});
  }
  for (std::size_t k = 0; k < blocks; ++k) {
    BasicCartesianData c;
    c.flange_pose = CartesianField<7>(k, 0);
    c.tcp_pose = CartesianField<7>(k, 1);
    c.tcp_twist = CartesianField<6>(k, 2);
    c.tcp_wrench_local = CartesianField<6>(k, 3);
    c.spare_array.fill(-999.0f);
    c.raw_tcp_wrench_local = CartesianField<6>(k, 5);
    c.raw_ft_sensor = CartesianField<6>(k, 6);
    m.cartesian_data.push_back(c);
  }
  m.timestamp = {-3, 4000000000u};
  return m;
}

AllExtraStreamData MakeExtra(std::vector<std::uint16_t> indices, std::size_t joints,
                             std::size_t blocks) {
  AllExtraStreamData m;
  m.joint_group_indices = std::move(indices);
  m.joint_data.q_d = JointField(0, joints);
  m.joint_data.dq_d = JointField(1, joints);
  m.joint_data.tau_d = JointField(2, joints);
  for (std::size_t k = 0; k < blocks; ++k) {
    m.cartesian_data.push_back(ExtraCartesianData{CartesianField<7>(k, 0), CartesianField<6>(k, 1),
                                                  CartesianField<6>(k, 2)});
  }
  return m;
}

template <std::size_t N>
void ExpectCartesian(const std::array<double, N>& actual, std::size_t block, int field,
                     const char* what) {
  for (std::size_t e = 0; e < N; ++e) {
    EXPECT_EQ(actual[e], CartesianValue(block, field, e)) << what << " entry " << e;
  }
}

void ExpectSlice(const std::vector<double>& actual, int field, std::size_t start, std::size_t dof,
                 const char* what) {
  ASSERT_EQ(actual.size(), dof) << what;
  for (std::size_t i = 0; i < dof; ++i) {
    EXPECT_EQ(actual[i], JointValue(field, start + i)) << what << " entry " << i;
  }
}

// The two arms of a 14-joint robot.
const DataStream::GroupNames kArms = {{ARM_1, "ARM_1"}, {ARM_2, "ARM_2"}};
const DataStream::StartIds kArmStarts = {{ARM_1, 0}, {ARM_2, 7}};
const DataStream::Dofs kArmDofs = {{ARM_1, 7}, {ARM_2, 7}};
// Where each arm's entries start, and which Cartesian block is its own, in MakeBasic({3, 4}, ..).
struct ArmSlice {
  JointGroup group;
  std::size_t start;
  std::size_t block;
};
const ArmSlice kArmSlices[] = {{ARM_1, 0, 0}, {ARM_2, 7, 1}};

std::string Text(const char* format, int group) {
  std::string text = format;
  return text.replace(text.find("{}"), 2, std::to_string(group));
}

TEST(DataStream, ReadsEmptyValuesBeforeTheFirstSample) {
  LogCapture log;
  DataStream stream;
  EXPECT_TRUE(stream.GetJointGroups(true).empty());
  EXPECT_TRUE(stream.GetJointGroups(false).empty());
  EXPECT_TRUE(stream.GetRobotStates({}, {}, {}).empty());
  EXPECT_TRUE(stream.GetMultiContactPositions({}, {}, {}).empty());
  EXPECT_TRUE(log.Lines().empty());

  EXPECT_TRUE(stream.GetRobotStates({{ARM_1, ""}}, {{ARM_1, 0}}, {{ARM_1, 7}}).empty());
  EXPECT_EQ(log.Texts(spdlog::level::err),
            std::vector<std::string>{
                "[orbalt::kvt::Client] Failed to segment full-DoF joint data for joint group [3]"});

  EXPECT_EQ(stream.GetSystemState(), obr::SystemState::UNKNOWN);
  EXPECT_EQ(stream.GetSafetyBoardState(), obr::SafetyBoardState::STARTUP);
  EXPECT_FALSE(stream.IsEstopReleased());
  EXPECT_FALSE(stream.IsEnablingDeviceOn());
  EXPECT_EQ(stream.GetSafetyInputs(), (std::array<bool, 8>{}));
  EXPECT_EQ(stream.GetDigitalInput(), (std::array<bool, 20>{}));
  EXPECT_EQ(stream.GetDigitalOutput(), (std::array<bool, 20>{}));
}

TEST(DataStream, SlicesEveryGroupFromTheNewestBasicSample) {
  DataStream stream;
  DataStreamTestAccess::PublishBasic(stream, MakeBasic({3, 4}, 14, 2));
  const auto states = stream.GetRobotStates(kArms, kArmStarts, kArmDofs);
  ASSERT_EQ(states.size(), 2u);

  for (const auto& [group, start, block] : kArmSlices) {
    SCOPED_TRACE(static_cast<int>(group));
    const auto& s = states.at(group);
    // The wire's unsigned second component keeps its bits.
    EXPECT_EQ(s.timestamp, (std::pair<std::int32_t, std::int32_t>{-3, -294967296}));
    ExpectSlice(s.q, 0, start, 7, "q");
    ExpectSlice(s.theta, 1, start, 7, "theta");
    ExpectSlice(s.dq, 2, start, 7, "dq");
    ExpectSlice(s.dtheta, 3, start, 7, "dtheta");
    ExpectSlice(s.tau, 4, start, 7, "tau");
    ExpectSlice(s.tau_dot, 5, start, 7, "tau_dot");
    ExpectSlice(s.tau_ext, 6, start, 7, "tau_ext");
    ExpectSlice(s.tau_interact, 7, start, 7, "tau_interact");
    ExpectSlice(s.temperature, 8, start, 7, "temperature");
    ExpectCartesian(s.flange_pose, block, 0, "flange_pose");
    ExpectCartesian(s.tcp_pose, block, 1, "tcp_pose");
    ExpectCartesian(s.tcp_twist, block, 2, "tcp_twist");
    ExpectCartesian(s.tcp_wrench_local, block, 3, "tcp_wrench_local");
    ExpectCartesian(s.raw_tcp_wrench_local, block, 5, "raw_tcp_wrench_local");
    ExpectCartesian(s.raw_ft_sensor, block, 6, "raw_ft_sensor");
    for (const auto* array : {&s.tcp_wrench, &s.raw_tcp_wrench}) {
      for (double v : *array) EXPECT_NE(v, -999.0) << "the spare array reached the record";
    }
  }
}

TEST(DataStream, NewestSampleReplacesTheOldOneWhole) {
  DataStream stream;
  DataStreamTestAccess::PublishBasic(stream, MakeBasic({2, 3, 4}, 14, 3));
  DataStreamTestAccess::PublishBasic(stream, MakeBasic({3}, 7, 1));
  EXPECT_EQ(stream.GetJointGroups(true), (DataStream::GroupNames{{ARM_1, "ARM_1"}}));
  const auto states = stream.GetRobotStates({}, {}, {});
  ASSERT_EQ(states.size(), 1u);
  EXPECT_EQ(states.begin()->first, ARM_1);
}

TEST(DataStream, GroupsListedButNotAskedForGetOnlyTheirCartesianBlock) {
  DataStream stream;
  auto sample = MakeBasic({3, 4}, 14, 2);
  sample.cartesian_data[1].tcp_pose = {0, 0, 0, 0, 0, 0, 1};
  DataStreamTestAccess::PublishBasic(stream, sample);

  const auto states = stream.GetRobotStates({}, {}, {});
  ASSERT_EQ(states.size(), 2u);
  for (const auto& [group, s] : states) {
    EXPECT_EQ(s.timestamp, (std::pair<std::int32_t, std::int32_t>{0, 0}));
    EXPECT_TRUE(s.q.empty());
    EXPECT_TRUE(s.temperature.empty());
  }
  ExpectCartesian(states.at(ARM_1).tcp_twist, 0, 2, "tcp_twist");
  // The world-frame wrench is computed for these records too (half turn about z).
  EXPECT_EQ(states.at(ARM_2).tcp_wrench[0], -CartesianValue(1, 3, 0));
  EXPECT_EQ(states.at(ARM_2).tcp_wrench[2], CartesianValue(1, 3, 2));
}

TEST(DataStream, LaterCartesianBlockOfARepeatedGroupWins) {
  DataStream stream;
  DataStreamTestAccess::PublishBasic(stream, MakeBasic({3, 3}, 7, 2));
  const auto states = stream.GetRobotStates({{ARM_1, ""}}, {{ARM_1, 0}}, {{ARM_1, 7}});
  ASSERT_EQ(states.size(), 1u);
  ExpectCartesian(states.at(ARM_1).flange_pose, 1, 0, "flange_pose");
}

TEST(DataStream, StateReadersFailWholeWithOneLogLine) {
  constexpr auto kMax64 = std::numeric_limits<std::uint64_t>::max();
  constexpr auto kMax32 = std::numeric_limits<std::uint32_t>::max();
  const char* segment =
      "[orbalt::kvt::Client] Failed to segment full-DoF joint data for joint group [{}]";
  const char* missing =
      "[orbalt::kvt::Client] Missing start ID or DoF metadata for joint group [{}]";
  struct Case {
    const char* name;
    AllBasicStreamData sample;
    DataStream::StartIds starts;
    DataStream::Dofs dofs;
    std::string error;
  };
  auto short_temperature = MakeBasic({3, 4}, 14, 2);
  short_temperature.joint_data.temperature.pop_back();
  const std::vector<Case> cases = {
      {"sequence one short", MakeBasic({3, 4}, 13, 2), kArmStarts, kArmDofs, Text(segment, 4)},
      {"last sequence short", short_temperature, kArmStarts, kArmDofs, Text(segment, 4)},
      {"more indices than blocks", MakeBasic({3, 3}, 14, 1), kArmStarts, kArmDofs,
       "[orbalt::kvt::Client] The received data has mismatched sizes: cartesian_data size is "
       "1, expected number of joint groups is 2"},
      {"more blocks than indices", MakeBasic({3}, 14, 2), kArmStarts, kArmDofs,
       "[orbalt::kvt::Client] The received data has mismatched sizes: cartesian_data size is "
       "2, expected number of joint groups is 1"},
      {"no start ID", MakeBasic({3, 4}, 14, 2), {{ARM_1, 0}}, kArmDofs, Text(missing, 4)},
      {"no DoF", MakeBasic({3, 4}, 14, 2), kArmStarts, {{ARM_2, 7}}, Text(missing, 3)},
      // start + dof wraps to 0 in 64 bits: the slice must still be refused.
      {"DoF that wraps the bound",
       MakeBasic({3, 4}, 14, 2),
       {{ARM_1, 2}, {ARM_2, 7}},
       {{ARM_1, kMax64 - 1}, {ARM_2, 7}},
       Text(segment, 3)},
      {"start ID past the end",
       MakeBasic({3, 4}, 14, 2),
       {{ARM_1, kMax32}, {ARM_2, 7}},
       {{ARM_1, 1}, {ARM_2, 7}},
       Text(segment, 3)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    LogCapture log;
    DataStream stream;
    DataStreamTestAccess::PublishBasic(stream, c.sample);
    EXPECT_TRUE(stream.GetRobotStates(kArms, c.starts, c.dofs).empty());
    EXPECT_EQ(log.Texts(spdlog::level::err), std::vector<std::string>{c.error});
  }
}

TEST(DataStream, NamesTheJointGroupsOfEitherStream) {
  const char* basic_invalid =
      "[orbalt::kvt::Client] The received basic data contains invalid joint group index [{}]";
  const char* extra_invalid =
      "[orbalt::kvt::Client] The received extra data contains invalid joint group index [{}]";
  struct Case {
    std::vector<std::uint16_t> indices;
    DataStream::GroupNames basic;
    std::vector<std::string> basic_errors;
    std::vector<std::string> extra_errors;
  };
  const std::vector<Case> cases = {
      {{4, 0, 4, 5, 2},
       {{JointGroup::ALL, "ALL"},
        {JointGroup::ARMS, "ARMS"},
        {ARM_2, "ARM_2"},
        {JointGroup::EXT_AXIS, "EXT_AXIS"}},
       {},
       {}},
      {{6}, {}, {Text(basic_invalid, 6)}, {Text(extra_invalid, 6)}},
      // What was collected before the invalid index is discarded.
      {{3, 4, 7}, {}, {Text(basic_invalid, 7)}, {Text(extra_invalid, 7)}},
      // UNKNOWN travels as 65535 and is not a valid index in a sample.
      {{65535}, {}, {Text(basic_invalid, 65535)}, {Text(extra_invalid, 65535)}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.indices));
    DataStream stream;
    DataStreamTestAccess::PublishBasic(stream, MakeBasic(c.indices, 0, 0));
    DataStreamTestAccess::PublishExtra(stream, MakeExtra(c.indices, 0, 0));
    {
      LogCapture log;
      EXPECT_EQ(stream.GetJointGroups(true), c.basic);
      EXPECT_EQ(log.Texts(spdlog::level::err), c.basic_errors);
    }
    LogCapture log;
    EXPECT_EQ(stream.GetJointGroups(false), c.basic);
    EXPECT_EQ(log.Texts(spdlog::level::err), c.extra_errors);
  }
}

TEST(DataStream, IndexOneHasNoNameAndThrows) {
  DataStream stream;
  DataStreamTestAccess::PublishBasic(stream, MakeBasic({3, 1}, 0, 0));
  for (int call = 0; call < 2; ++call) {  // the lock is released while unwinding
    try {
      stream.GetJointGroups(true);
      FAIL() << "index 1 was named";
    } catch (const std::out_of_range& e) {
      EXPECT_STREQ(e.what(), "map::at");
    }
  }
  DataStreamTestAccess::PublishBasic(stream, MakeBasic({3}, 0, 0));
  EXPECT_EQ(stream.GetJointGroups(true).size(), 1u);
}

TEST(DataStream, RotatesLocalWrenchesIntoTheWorldFrame) {
  using Wrench = std::array<double, 6>;
  const Wrench local = {1, 2, 3, 4, 5, 6};
  struct Case {
    const char* name;
    std::array<double, 4> wxyz;
    Wrench world;
  };
  const double h = std::sqrt(0.5);
  const std::vector<Case> cases = {
      {"half turn about z", {0, 0, 0, 1}, {-1, -2, 3, -4, -5, 6}},
      {"half turn about z, not normalised", {0, 0, 0, 2}, {-1, -2, 3, -4, -5, 6}},
      {"all-zero quaternion", {0, 0, 0, 0}, local},
      {"identity", {1, 0, 0, 0}, local},
      {"quarter turn about x", {h, h, 0, 0}, {1, -3, 2, 4, -6, 5}},
      {"negated quarter turn about x", {-h, -h, 0, 0}, {1, -3, 2, 4, -6, 5}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    orbalt::kvt::RobotStates states{};
    states.tcp_pose = {9, 9, 9, c.wxyz[0], c.wxyz[1], c.wxyz[2], c.wxyz[3]};
    states.tcp_wrench_local = local;
    for (std::size_t i = 0; i < 6; ++i) states.raw_tcp_wrench_local[i] = 10 * local[i];
    DataStream::SetExtWrenchInWorld(states);
    for (std::size_t i = 0; i < 6; ++i) {
      EXPECT_NEAR(states.tcp_wrench[i], c.world[i], 1e-12) << i;
      EXPECT_NEAR(states.raw_tcp_wrench[i], 10 * c.world[i], 1e-11) << i;
    }
    EXPECT_EQ(states.tcp_wrench_local, local);
  }
}

TEST(DataStream, ActionsCombineTheExtraSampleWithTheBasicTimestamp) {
  DataStream stream;
  DataStreamTestAccess::PublishBasic(stream, MakeBasic({}, 0, 0));
  DataStreamTestAccess::PublishExtra(stream, MakeExtra({3, 4}, 14, 2));
  const auto actions = stream.GetRobotActions(kArms, kArmStarts, kArmDofs);
  ASSERT_EQ(actions.size(), 2u);
  for (const auto& [group, start, block] : kArmSlices) {
    SCOPED_TRACE(static_cast<int>(group));
    const auto& a = actions.at(group);
    EXPECT_EQ(a.timestamp, (std::pair<std::int32_t, std::int32_t>{-3, -294967296}));
    ExpectSlice(a.q_d, 0, start, 7, "q_d");
    ExpectSlice(a.dq_d, 1, start, 7, "dq_d");
    ExpectSlice(a.tau_d, 2, start, 7, "tau_d");
    ExpectCartesian(a.tcp_pose_d, block, 0, "tcp_pose_d");
    ExpectCartesian(a.tcp_twist_d, block, 1, "tcp_twist_d");
    ExpectCartesian(a.tcp_wrench_d, block, 2, "tcp_wrench_d");
  }

  // Groups the extra sample lists but nobody asked for: desired Cartesian values only.
  const auto unasked = stream.GetRobotActions({}, {}, {});
  ASSERT_EQ(unasked.size(), 2u);
  EXPECT_EQ(unasked.at(ARM_2).timestamp, (std::pair<std::int32_t, std::int32_t>{0, 0}));
  EXPECT_TRUE(unasked.at(ARM_2).q_d.empty());
  ExpectCartesian(unasked.at(ARM_2).tcp_wrench_d, 1, 2, "tcp_wrench_d");
}

TEST(DataStream, ActionReadersFailWholeWithOneLogLine) {
  constexpr auto kMax64 = std::numeric_limits<std::uint64_t>::max();
  const char* segment =
      "[orbalt::kvt::Client] Failed to segment desired joint data for joint group [{}]";
  struct Case {
    const char* name;
    std::optional<AllExtraStreamData> sample;
    DataStream::StartIds starts;
    DataStream::Dofs dofs;
    std::string error;
  };
  auto short_tau = MakeExtra({3, 4}, 14, 2);
  short_tau.joint_data.tau_d.resize(9);
  const std::vector<Case> cases = {
      {"no extra sample yet", std::nullopt, kArmStarts, kArmDofs, Text(segment, 3)},
      {"last sequence short", short_tau, kArmStarts, kArmDofs, Text(segment, 4)},
      {"indices and blocks differ", MakeExtra({3, 4}, 14, 1), kArmStarts, kArmDofs,
       "[orbalt::kvt::Client] The received desired data has mismatched sizes: cartesian_data "
       "size is 1, expected number of joint groups is 2"},
      {"no DoF",
       MakeExtra({3, 4}, 14, 2),
       kArmStarts,
       {{ARM_1, 7}},
       Text("[orbalt::kvt::Client] Missing start ID or DoF metadata for joint group [{}]", 4)},
      {"DoF that wraps the bound",
       MakeExtra({3, 4}, 14, 2),
       kArmStarts,
       {{ARM_1, 7}, {ARM_2, kMax64 - 6}},
       Text(segment, 4)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    LogCapture log;
    DataStream stream;
    DataStreamTestAccess::PublishBasic(stream, MakeBasic({3, 4}, 14, 2));
    if (c.sample) DataStreamTestAccess::PublishExtra(stream, *c.sample);
    EXPECT_TRUE(stream.GetRobotActions(kArms, c.starts, c.dofs).empty());
    EXPECT_EQ(log.Texts(spdlog::level::err), std::vector<std::string>{c.error});
  }
}

TEST(DataStream, SlicesMultiContactDataFromItsOwnSequence) {
  const DataStream::GroupNames names = {{ARM_1, ""}};
  DataStream stream;
  DataStreamTestAccess::PublishBasic(stream, MakeBasic({}, 4, 0));
  const auto positions = stream.GetMultiContactPositions(names, {{ARM_1, 2}}, {{ARM_1, 2}});
  const auto forces = stream.GetMultiContactForces(names, {{ARM_1, 2}}, {{ARM_1, 2}});
  ASSERT_EQ(positions.at(ARM_1).size(), 2u);
  ASSERT_EQ(forces.at(ARM_1).size(), 2u);
  for (std::size_t i = 0; i < 2; ++i) {
    const double j = 2.0 + i;
    EXPECT_EQ(forces.at(ARM_1)[i], Eigen::Vector3d(j, 10 + j, 20 + j));
    EXPECT_EQ(positions.at(ARM_1)[i], Eigen::Vector3d(-j, -10 - j, -20 - j));
  }
  EXPECT_TRUE(stream.GetMultiContactForces({}, {}, {}).empty());
}

TEST(DataStream, MultiContactReadersFailWholeWithOneLogLine) {
  constexpr auto kMax64 = std::numeric_limits<std::uint64_t>::max();
  const DataStream::GroupNames names = {{ARM_1, ""}};
  struct Case {
    const char* name;
    DataStream::StartIds starts;
    DataStream::Dofs dofs;
    const char* positions_error;
    const char* forces_error;
  };
  const char* missing =
      "[orbalt::kvt::Client] Missing start ID or DoF metadata for joint group [{}]";
  const char* positions =
      "[orbalt::kvt::Client] Failed to segment multi-contact positions for joint group [{}]";
  const char* forces =
      "[orbalt::kvt::Client] Failed to segment multi-contact forces for joint group [{}]";
  const std::vector<Case> cases = {
      {"slice past the end", {{ARM_1, 2}}, {{ARM_1, 2}}, positions, forces},
      {"DoF that wraps the bound", {{ARM_1, 2}}, {{ARM_1, kMax64 - 1}}, positions, forces},
      {"no start ID", {}, {{ARM_1, 2}}, missing, missing},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    DataStream stream;
    DataStreamTestAccess::PublishBasic(stream, MakeBasic({}, 3, 0));
    LogCapture log;
    EXPECT_TRUE(stream.GetMultiContactPositions(names, c.starts, c.dofs).empty());
    EXPECT_TRUE(stream.GetMultiContactForces(names, c.starts, c.dofs).empty());
    EXPECT_EQ(log.Texts(spdlog::level::err),
              (std::vector<std::string>{Text(c.positions_error, 3), Text(c.forces_error, 3)}));
  }
}

TEST(DataStream, StatusReadersPassTheHeaderOnUnchanged) {
  DataStream stream;
  auto sample = MakeBasic({}, 0, 0);
  sample.system_state = 19;
  sample.safety_board_state = -1;
  sample.estop_released = true;
  sample.safety_inputs[7] = true;
  sample.digital_inputs[0] = true;
  sample.digital_outputs[19] = true;
  DataStreamTestAccess::PublishBasic(stream, sample);

  EXPECT_EQ(static_cast<std::uint32_t>(stream.GetSystemState()), 19u);
  EXPECT_EQ(obr::SystemStateName.count(stream.GetSystemState()), 0u);
  EXPECT_EQ(stream.GetSafetyBoardState(), obr::SafetyBoardState::UNKNOWN);
  EXPECT_EQ(obr::SafetyBoardStateName.at(stream.GetSafetyBoardState()), "UNKNOWN");
  EXPECT_TRUE(stream.IsEstopReleased());
  EXPECT_FALSE(stream.IsEnablingDeviceOn());
  EXPECT_EQ(stream.GetSafetyInputs(), sample.safety_inputs);
  EXPECT_EQ(stream.GetDigitalInput(), sample.digital_inputs);
  EXPECT_EQ(stream.GetDigitalOutput(), sample.digital_outputs);

  sample.safety_board_state = 136;
  DataStreamTestAccess::PublishBasic(stream, sample);
  EXPECT_EQ(obr::SafetyBoardStateName.at(stream.GetSafetyBoardState()), "CAT_2_STOP");
}

}  // namespace
