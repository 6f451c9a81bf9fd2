#pragma once

#include <cstdint>
#include <vector>

#include "orbalt/kvt/sample_stream.hpp"
#include "rust_sinks.hpp"

namespace orbalt::kvt_bridge {

/// The robot's service version the client library speaks.
inline constexpr const char* kServiceVersion = "v2.1";

/// The "orbaltkvt" metadata record: serial_number, layout (JSON: group name -> start_id, dof),
/// service_version, library_version, groups (comma separated).
KeyValues RecordingMetadata(const kvt::SampleStream& stream,
                            const std::vector<kvt::JointGroup>& groups);

/// The "orbaltkvt.counters" record: each stream's counters (basic_received, ...,
/// extra_malformed) and samples_written.
KeyValues CounterMetadata(const kvt::StreamCounters& basic, const kvt::StreamCounters& extra,
                          std::uint64_t samples_written);

/// The counts at a moment of a recording: its streams' counters and the samples written.
struct FileCounts {
  kvt::StreamCounters basic;
  kvt::StreamCounters extra;
  std::uint64_t basic_written = 0;
  std::uint64_t extra_written = 0;
};

/// What one file of a recording holds, from the counts when it started and when it ended:
/// file_basic_samples and file_extra_samples (the samples in it), and the losses counted while
/// it was open (file_basic_dropped, file_basic_gaps, file_basic_malformed, the same for extra).
KeyValues FileCounterMetadata(const FileCounts& start, const FileCounts& end);

}  // namespace orbalt::kvt_bridge
