/// @file
/// Whole stream samples as the sample stream hands them over, and its loss counters.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "orbalt/kvt/export.hpp"
#include "orbalt/kvt/joint_group.hpp"
#include "orbalt/kvt/record_fields.hpp"
#include "orbalt/kvt/robot_actions.hpp"
#include "orbalt/kvt/robot_states.hpp"

namespace orbalt::kvt {

/// Where a joint group's joints sit in the robot's full-DoF sequences: the slice from
/// `start_id`, `dof` entries long.
struct GroupLayout {
  std::uint32_t start_id = 0;  ///< index of the group's first joint in full-DoF sequences
  std::uint64_t dof = 0;       ///< number of the group's joints
};

/// The robot's joint-group layout, as fetched when a `Client` starts.
using JointLayout = std::map<JointGroup, GroupLayout>;

/// The status header of one basic sample: one member per entry of `kStatusFields` (flags as
/// `bool`, channels as `std::array<bool, N>` with entry i channel i, codes as `std::int32_t`),
/// then the names of the two state codes.
struct StatusHeader {
  /// @cond internal
#define ORBALTKVT_STATUS_MEMBER_(name, T, width, meaning) \
  typename StatusValue<T, width>::type name{};
  ORBALTKVT_STATUS_FIELDS(ORBALTKVT_STATUS_MEMBER_)
#undef ORBALTKVT_STATUS_MEMBER_
  /// @endcond
  /// The name of `system_state`, empty for a code the vocabulary lacks.
  std::string system_state_name;
  /// The name of `safety_board_state`, empty for a code the vocabulary lacks.
  std::string safety_board_state_name;
};

/// The name of a system state code, spelled as the robot's vocabulary spells it
/// ("WORKING_AUTO_EXECUTE"); empty for a code the vocabulary lacks.
ORBALTKVT_API std::string system_state_name(std::int32_t code);

/// The name of a safety board state code ("NORMAL", "CAT_0_STOP", "UNKNOWN" for -1); empty for
/// a code the vocabulary lacks.
ORBALTKVT_API std::string safety_board_state_name(std::int32_t code);

/// One sample of the basic (measured) stream, everything in it taken from that one sample.
struct BasicSample {
  /// Host time when the sample arrived: nanoseconds since the Unix epoch (CLOCK_REALTIME).
  std::int64_t receive_time_ns = 0;
  /// The robot's timestamp, as in every `RobotStates` record made from the sample.
  std::pair<std::int32_t, std::int32_t> timestamp{};
  /// One record per joint group of the layout, and one with only the Cartesian values for any
  /// other group the sample lists. Empty when the sample does not fit the layout.
  std::map<JointGroup, RobotStates> states;
  StatusHeader status;  ///< the sample's status header
  /// The sample's wire bytes, when the stream was asked to keep them; otherwise empty.
  std::vector<std::uint8_t> payload;
};

/// One sample of the extra (desired) stream.
struct ExtraSample {
  /// Host time when the sample arrived: nanoseconds since the Unix epoch (CLOCK_REALTIME).
  std::int64_t receive_time_ns = 0;
  /// The robot timestamp of the newest basic sample received before this one (the extra
  /// stream carries none of its own), as in every record of `actions`.
  std::pair<std::int32_t, std::int32_t> timestamp{};
  /// One record per joint group of the layout (and Cartesian-only records for other listed
  /// groups), stamped with the robot timestamp of the newest basic sample received before it:
  /// the extra stream carries no timestamp of its own. Empty when it does not fit the layout.
  std::map<JointGroup, RobotActions> actions;
  /// The sample's wire bytes, when the stream was asked to keep them; otherwise empty.
  std::vector<std::uint8_t> payload;
};

/// What happened to the samples of one stream since the sample stream started.
///
/// `received` = `delivered` + `dropped` + `malformed` + the samples still queued.
struct StreamCounters {
  std::uint64_t received = 0;   ///< samples that arrived from the transport
  std::uint64_t delivered = 0;  ///< samples handed to the reader
  std::uint64_t dropped = 0;    ///< oldest samples dropped because the queue was full
  /// Samples the robot sent that never arrived, from gaps in the robot's timestamps (the sample
  /// period is the smallest step seen). A step after the stream was silent for 0.25 s or longer
  /// is a pause of the robot, not a gap. Always 0 for the extra stream, which has no timestamps.
  std::uint64_t gaps = 0;
  std::uint64_t malformed = 0;  ///< samples that did not decode, counted and dropped
};

/// Samples taken from the queue in one call, each stream's in arrival order. Receive times
/// order the two streams against each other.
struct SampleBatch {
  std::vector<BasicSample> basic;  ///< basic samples, oldest first
  std::vector<ExtraSample> extra;  ///< extra samples, oldest first
  /// Whether the batch holds no sample of either stream.
  bool empty() const { return basic.empty() && extra.empty(); }
};

}  // namespace orbalt::kvt
