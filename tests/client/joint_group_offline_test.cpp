#include "orbalt/kvt/joint_group.hpp"

#include <gtest/gtest.h>

#include "orbalt/kvt/plan_info.hpp"
#include "orbalt/kvt/primitive_states.hpp"
#include "orbalt/kvt/robot_actions.hpp"
#include "orbalt/kvt/robot_states.hpp"

namespace {

using orbalt::kvt::JointGroup;
using orbalt::kvt::kJointGroupNames;

TEST(JointGroup, NameTableHasTheSixEnumeratorsAndNothingForOne) {
  const std::map<int, std::string> expected = {{-1, "UNKNOWN"}, {0, "ALL"},   {2, "ARMS"},
                                               {3, "ARM_1"},    {4, "ARM_2"}, {5, "EXT_AXIS"}};
  ASSERT_EQ(kJointGroupNames.size(), expected.size());
  for (const auto& [value, name] : expected) {
    EXPECT_EQ(kJointGroupNames.at(static_cast<JointGroup>(value)), name);
  }
  EXPECT_EQ(kJointGroupNames.count(static_cast<JointGroup>(1)), 0u);
  // Maps keyed by group iterate in ascending value.
  EXPECT_EQ(kJointGroupNames.begin()->first, JointGroup::UNKNOWN);
  std::map<JointGroup, int> m{{JointGroup::ARM_1, 1}, {JointGroup::ARMS, 2}};
  EXPECT_EQ(m.begin()->first, JointGroup::ARMS);
}

TEST(Records, ValueInitialisedRecordsAreAllZerosAndEmpties) {
  const orbalt::kvt::RobotStates s{};
  EXPECT_EQ(s.timestamp, (std::pair<std::int32_t, std::int32_t>{0, 0}));
  EXPECT_TRUE(s.q.empty() && s.theta.empty() && s.temperature.empty());
  for (double v : s.tcp_pose) EXPECT_EQ(v, 0.0);
  for (double v : s.raw_ft_sensor) EXPECT_EQ(v, 0.0);
  const orbalt::kvt::RobotActions a{};
  EXPECT_TRUE(a.q_d.empty());
  for (double v : a.tcp_wrench_d) EXPECT_EQ(v, 0.0);
  const orbalt::kvt::PlanInfo p{};
  EXPECT_EQ(p.velocity_scale, 0.0);
  EXPECT_FALSE(p.waiting_for_step);
  const orbalt::kvt::PrimitiveStates ps{};
  EXPECT_TRUE(ps.pt_name.empty() && ps.names_and_values.empty());
}

}  // namespace
