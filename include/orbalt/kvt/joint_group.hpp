/// @file
/// Joint groups: how the robot's joints are divided.
#pragma once

#include <map>
#include <string>

#include "orbalt/kvt/export.hpp"

namespace orbalt::kvt {

/// A group of the robot's joints. The values are fixed and not consecutive: there is no 1.
enum class JointGroup : int {
  UNKNOWN = -1,
  ALL = 0,
  ARMS = 2,
  ARM_1 = 3,
  ARM_2 = 4,
  EXT_AXIS = 5,
};

/// Name of every joint group, spelled as its enumerator ("UNKNOWN", "ALL", "ARMS", "ARM_1",
/// "ARM_2", "EXT_AXIS"). Read-only; a value without an enumerator has no entry.
extern ORBALTKVT_API const std::map<JointGroup, std::string> kJointGroupNames;

}  // namespace orbalt::kvt
