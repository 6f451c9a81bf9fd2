// The two stream messages the robot publishes: measured values (basic stream) and desired
// values (extra stream).
//
// Full-DoF sequences hold one entry per joint of the whole robot; a joint group's entries are
// the slice from its start ID, DoF entries long. Per-group sequences (`cartesian_data`) hold one
// block per entry of `joint_group_indices`, in the same order. Poses are position (x, y, z)
// followed by the orientation quaternion (w, x, y, z); 6-value wrenches and twists are two
// 3-vectors. Decoding checks the wire layout only: that the index and Cartesian counts agree,
// that indices name joint groups and that sequences are long enough is the readers' business.
#pragma once

#include <array>
#include <cstdint>
#include <utility>
#include <vector>

#include "zenoh.hxx"

namespace orbalt::zenoh_msgs::kvt_msg {

/// Measured per-joint values; every field is full-DoF.
struct BasicJointData {
  std::vector<float> q;
  std::vector<float> theta;
  std::vector<float> dq;
  std::vector<float> dtheta;
  std::vector<float> tau;
  std::vector<float> tau_dot;
  std::vector<float> tau_ext;
  std::vector<float> tau_interact;
  std::vector<float> temperature;
  std::vector<std::array<float, 3>> contact_forces;     ///< one 3-vector per joint
  std::vector<std::array<float, 3>> contact_positions;  ///< one 3-vector per joint
};

/// Measured Cartesian block of one joint group. The two local wrenches are in the TCP frame.
struct BasicCartesianData {
  std::array<float, 7> flange_pose{};
  std::array<float, 7> tcp_pose{};
  std::array<float, 6> tcp_twist{};
  std::array<float, 6> tcp_wrench_local{};
  std::array<float, 6> spare_array{};  ///< on the wire, never used
  std::array<float, 6> raw_tcp_wrench_local{};
  std::array<float, 6> raw_ft_sensor{};
};

/// One sample of the basic stream.
struct AllBasicStreamData {
  std::uint16_t system_state = 0;       ///< an obr::SystemState value
  std::int16_t safety_board_state = 0;  ///< an obr::SafetyBoardState value
  bool estop_released = false;
  bool enabling_device_on = false;
  std::array<bool, 8> safety_inputs{};
  std::array<bool, 20> digital_inputs{};
  std::array<bool, 20> digital_outputs{};
  std::vector<std::uint16_t> joint_group_indices;  ///< JointGroup values
  BasicJointData joint_data;
  std::vector<BasicCartesianData> cartesian_data;
  /// Passed through unchanged into every record made from this sample (and from the extra
  /// sample read with it).
  std::pair<std::int32_t, std::uint32_t> timestamp{};
};

/// Desired per-joint values; every field is full-DoF.
struct ExtraJointData {
  std::vector<float> q_d;
  std::vector<float> dq_d;
  std::vector<float> tau_d;
};

/// Desired Cartesian block of one joint group.
struct ExtraCartesianData {
  std::array<float, 7> tcp_pose_d{};
  std::array<float, 6> tcp_twist_d{};
  std::array<float, 6> tcp_wrench_d{};
};

/// One sample of the extra stream. It has no timestamp of its own.
struct AllExtraStreamData {
  std::vector<std::uint16_t> joint_group_indices;  ///< JointGroup values
  ExtraJointData joint_data;
  std::vector<ExtraCartesianData> cartesian_data;
};

// Decoding hooks, found by zenoh::ext::deserialize through argument-dependent lookup. They read
// the fields in wire order straight from the payload. With a null `err` a failure throws
// zenoh::ZException ("Deserialization failure", "Deserialization failure:: Failed to read
// sequence length" or "Incorrect sequence size"); otherwise the first failure's code is stored
// in `*err`, decoding stops and the result is false.

bool __zenoh_deserialize_with_deserializer(zenoh::ext::Deserializer& d, BasicJointData& m,
                                           zenoh::ZResult* err);
bool __zenoh_deserialize_with_deserializer(zenoh::ext::Deserializer& d, BasicCartesianData& m,
                                           zenoh::ZResult* err);
bool __zenoh_deserialize_with_deserializer(zenoh::ext::Deserializer& d, AllBasicStreamData& m,
                                           zenoh::ZResult* err);
bool __zenoh_deserialize_with_deserializer(zenoh::ext::Deserializer& d, ExtraJointData& m,
                                           zenoh::ZResult* err);
bool __zenoh_deserialize_with_deserializer(zenoh::ext::Deserializer& d, ExtraCartesianData& m,
                                           zenoh::ZResult* err);
bool __zenoh_deserialize_with_deserializer(zenoh::ext::Deserializer& d, AllExtraStreamData& m,
                                           zenoh::ZResult* err);

}  // namespace orbalt::zenoh_msgs::kvt_msg
