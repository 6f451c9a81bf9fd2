/// @file
/// Measured state of one joint group.
#pragma once

#include <array>
#include <cstdint>
#include <utility>
#include <vector>

namespace orbalt::kvt {

/// The measured state of one joint group, from the newest basic stream sample.
///
/// Per-joint vectors hold one entry per joint of the group, in joint order. Poses are position
/// (x, y, z) followed by the orientation quaternion (w, x, y, z); wrenches and twists are two
/// 3-vectors, entries 0 to 2 and 3 to 5. A value-initialised record is all zeros and empties.
struct RobotStates {
  /// Time stamp of the stream sample the record was made from.
  std::pair<std::int32_t, std::int32_t> timestamp{};
  std::vector<double> q;                         ///< joint positions
  std::vector<double> theta;                     ///< joint positions of the second position channel
  std::vector<double> dq;                        ///< joint velocities
  std::vector<double> dtheta;                    ///< velocities belonging to theta
  std::vector<double> tau;                       ///< joint torques
  std::vector<double> tau_dot;                   ///< time derivative of the joint torques
  std::vector<double> tau_ext;                   ///< external joint torques
  std::vector<double> tau_interact;              ///< interaction torques
  std::vector<double> temperature;               ///< joint temperatures
  std::array<double, 7> flange_pose{};           ///< pose of the flange
  std::array<double, 7> tcp_pose{};              ///< pose of the TCP in the world frame
  std::array<double, 6> tcp_twist{};             ///< twist of the TCP
  std::array<double, 6> tcp_wrench{};            ///< external wrench at the TCP, world frame
  std::array<double, 6> tcp_wrench_local{};      ///< the same wrench in the TCP frame
  std::array<double, 6> raw_tcp_wrench{};        ///< raw wrench at the TCP, world frame
  std::array<double, 6> raw_tcp_wrench_local{};  ///< the raw wrench in the TCP frame
  std::array<double, 6> raw_ft_sensor{};         ///< raw force/torque sensor reading
};

}  // namespace orbalt::kvt
