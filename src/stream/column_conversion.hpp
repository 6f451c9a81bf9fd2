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
/// Not thread safe: one conversion per reader.
class ColumnConversion {
 public:
  explicit ColumnConversion(const kvt::JointLayout& layout);

  /// Empties `out` (its buffers keep their capacity) and gives it the layout's groups.
  void Clear(kvt::BasicColumns& out) const;
  void Clear(kvt::ExtraColumns& out) const;

  /// Makes room for `rows` rows in all, so that appending them allocates nothing. Columns are
  /// sized ahead of the rows appended; `Finish` cuts them to the rows, and must be called
  /// before the columns are read.
  static void Reserve(kvt::BasicColumns& out, std::size_t rows);
  static void Reserve(kvt::ExtraColumns& out, std::size_t rows);
  static void Finish(kvt::BasicColumns& out);
  static void Finish(kvt::ExtraColumns& out);

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
  // NaN into the row's columns of every group the row did not write.
  void FillUntouched(kvt::StreamColumns& out, std::size_t row, const kvt::FieldInfo* table) const;
  std::vector<Slice> layout_;
  // The groups a row wrote, kept between rows so that a row allocates nothing.
  mutable std::vector<kvt::JointGroup> touched_joints_;
  mutable std::vector<kvt::JointGroup> touched_cartesian_;
};

}  // namespace orbalt::kvt_impl
