// Whole stream messages into the public sample records, with one joint layout.
#pragma once

#include <cstdint>
#include <utility>

#include "messages/stream_messages.hpp"
#include "orbalt/kvt/stream_samples.hpp"
#include "stream/data_stream.hpp"

namespace orbalt::kvt_impl {

/// Converts basic and extra messages exactly as the client's readers do, for the groups of a
/// fixed layout. A message that does not fit the layout gives empty records, silently: the
/// caller counts such samples.
class SampleConversion {
 public:
  explicit SampleConversion(const kvt::JointLayout& layout);

  void ToBasic(const zenoh_msgs::kvt_msg::AllBasicStreamData& message,
               std::int64_t receive_time_ns, kvt::BasicSample& out) const;
  /// `timestamp`: the robot timestamp of the newest basic sample before this one.
  void ToExtra(const zenoh_msgs::kvt_msg::AllExtraStreamData& message,
               std::pair<std::int32_t, std::int32_t> timestamp, std::int64_t receive_time_ns,
               kvt::ExtraSample& out) const;

  /// Every joint the message carries, whatever the layout, in the robot's full-DoF order, with
  /// the message's timestamp; the record's Cartesian fields are left as they were.
  static void ToEveryJoint(const zenoh_msgs::kvt_msg::AllBasicStreamData& message,
                           kvt::RobotStates& out);
  /// The desired values of every joint the message carries, in full-DoF order.
  static void ToEveryJoint(const zenoh_msgs::kvt_msg::AllExtraStreamData& message,
                           std::pair<std::int32_t, std::int32_t> timestamp,
                           kvt::RobotActions& out);

 private:
  DataStream::GroupNames names_;
  DataStream::StartIds start_ids_;
  DataStream::Dofs dofs_;
};

}  // namespace orbalt::kvt_impl
