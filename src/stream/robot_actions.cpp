#include <spdlog/spdlog.h>

#include "stream/data_stream.hpp"
#include "stream/record_fields.hpp"
#include "stream/stream_log.hpp"

namespace orbalt::kvt_impl {

bool DataStream::SegmentContactData(const std::vector<std::array<float, 3>>& source,
                                    std::uint32_t start_id, std::uint64_t dof,
                                    std::vector<Eigen::Vector3d>& target) {
  // Written so that a DoF near 2^64 from the robot cannot wrap the bound.
  if (start_id > source.size() || dof > source.size() - start_id) return false;
  target.clear();
  target.reserve(dof);
  for (std::size_t i = start_id; i < start_id + dof; ++i) {
    target.emplace_back(source[i][0], source[i][1], source[i][2]);
  }
  return true;
}

DataStream::GroupActions DataStream::GetRobotActions(const GroupNames& names,
                                                     const StartIds& start_ids,
                                                     const Dofs& dofs) const {
  std::pair<std::int32_t, std::int32_t> timestamp;
  {
    std::lock_guard<std::mutex> lock(basic_mutex_);
    timestamp = RecordTimestamp(basic_latest_.timestamp);
  }

  std::lock_guard<std::mutex> lock(extra_mutex_);
  return ConvertRobotActions(extra_latest_, timestamp, names, start_ids, dofs, true);
}

DataStream::GroupActions DataStream::ConvertRobotActions(
    const zenoh_msgs::kvt_msg::AllExtraStreamData& sample,
    std::pair<std::int32_t, std::int32_t> timestamp, const GroupNames& names,
    const StartIds& start_ids, const Dofs& dofs, bool log_errors) {
  const std::size_t n = sample.joint_group_indices.size();
  const std::size_t m = sample.cartesian_data.size();
  if (n != m) {
    if (log_errors) spdlog::error(stream_log::kMismatchedDesiredSizes, m, n);
    return {};
  }

  GroupActions result;
  const auto& joints = sample.joint_data;
  for (const auto& entry : names) {
    const kvt::JointGroup group = entry.first;
    const auto slice = FindSlice(group, start_ids, dofs, log_errors);
    if (!slice) return {};
    kvt::RobotActions& actions = result[group];
    actions.timestamp = timestamp;
    bool segmented = true;
#define ORBALTKVT_SEGMENT_(name, unit, meaning) \
  segmented =                                   \
      segmented && SegmentFullDofData(joints.name, slice->start_id, slice->dof, actions.name);
    ORBALTKVT_ACTIONS_JOINT_FIELDS(ORBALTKVT_SEGMENT_)
#undef ORBALTKVT_SEGMENT_
    if (!segmented) {
      if (log_errors) spdlog::error(stream_log::kSegmentDesiredData, static_cast<int>(group));
      return {};
    }
  }

  for (std::size_t k = 0; k < n; ++k) {
    kvt::RobotActions& actions =
        result[static_cast<kvt::JointGroup>(sample.joint_group_indices[k])];
    const auto& cartesian = sample.cartesian_data.at(k);
#define ORBALTKVT_WIDEN_(name, width, unit, meaning) Widen(cartesian.name, actions.name);
    ORBALTKVT_ACTIONS_CARTESIAN_FIELDS(ORBALTKVT_WIDEN_)
#undef ORBALTKVT_WIDEN_
  }
  return result;
}

DataStream::ContactData DataStream::GetMultiContactPositions(const GroupNames& names,
                                                             const StartIds& start_ids,
                                                             const Dofs& dofs) const {
  return GetContactData(&zenoh_msgs::kvt_msg::BasicJointData::contact_positions,
                        stream_log::kSegmentContactPositions, names, start_ids, dofs);
}

DataStream::ContactData DataStream::GetMultiContactForces(const GroupNames& names,
                                                          const StartIds& start_ids,
                                                          const Dofs& dofs) const {
  return GetContactData(&zenoh_msgs::kvt_msg::BasicJointData::contact_forces,
                        stream_log::kSegmentContactForces, names, start_ids, dofs);
}

DataStream::ContactData DataStream::GetContactData(
    std::vector<std::array<float, 3>> zenoh_msgs::kvt_msg::BasicJointData::*source,
    const char* failure, const GroupNames& names, const StartIds& start_ids,
    const Dofs& dofs) const {
  std::lock_guard<std::mutex> lock(basic_mutex_);
  const auto& contacts = basic_latest_.joint_data.*source;
  ContactData result;
  for (const auto& entry : names) {
    const kvt::JointGroup group = entry.first;
    const auto slice = FindSlice(group, start_ids, dofs, true);
    if (!slice) return {};
    std::vector<Eigen::Vector3d> vectors;
    if (!SegmentContactData(contacts, slice->start_id, slice->dof, vectors)) {
      spdlog::error(fmt::runtime(failure), static_cast<int>(group));
      return {};
    }
    result[group] = std::move(vectors);
  }
  return result;
}

}  // namespace orbalt::kvt_impl
