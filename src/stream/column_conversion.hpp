// Decoded stream messages appended to column buffers, with one joint layout.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "messages/stream_messages.hpp"
#include "orbalt/kvt/sample_columns.hpp"
#include "orbalt/kvt/stream_samples.hpp"

namespace orbalt::kvt_impl {

/// Appends one row per message to a stream's columns, converting exactly as the per-group
/// readers do (the same slices, widening and world-frame wrenches), but straight into the
/// columns: nothing is allocated per row once the buffers have grown.
///
/// A row whose message did not decode (null) or does not fit the layout is NaN in every group
/// column and has `valid` 0; a decoded basic message still gives its timestamp and status.
class ColumnConversion {
 public:
  explicit ColumnConversion(const kvt::JointLayout& layout);

  /// Empties `out` (its buffers keep their capacity) and gives it the layout's groups.
  void Clear(kvt::BasicColumns& out) const;
  void Clear(kvt::ExtraColumns& out) const;

  void AppendBasic(const zenoh_msgs::kvt_msg::AllBasicStreamData* message,
                   std::int64_t receive_time_ns, kvt::BasicColumns& out) const;
  /// `timestamp`: the robot timestamp of the newest basic sample before this one.
  void AppendExtra(const zenoh_msgs::kvt_msg::AllExtraStreamData* message,
                   std::pair<std::int32_t, std::int32_t> timestamp, std::int64_t receive_time_ns,
                   kvt::ExtraColumns& out) const;

  /// The row's wire bytes, for streams that keep them (call once per row, after Append).
  static void AppendPayload(const std::uint8_t* data, std::size_t size, kvt::StreamColumns& out);

  /// Every joint of the message in full-DoF order (call once per row, after Append; null:
  /// a NaN row).
  static void AppendEveryJoint(const zenoh_msgs::kvt_msg::AllBasicStreamData* message,
                               kvt::StreamColumns& out);
  static void AppendEveryJoint(const zenoh_msgs::kvt_msg::AllExtraStreamData* message,
                               kvt::StreamColumns& out);

 private:
  struct Slice {
    kvt::JointGroup group;
    std::uint32_t start_id;
    std::uint64_t dof;
  };
  void ClearStream(kvt::StreamColumns& out, std::size_t fields) const;
  std::vector<Slice> layout_;
};

}  // namespace orbalt::kvt_impl
