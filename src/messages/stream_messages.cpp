#include "messages/stream_messages.hpp"

#include "messages/serdetail.hpp"

namespace orbalt::zenoh_msgs::kvt_msg {

namespace {

using serdetail::Des;

// zenoh's own decoders for the field types serdetail does not cover (scalars, bool and the
// other fixed arrays, sequences of structures). Qualified, because ordinary lookup from here
// would stop at the hooks of this namespace.
template <class T>
bool Zen(zenoh::ext::Deserializer& d, T& field, zenoh::ZResult* err) {
  return zenoh::ext::__zenoh_deserialize_with_deserializer(d, field, err);
}

}  // namespace

bool __zenoh_deserialize_with_deserializer(zenoh::ext::Deserializer& d, BasicJointData& m,
                                           zenoh::ZResult* err) {
  return Des(d, m.q, err) && Des(d, m.theta, err) && Des(d, m.dq, err) && Des(d, m.dtheta, err) &&
         Des(d, m.tau, err) && Des(d, m.tau_dot, err) && Des(d, m.tau_ext, err) &&
         Des(d, m.tau_interact, err) && Des(d, m.temperature, err) &&
         Zen(d, m.contact_forces, err) && Zen(d, m.contact_positions, err);
}

bool __zenoh_deserialize_with_deserializer(zenoh::ext::Deserializer& d, BasicCartesianData& m,
                                           zenoh::ZResult* err) {
  return Zen(d, m.flange_pose, err) && Zen(d, m.tcp_pose, err) && Des(d, m.tcp_twist, err) &&
         Des(d, m.tcp_wrench_local, err) && Des(d, m.spare_array, err) &&
         Des(d, m.raw_tcp_wrench_local, err) && Des(d, m.raw_ft_sensor, err);
}

bool __zenoh_deserialize_with_deserializer(zenoh::ext::Deserializer& d, AllBasicStreamData& m,
                                           zenoh::ZResult* err) {
  return Zen(d, m.system_state, err) && Zen(d, m.safety_board_state, err) &&
         Zen(d, m.estop_released, err) && Zen(d, m.enabling_device_on, err) &&
         Zen(d, m.safety_inputs, err) && Zen(d, m.digital_inputs, err) &&
         Zen(d, m.digital_outputs, err) && Des(d, m.joint_group_indices, err) &&
         __zenoh_deserialize_with_deserializer(d, m.joint_data, err) &&
         Zen(d, m.cartesian_data, err) && Zen(d, m.timestamp.first, err) &&
         Zen(d, m.timestamp.second, err);
}

bool __zenoh_deserialize_with_deserializer(zenoh::ext::Deserializer& d, ExtraJointData& m,
                                           zenoh::ZResult* err) {
  return Des(d, m.q_d, err) && Des(d, m.dq_d, err) && Des(d, m.tau_d, err);
}

bool __zenoh_deserialize_with_deserializer(zenoh::ext::Deserializer& d, ExtraCartesianData& m,
                                           zenoh::ZResult* err) {
  return Zen(d, m.tcp_pose_d, err) && Des(d, m.tcp_twist_d, err) && Des(d, m.tcp_wrench_d, err);
}

bool __zenoh_deserialize_with_deserializer(zenoh::ext::Deserializer& d, AllExtraStreamData& m,
                                           zenoh::ZResult* err) {
  return Des(d, m.joint_group_indices, err) &&
         __zenoh_deserialize_with_deserializer(d, m.joint_data, err) &&
         Zen(d, m.cartesian_data, err);
}

}  // namespace orbalt::zenoh_msgs::kvt_msg
