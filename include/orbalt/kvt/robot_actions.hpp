/// @file
/// Desired (commanded) state of one joint group.
#pragma once

#include <array>
#include <cstdint>
#include <utility>
#include <vector>

namespace orbalt::kvt {

/// The commanded state of one joint group, from the newest extra stream sample.
///
/// Shapes as in RobotStates. The timestamp is that of the newest basic stream sample when the
/// record was made; the extra stream carries none.
struct RobotActions {
  /// Time stamp of the newest basic stream sample when the record was made.
  std::pair<std::int32_t, std::int32_t> timestamp{};
  std::vector<double> q_d;               ///< desired joint positions
  std::vector<double> dq_d;              ///< desired joint velocities
  std::vector<double> tau_d;             ///< desired joint torques
  std::array<double, 7> tcp_pose_d{};    ///< desired TCP pose
  std::array<double, 6> tcp_twist_d{};   ///< desired TCP twist
  std::array<double, 6> tcp_wrench_d{};  ///< desired TCP wrench
};

}  // namespace orbalt::kvt
