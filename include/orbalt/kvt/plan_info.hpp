/// @file
/// What the robot's plan executor is doing.
#pragma once

#include <string>

namespace orbalt::kvt {

/// What the robot's plan executor is doing.
struct PlanInfo {
  std::string pt_name;                ///< primitive being executed
  std::string node_name;              ///< plan node being executed
  std::string node_path;              ///< path of that node in the plan
  std::string node_path_time_period;  ///< time period of the node path, as text
  std::string node_path_number;       ///< number of the node path, as text
  std::string assigned_plan_name;     ///< plan assigned to the robot
  double velocity_scale = 0.0;        ///< velocity scale applied to the plan
  bool waiting_for_step = false;      ///< whether execution waits for a step
};

}  // namespace orbalt::kvt
