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

}  // namespace orbalt::kvt_bridge
