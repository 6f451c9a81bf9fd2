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
  // Codes are widened with their sign, as the client's reader does: UNKNOWN travels as -1.
#define ORBALTKVT_STATUS_(name, type, width, meaning) status.name = message.name;
  ORBALTKVT_STATUS_FIELDS(ORBALTKVT_STATUS_)
#undef ORBALTKVT_STATUS_
  status.system_state_name = kvt::system_state_name(status.system_state);
  status.safety_board_state_name = kvt::safety_board_state_name(status.safety_board_state);
}

void SampleConversion::ToExtra(const zenoh_msgs::kvt_msg::AllExtraStreamData& message,
                               std::pair<std::int32_t, std::int32_t> timestamp,
                               std::int64_t receive_time_ns, kvt::ExtraSample& out) const {
  out.receive_time_ns = receive_time_ns;
  out.timestamp = timestamp;
  out.actions =
      DataStream::ConvertRobotActions(message, timestamp, names_, start_ids_, dofs_, false);
}

void SampleConversion::ToEveryJoint(const zenoh_msgs::kvt_msg::AllBasicStreamData& message,
                                    kvt::RobotStates& out) {
  const auto& joints = message.joint_data;
  out.timestamp = RecordTimestamp(message.timestamp);
#define ORBALTKVT_WIDEN_(name, unit, meaning) Widen(joints.name, out.name);
  ORBALTKVT_STATES_JOINT_FIELDS(ORBALTKVT_WIDEN_)
#undef ORBALTKVT_WIDEN_
}

void SampleConversion::ToEveryJoint(const zenoh_msgs::kvt_msg::AllExtraStreamData& message,
                                    std::pair<std::int32_t, std::int32_t> timestamp,
                                    kvt::RobotActions& out) {
  const auto& joints = message.joint_data;
  out.timestamp = timestamp;
#define ORBALTKVT_WIDEN_(name, unit, meaning) Widen(joints.name, out.name);
  ORBALTKVT_ACTIONS_JOINT_FIELDS(ORBALTKVT_WIDEN_)
#undef ORBALTKVT_WIDEN_
}

}  // namespace orbalt::kvt_impl
