// Intake of the robot's two data streams and their conversion into per-group records.
#pragma once

#include <Eigen/Core>
#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "messages/stream_messages.hpp"
#include "middleware/nodes.hpp"
#include "middleware/subscriber.hpp"
#include "orbalt/kvt/joint_group.hpp"
#include "orbalt/kvt/robot_actions.hpp"
#include "orbalt/kvt/robot_states.hpp"
#include "stream/obr_state.hpp"
#include "stream/system_state.hpp"

namespace orbalt::kvt_impl {

class DataStreamTestAccess;

/// Keeps the newest complete sample of the robot's basic (measured) and extra (desired) streams
/// and converts them, on each call, into per-group records.
///
/// A joint group's entries in a full-DoF sequence are the slice that starts at the group's start
/// ID and is DoF entries long; callers supply the start IDs and DoFs fetched from the robot.
/// Until a stream's first sample arrives its newest copy is an empty message (no groups, zero
/// header).
///
/// Thread safety: all readers may be called from any thread at any time. Each stream has its
/// own mutex; a reader holds it for its whole work, so every result comes from one sample of
/// that stream. Readers that combine both streams take the two locks one after the other and
/// may mix samples that were not sent together.
///
/// The object must stay at one place once Init has run: the subscriptions refer to it.
class DataStream {
 public:
  using GroupNames = std::map<kvt::JointGroup, std::string>;
  using StartIds = std::map<kvt::JointGroup, std::uint32_t>;
  using Dofs = std::map<kvt::JointGroup, std::uint64_t>;
  using GroupStates = std::map<kvt::JointGroup, kvt::RobotStates>;
  using GroupActions = std::map<kvt::JointGroup, kvt::RobotActions>;
  using ContactData = std::map<kvt::JointGroup, std::vector<Eigen::Vector3d>>;

  DataStream() = default;
  /// Ends both subscriptions (waiting for a sample being published), then waits for readers.
  virtual ~DataStream();
  DataStream(const DataStream&) = delete;
  DataStream& operator=(const DataStream&) = delete;

  /// Subscribes to "orbalt/robot/" + `serial_number` + "/basic_stream_data" and
  /// "/extra_stream_data" on the node's session. Meant to be called once, before samples are
  /// read: a second call replaces both subscriptions, and while old and new overlap their
  /// samples are not serialised against each other.
  ///
  /// @param serial_number the robot's normalized serial number
  /// @return the OK state; failures leave by exception
  /// @throw zenoh::ZException "Failed to construct KeyExpr from: ..." or "Failed to declare
  ///        Subscriber". If the basic subscription fails, the extra one is not attempted.
  ObrState Init(const zenoh_mdw::RealtimeNode& node, const std::string& serial_number);

  /// Publishes the basic receive buffer as the newest basic sample. Called by the subscriber.
  void BasicSubCallback();
  /// Publishes the extra receive buffer as the newest extra sample. Called by the subscriber.
  void ExtraSubCallback();

  /// The joint groups listed in the newest basic (`from_basic`) or extra sample, with their
  /// names. An index above 5 is logged as an error and yields an empty map.
  ///
  /// @throw std::out_of_range "map::at" for index 1, which has no name
  GroupNames GetJointGroups(bool from_basic) const;

  /// One record per group of `names` (only its keys are used) from the newest basic sample:
  /// the group's slice of every full-DoF sequence and, for every group the sample lists, its
  /// Cartesian block with the world-frame wrenches. A group the sample lists but `names` lacks
  /// gets a record with only the Cartesian values. Every record of `names` carries the sample's
  /// timestamp.
  ///
  /// @return empty, with one error logged, when the sample's index and Cartesian counts differ,
  ///         a group lacks a start ID or DoF, or a sequence is too short for a group's slice
  GroupStates GetRobotStates(const GroupNames& names, const StartIds& start_ids,
                             const Dofs& dofs) const;

  /// GetRobotStates for a given basic sample, without a lock. With `log_errors` false a
  /// sample that does not fit the layout yields an empty map without a log line.
  static GroupStates ConvertRobotStates(const zenoh_msgs::kvt_msg::AllBasicStreamData& sample,
                                        const GroupNames& names, const StartIds& start_ids,
                                        const Dofs& dofs, bool log_errors);

