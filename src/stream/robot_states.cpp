#include <spdlog/spdlog.h>

#include <Eigen/Geometry>

#include "stream/data_stream.hpp"
#include "stream/record_fields.hpp"
#include "stream/stream_log.hpp"

namespace orbalt::kvt_impl {

namespace {

void RotateWrench(const Eigen::Matrix3d& rotation, const std::array<double, 6>& local,
                  std::array<double, 6>& world) {
  Eigen::Map<Eigen::Vector3d>(world.data()) =
      rotation * Eigen::Map<const Eigen::Vector3d>(local.data());
  Eigen::Map<Eigen::Vector3d>(world.data() + 3) =
      rotation * Eigen::Map<const Eigen::Vector3d>(local.data() + 3);
}

}  // namespace

bool DataStream::SegmentFullDofData(const std::vector<float>& source, std::uint32_t start_id,
                                    std::uint64_t dof, std::vector<double>& target) {
  // Written so that a DoF near 2^64 from the robot cannot wrap the bound.
  if (start_id > source.size() || dof > source.size() - start_id) return false;
  const auto first = source.begin() + start_id;
  target.assign(first, first + static_cast<std::ptrdiff_t>(dof));
  return true;
}

std::optional<DataStream::Slice> DataStream::FindSlice(kvt::JointGroup group,
                                                       const StartIds& start_ids,
                                                       const Dofs& dofs, bool log_errors) {
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
    const auto segment = [&](const std::vector<float>& source, std::vector<double>& target) {
      return SegmentFullDofData(source, slice->start_id, slice->dof, target);
    };
    if (!(segment(joints.q, states.q) && segment(joints.theta, states.theta) &&
          segment(joints.dq, states.dq) && segment(joints.dtheta, states.dtheta) &&
          segment(joints.tau, states.tau) && segment(joints.tau_dot, states.tau_dot) &&
          segment(joints.tau_ext, states.tau_ext) &&
          segment(joints.tau_interact, states.tau_interact) &&
          segment(joints.temperature, states.temperature))) {
      if (log_errors) spdlog::error(stream_log::kSegmentJointData, static_cast<int>(group));
      return {};
    }
  }

  for (std::size_t k = 0; k < n; ++k) {
    kvt::RobotStates& states = result[static_cast<kvt::JointGroup>(sample.joint_group_indices[k])];
    const auto& cartesian = sample.cartesian_data.at(k);
    Widen(cartesian.flange_pose, states.flange_pose);
    Widen(cartesian.tcp_pose, states.tcp_pose);
    Widen(cartesian.tcp_twist, states.tcp_twist);
    Widen(cartesian.tcp_wrench_local, states.tcp_wrench_local);
    Widen(cartesian.raw_tcp_wrench_local, states.raw_tcp_wrench_local);
    Widen(cartesian.raw_ft_sensor, states.raw_ft_sensor);
    SetExtWrenchInWorld(states);
  }
  return result;
}

void DataStream::SetExtWrenchInWorld(kvt::RobotStates& states) {
  const auto& pose = states.tcp_pose;
  Eigen::Quaterniond orientation(pose[3], pose[4], pose[5], pose[6]);
  // A zero quaternion stays zero, which the conversion below turns into the identity.
  if (orientation.squaredNorm() > 0.0) orientation.normalize();
  const Eigen::Matrix3d rotation = orientation.toRotationMatrix();
  RotateWrench(rotation, states.tcp_wrench_local, states.tcp_wrench);
  RotateWrench(rotation, states.raw_tcp_wrench_local, states.raw_tcp_wrench);
}

}  // namespace orbalt::kvt_impl
