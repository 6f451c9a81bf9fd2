// Wrenches measured in the TCP frame, turned into the world frame by the TCP pose.
#pragma once

#include <Eigen/Geometry>

namespace orbalt::kvt_impl {

/// The rotation of a pose (x, y, z, qw, qx, qy, qz). The quaternion is normalised first; a
/// zero quaternion stays zero, which the conversion turns into the identity.
inline Eigen::Matrix3d RotationOf(const double* pose) {
  Eigen::Quaterniond orientation(pose[3], pose[4], pose[5], pose[6]);
  if (orientation.squaredNorm() > 0.0) orientation.normalize();
  return orientation.toRotationMatrix();
}

/// Rotates both 3-vectors of the 6-value wrench `local` into `world`.
inline void RotateWrench(const Eigen::Matrix3d& rotation, const double* local, double* world) {
  Eigen::Map<Eigen::Vector3d> force(world), torque(world + 3);
  force = rotation * Eigen::Map<const Eigen::Vector3d>(local);
  torque = rotation * Eigen::Map<const Eigen::Vector3d>(local + 3);
}

}  // namespace orbalt::kvt_impl