  /// Rotates `tcp_wrench_local` and `raw_tcp_wrench_local` (each of their two 3-vectors by
  /// itself) into the world frame, with the normalised quaternion (w, x, y, z) of `tcp_pose`,
  /// into `tcp_wrench` and `raw_tcp_wrench`. An all-zero quaternion is taken as the identity.
  static void SetExtWrenchInWorld(kvt::RobotStates& states);

  /// One record per group of `names` with the group's slice of the newest extra sample's
  /// desired joint sequences and the newest basic sample's timestamp; every group the extra
  /// sample lists also gets its desired Cartesian values (a group `names` lacks gets only
  /// those, with a zero timestamp). No frame conversion is applied.
  ///
  /// @return empty, with one error logged, when the extra sample's index and Cartesian counts
  ///         differ, a group lacks a start ID or DoF, or a sequence is too short for a slice
  GroupActions GetRobotActions(const GroupNames& names, const StartIds& start_ids,
                               const Dofs& dofs) const;

  /// GetRobotActions for a given extra sample and basic timestamp, without a lock. With
  /// `log_errors` false a sample that does not fit the layout yields an empty map silently.
  static GroupActions ConvertRobotActions(const zenoh_msgs::kvt_msg::AllExtraStreamData& sample,
                                          std::pair<std::int32_t, std::int32_t> timestamp,
                                          const GroupNames& names, const StartIds& start_ids,
                                          const Dofs& dofs, bool log_errors);

  /// Each group's slice of the newest basic sample's contact positions, one 3-vector per joint.
  /// @return empty, with one error logged, on missing metadata or a too-short sequence
  ContactData GetMultiContactPositions(const GroupNames& names, const StartIds& start_ids,
                                       const Dofs& dofs) const;

  /// Each group's slice of the newest basic sample's contact forces, one 3-vector per joint.
  /// @return empty, with one error logged, on missing metadata or a too-short sequence
  ContactData GetMultiContactForces(const GroupNames& names, const StartIds& start_ids,
                                    const Dofs& dofs) const;

  // Status header of the newest basic sample, copied as it stands: a state value without an
  // enumerator is returned unchanged. Entry i of an array is input/output channel i.

  obr::SystemState GetSystemState() const;
  obr::SafetyBoardState GetSafetyBoardState() const;
  std::array<bool, 8> GetSafetyInputs() const;
  bool IsEstopReleased() const;
  bool IsEnablingDeviceOn() const;
  std::array<bool, 20> GetDigitalInput() const;
  std::array<bool, 20> GetDigitalOutput() const;

 private:
  friend class DataStreamTestAccess;  // tests publish samples without a robot

  /// Widens `source[start_id, start_id + dof)` into `target`; false (target untouched) when the
  /// source is too short.
  static bool SegmentFullDofData(const std::vector<float>& source, std::uint32_t start_id,
                                 std::uint64_t dof, std::vector<double>& target);
  /// SegmentFullDofData for 3-vectors.
  static bool SegmentContactData(const std::vector<std::array<float, 3>>& source,
                                 std::uint32_t start_id, std::uint64_t dof,
                                 std::vector<Eigen::Vector3d>& target);

  /// A group's slice of the full-DoF sequences: its start ID and DoF.
  struct Slice {
    std::uint32_t start_id;
    std::uint64_t dof;
  };
  /// The slice of `group`, or nothing (and the metadata error logged) when either map lacks it.
  static std::optional<Slice> FindSlice(kvt::JointGroup group, const StartIds& start_ids,
                                        const Dofs& dofs, bool log_errors);

  ContactData GetContactData(
      std::vector<std::array<float, 3>> zenoh_msgs::kvt_msg::BasicJointData::*source,
      const char* failure, const GroupNames& names, const StartIds& start_ids,
      const Dofs& dofs) const;

  std::shared_ptr<zenoh_mdw::Subscriber<zenoh_msgs::kvt_msg::AllBasicStreamData>> basic_sub_;
  std::shared_ptr<zenoh_mdw::Subscriber<zenoh_msgs::kvt_msg::AllExtraStreamData>> extra_sub_;
  zenoh_msgs::kvt_msg::AllBasicStreamData basic_rx_{};
  zenoh_msgs::kvt_msg::AllExtraStreamData extra_rx_{};
  zenoh_msgs::kvt_msg::AllBasicStreamData basic_latest_{};
  zenoh_msgs::kvt_msg::AllExtraStreamData extra_latest_{};
  mutable std::mutex basic_mutex_;
  mutable std::mutex extra_mutex_;
};

}  // namespace orbalt::kvt_impl
