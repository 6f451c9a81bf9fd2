#include <spdlog/spdlog.h>

#include "stream/data_stream.hpp"
#include "stream/record_fields.hpp"
#include "stream/stream_log.hpp"
#include "stream/world_wrench.hpp"

namespace orbalt::kvt_impl {

bool DataStream::SegmentFullDofData(const std::vector<float>& source, std::uint32_t start_id,
                                    std::uint64_t dof, std::vector<double>& target) {
  // Written so that a DoF near 2^64 from the robot cannot wrap the bound.
  if (start_id > source.size() || dof > source.size() - start_id) return false;
  const auto first = source.begin() + start_id;
  target.assign(first, first + static_cast<std::ptrdiff_t>(dof));
  return true;
}

std::optional<DataStream::Slice> DataStream::FindSlice(kvt::JointGroup group,
                                                       const StartIds& start_ids, const Dofs& dofs,
                                                       bool log_errors) {
  const auto start_id = start_ids.find(group);
  const auto dof = dofs.find(group);
  if (start_id == start_ids.end() || dof == dofs.end()) {
    if (log_errors) spdlog::error(stream_log::kMissingMetadata, static_cast<int>(group));
    return std::nullopt;
  }
  return Slice{start_id->second, dof->second};
}

DataStream::GroupNames DataStream::GetJointGroups(bool from_basic) const {
  std::lock_guard<std::mutex> lock(from_basic ? basic_mutex_ : extra_mutex_);
  const auto& indices =
      from_basic ? basic_latest_.joint_group_indices : extra_latest_.joint_group_indices;
  GroupNames groups;
  for (const std::uint16_t index : indices) {
    if (index > 5) {
      spdlog::error(fmt::runtime(from_basic ? stream_log::kInvalidBasicIndex
                                            : stream_log::kInvalidExtraIndex),
                    index);
      return {};
    }
    const auto group = static_cast<kvt::JointGroup>(index);
    groups.emplace(group, kvt::kJointGroupNames.at(group));
  }
  return groups;
}

DataStream::GroupStates DataStream::GetRobotStates(const GroupNames& names,
                                                   const StartIds& start_ids,
                                                   const Dofs& dofs) const {
  std::lock_guard<std::mutex> lock(basic_mutex_);
  return ConvertRobotStates(basic_latest_, names, start_ids, dofs, true);
}

DataStream::GroupStates DataStream::ConvertRobotStates(
    const zenoh_msgs::kvt_msg::AllBasicStreamData& sample, const GroupNames& names,
    const StartIds& start_ids, const Dofs& dofs, bool log_errors) {
  const std::size_t n = sample.joint_group_indices.size();
  const std::size_t m = sample.cartesian_data.size();
  if (n != m) {
    if (log_errors) spdlog::error(stream_log::kMismatchedSizes, m, n);
    return {};
  }

  GroupStates result;
  const auto& joints = sample.joint_data;
  for (const auto& entry : names) {
    const kvt::JointGroup group = entry.first;
    const auto slice = FindSlice(group, start_ids, dofs, log_errors);
    if (!slice) return {};
    kvt::RobotStates& states = result[group];
    states.timestamp = RecordTimestamp(sample.timestamp);
    bool segmented = true;
#define ORBALTKVT_SEGMENT_(name, unit, meaning) \
  segmented =                                   \
      segmented && SegmentFullDofData(joints.name, slice->start_id, slice->dof, states.name);
    ORBALTKVT_STATES_JOINT_FIELDS(ORBALTKVT_SEGMENT_)
#undef ORBALTKVT_SEGMENT_
    if (!segmented) {
      if (log_errors) spdlog::error(stream_log::kSegmentJointData, static_cast<int>(group));
      return {};
    }
  }

  for (std::size_t k = 0; k < n; ++k) {
    kvt::RobotStates& states = result[static_cast<kvt::JointGroup>(sample.joint_group_indices[k])];
    const auto& cartesian = sample.cartesian_data.at(k);
#define ORBALTKVT_WIDEN_(name, width, unit, meaning) Widen(cartesian.name, states.name);
#define ORBALTKVT_SKIP_(name, local, unit, meaning)
    ORBALTKVT_STATES_CARTESIAN_FIELDS(ORBALTKVT_WIDEN_, ORBALTKVT_SKIP_)
#undef ORBALTKVT_WIDEN_
#undef ORBALTKVT_SKIP_
    SetExtWrenchInWorld(states);
  }
  return result;
}

void DataStream::SetExtWrenchInWorld(kvt::RobotStates& states) {
  const Eigen::Matrix3d rotation = RotationOf(states.tcp_pose.data());
#define ORBALTKVT_ROTATE_(name, local, unit, meaning) \
  RotateWrench(rotation, states.local.data(), states.name.data());
#define ORBALTKVT_SKIP_(name, width, unit, meaning)
  ORBALTKVT_STATES_CARTESIAN_FIELDS(ORBALTKVT_SKIP_, ORBALTKVT_ROTATE_)
#undef ORBALTKVT_ROTATE_
#undef ORBALTKVT_SKIP_
}

}  // namespace orbalt::kvt_impl
