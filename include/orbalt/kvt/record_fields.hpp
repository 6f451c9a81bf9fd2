/// @file
/// The fields of the stream records, written down once.
///
/// Each list below names a record's fields in order, with the wire field it comes from, its
/// width, unit and meaning. The per-group conversion, the column buffers, the Python batches,
/// the recorder's messages and schemas and the typing stubs are made from these lists or
/// checked against them, so a field is added here and nowhere else above the wire message.
///
/// The lists are X-macros: `ORBALTKVT_..._FIELDS(X)` expands `X(...)` once per field. The
/// constexpr tables (`kRobotStatesFields`, ...) are the same lists as data.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace orbalt::kvt {

/// Per-joint measured fields of `RobotStates`, each the group's slice of the wire's full-DoF
/// sequence of the same name: X(name, unit, meaning).
#define ORBALTKVT_STATES_JOINT_FIELDS(X)                            \
  X(q, "rad", "joint positions")                                    \
  X(theta, "rad", "joint positions of the second position channel") \
  X(dq, "rad/s", "joint velocities")                                \
  X(dtheta, "rad/s", "velocities belonging to theta")               \
  X(tau, "Nm", "joint torques")                                     \
  X(tau_dot, "Nm/s", "time derivative of the joint torques")        \
  X(tau_ext, "Nm", "external joint torques")                        \
  X(tau_interact, "Nm", "interaction torques")                      \
  X(temperature, "degC", "joint temperatures")

/// Cartesian measured fields of `RobotStates`, from the group's Cartesian block. WIRE(name,
/// width, unit, meaning) copies the wire field of the same name; WORLD(name, local, unit,
/// meaning) is the wrench `local` (TCP frame) rotated into the world frame by the TCP pose.
#define ORBALTKVT_STATES_CARTESIAN_FIELDS(WIRE, WORLD)                                       \
  WIRE(flange_pose, 7, "m, quaternion", "pose of the flange (x, y, z, qw, qx, qy, qz)")      \
  WIRE(tcp_pose, 7, "m, quaternion", "pose of the TCP in the world frame")                   \
  WIRE(tcp_twist, 6, "m/s, rad/s", "twist of the TCP")                                       \
  WORLD(tcp_wrench, tcp_wrench_local, "N, Nm", "external wrench at the TCP, world frame")    \
  WIRE(tcp_wrench_local, 6, "N, Nm", "external wrench at the TCP, TCP frame")                \
  WORLD(raw_tcp_wrench, raw_tcp_wrench_local, "N, Nm", "raw wrench at the TCP, world frame") \
  WIRE(raw_tcp_wrench_local, 6, "N, Nm", "raw wrench at the TCP, TCP frame")                 \
  WIRE(raw_ft_sensor, 6, "N, Nm", "raw force/torque sensor reading")

/// Per-joint desired fields of `RobotActions`, from the extra stream's full-DoF sequences:
/// X(name, unit, meaning).
#define ORBALTKVT_ACTIONS_JOINT_FIELDS(X)      \
  X(q_d, "rad", "desired joint positions")     \
  X(dq_d, "rad/s", "desired joint velocities") \
  X(tau_d, "Nm", "desired joint torques")

/// Cartesian desired fields of `RobotActions`: X(name, width, unit, meaning).
#define ORBALTKVT_ACTIONS_CARTESIAN_FIELDS(X)           \
  X(tcp_pose_d, 7, "m, quaternion", "desired TCP pose") \
  X(tcp_twist_d, 6, "m/s, rad/s", "desired TCP twist")  \
  X(tcp_wrench_d, 6, "N, Nm", "desired TCP wrench")

