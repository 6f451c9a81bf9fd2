#include "stream/sample_conversion.hpp"

#include "stream/record_fields.hpp"
#include "stream/system_state.hpp"

namespace orbalt::kvt_impl {

namespace {

template <class Table, class Key>
std::string NameOf(const Table& table, Key key) {
  const auto found = table.find(key);
  return found == table.end() ? std::string() : found->second;
}

}  // namespace
}  // namespace orbalt::kvt_impl

namespace orbalt::kvt {

std::string system_state_name(std::int32_t code) {
  return kvt_impl::NameOf(obr::SystemStateName, static_cast<obr::SystemState>(code));
}

std::string safety_board_state_name(std::int32_t code) {
  return kvt_impl::NameOf(obr::SafetyBoardStateName, static_cast<obr::SafetyBoardState>(code));
}

}  // namespace orbalt::kvt

namespace orbalt::kvt_impl {

SampleConversion::SampleConversion(const kvt::JointLayout& layout) {
  for (const auto& [group, slice] : layout) {
    const auto name = kvt::kJointGroupNames.find(group);
    names_.emplace(group, name == kvt::kJointGroupNames.end() ? std::string() : name->second);
    start_ids_.emplace(group, slice.start_id);
    dofs_.emplace(group, slice.dof);
  }
}

void SampleConversion::ToBasic(const zenoh_msgs::kvt_msg::AllBasicStreamData& message,
                               std::int64_t receive_time_ns, kvt::BasicSample& out) const {
  out.receive_time_ns = receive_time_ns;
  out.timestamp = RecordTimestamp(message.timestamp);
  out.states = DataStream::ConvertRobotStates(message, names_, start_ids_, dofs_, false);
  kvt::StatusHeader& status = out.status;
  status.estop_released = message.estop_released;
  status.enabling_device_on = message.enabling_device_on;
  status.digital_inputs = message.digital_inputs;
  status.digital_outputs = message.digital_outputs;
  status.safety_inputs = message.safety_inputs;
  status.system_state = message.system_state;
  status.system_state_name = kvt::system_state_name(status.system_state);
  // Widened with its sign, as the client's reader does: UNKNOWN travels as -1.
  status.safety_board_state = message.safety_board_state;
  status.safety_board_state_name = kvt::safety_board_state_name(status.safety_board_state);
}

void SampleConversion::ToExtra(const zenoh_msgs::kvt_msg::AllExtraStreamData& message,
                               std::pair<std::int32_t, std::int32_t> timestamp,
                               std::int64_t receive_time_ns, kvt::ExtraSample& out) const {
  out.receive_time_ns = receive_time_ns;
  out.actions =
      DataStream::ConvertRobotActions(message, timestamp, names_, start_ids_, dofs_, false);
}

void SampleConversion::ToEveryJoint(const zenoh_msgs::kvt_msg::AllBasicStreamData& message,
                                    kvt::RobotStates& out) {
  const auto& joints = message.joint_data;
  out.timestamp = RecordTimestamp(message.timestamp);
  Widen(joints.q, out.q);
  Widen(joints.theta, out.theta);
  Widen(joints.dq, out.dq);
  Widen(joints.dtheta, out.dtheta);
  Widen(joints.tau, out.tau);
  Widen(joints.tau_dot, out.tau_dot);
  Widen(joints.tau_ext, out.tau_ext);
  Widen(joints.tau_interact, out.tau_interact);
  Widen(joints.temperature, out.temperature);
}

void SampleConversion::ToEveryJoint(const zenoh_msgs::kvt_msg::AllExtraStreamData& message,
                                    std::pair<std::int32_t, std::int32_t> timestamp,
                                    kvt::RobotActions& out) {
  out.timestamp = timestamp;
  Widen(message.joint_data.q_d, out.q_d);
  Widen(message.joint_data.dq_d, out.dq_d);
  Widen(message.joint_data.tau_d, out.tau_d);
}

}  // namespace orbalt::kvt_impl
