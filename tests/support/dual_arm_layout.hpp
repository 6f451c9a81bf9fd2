// The joint-group layout of the simulated dual-arm robot: 16 joints in one full-DoF vector.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "orbalt/kvt/joint_group.hpp"

namespace orbalt::testing::dual_arm {

using kvt::JointGroup;

inline constexpr std::size_t kJoints = 16;
inline const std::vector<std::uint16_t> kIndices = {0, 2, 3, 4, 5};
inline const std::map<JointGroup, std::string> kNames = {{JointGroup::ALL, "ALL"},
                                                         {JointGroup::ARMS, "ARMS"},
                                                         {JointGroup::ARM_1, "ARM_1"},
                                                         {JointGroup::ARM_2, "ARM_2"},
                                                         {JointGroup::EXT_AXIS, "EXT_AXIS"}};
inline const std::map<JointGroup, std::uint32_t> kStarts = {{JointGroup::ALL, 0},
                                                            {JointGroup::ARMS, 0},
                                                            {JointGroup::ARM_1, 0},
                                                            {JointGroup::ARM_2, 7},
                                                            {JointGroup::EXT_AXIS, 14}};
inline const std::map<JointGroup, std::uint64_t> kDofs = {{JointGroup::ALL, 16},
                                                          {JointGroup::ARMS, 14},
                                                          {JointGroup::ARM_1, 7},
                                                          {JointGroup::ARM_2, 7},
                                                          {JointGroup::EXT_AXIS, 2}};

}  // namespace orbalt::testing::dual_arm