/// The status header of a basic sample, each from the wire field of the same name:
/// X(name, type, width, meaning), type `bool` or `std::int32_t` (codes are widened with their
/// sign), width 1 for a single value.
#define ORBALTKVT_STATUS_FIELDS(X)                                              \
  X(estop_released, bool, 1, "the emergency stop is released")                  \
  X(enabling_device_on, bool, 1, "the enabling device is on")                   \
  X(digital_inputs, bool, 20, "digital input channels, entry i is channel i")   \
  X(digital_outputs, bool, 20, "digital output channels, entry i is channel i") \
  X(safety_inputs, bool, 8, "safety inputs, entry i is input i")                \
  X(system_state, std::int32_t, 1, "the robot system's state code")             \
  X(safety_board_state, std::int32_t, 1, "the safety board's state code (-1 is UNKNOWN)")

/// What a column holds.
enum class FieldType : std::uint8_t {
  kFloat64,  ///< a number (the wire's float32, widened)
  kBool,     ///< a flag
  kInt32,    ///< a code
};

/// One field of a record, as data.
struct FieldInfo {
  const char* name;     ///< as in the record, the Python batch and the recordings
  const char* source;   ///< the wire field it is made from
  std::size_t width;    ///< values per sample; 0: one per joint of the group
  FieldType type;       ///< what its values are
  const char* unit;     ///< the values' unit, empty for flags and codes
  const char* meaning;  ///< one line
};

/// @cond internal
namespace fields_detail {
template <class T>
constexpr FieldType TypeOf();
template <>
constexpr FieldType TypeOf<bool>() {
  return FieldType::kBool;
}
template <>
constexpr FieldType TypeOf<std::int32_t>() {
  return FieldType::kInt32;
}
}  // namespace fields_detail

#define ORBALTKVT_FIELD_JOINT_INFO_(name, unit, meaning) \
  FieldInfo{#name, #name, 0, FieldType::kFloat64, unit, meaning},
#define ORBALTKVT_FIELD_FIXED_INFO_(name, width, unit, meaning) \
  FieldInfo{#name, #name, width, FieldType::kFloat64, unit, meaning},
#define ORBALTKVT_FIELD_WORLD_INFO_(name, local, unit, meaning) \
  FieldInfo{#name, #local, 6, FieldType::kFloat64, unit, meaning},
#define ORBALTKVT_FIELD_STATUS_INFO_(name, type, width, meaning) \
  FieldInfo{#name, #name, width, fields_detail::TypeOf<type>(), "", meaning},
/// @endcond

/// Every field of `RobotStates` but its timestamp, in declaration order: the per-joint
/// fields, then the Cartesian ones.
inline constexpr FieldInfo kRobotStatesFields[] = {
    ORBALTKVT_STATES_JOINT_FIELDS(ORBALTKVT_FIELD_JOINT_INFO_) ORBALTKVT_STATES_CARTESIAN_FIELDS(
        ORBALTKVT_FIELD_FIXED_INFO_, ORBALTKVT_FIELD_WORLD_INFO_)};

/// Every field of `RobotActions` but its timestamp, in declaration order.
inline constexpr FieldInfo kRobotActionsFields[] = {ORBALTKVT_ACTIONS_JOINT_FIELDS(
    ORBALTKVT_FIELD_JOINT_INFO_) ORBALTKVT_ACTIONS_CARTESIAN_FIELDS(ORBALTKVT_FIELD_FIXED_INFO_)};

/// Every field of the status header (`StatusHeader` without the state names).
inline constexpr FieldInfo kStatusFields[] = {
    ORBALTKVT_STATUS_FIELDS(ORBALTKVT_FIELD_STATUS_INFO_)};

#undef ORBALTKVT_FIELD_JOINT_INFO_
#undef ORBALTKVT_FIELD_FIXED_INFO_
#undef ORBALTKVT_FIELD_WORLD_INFO_
#undef ORBALTKVT_FIELD_STATUS_INFO_

/// The type of a status member: a value, or `Width` of them.
template <class T, std::size_t Width>
struct StatusValue {
  using type = std::array<T, Width>;  ///< `Width` values
};
/// A single value.
template <class T>
struct StatusValue<T, 1> {
  using type = T;  ///< the value
};

}  // namespace orbalt::kvt
