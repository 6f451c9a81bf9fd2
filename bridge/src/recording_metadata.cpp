#include "recording_metadata.hpp"

#include <string>
#include <tuple>

#include "orbalt/kvt/joint_group.hpp"

#ifndef ORBALTKVT_BRIDGE_LIBRARY_VERSION
#error "ORBALTKVT_BRIDGE_LIBRARY_VERSION must name the project version"
#endif

namespace orbalt::kvt_bridge {

KeyValues RecordingMetadata(const kvt::SampleStream& stream,
                            const std::vector<kvt::JointGroup>& groups) {
  // Group names are enumerator spellings, so they need no JSON escaping.
  std::string layout = "{";
  for (const auto& [group, slice] : stream.layout()) {
    const auto name = kvt::kJointGroupNames.find(group);
    if (name == kvt::kJointGroupNames.end()) continue;
    if (layout.size() > 1) layout += ',';
    layout += '"' + name->second + "\":{\"start_id\":" + std::to_string(slice.start_id) +
              ",\"dof\":" + std::to_string(slice.dof) + '}';
  }
  layout += '}';
  std::string names;
  for (kvt::JointGroup g : groups) {
    if (!names.empty()) names += ',';
    names += kvt::kJointGroupNames.at(g);
  }
  return {{"serial_number", stream.serial_number()},
          {"layout", layout},
          {"service_version", kServiceVersion},
          {"library_version", ORBALTKVT_BRIDGE_LIBRARY_VERSION},
          {"groups", names}};
}

KeyValues CounterMetadata(const kvt::StreamCounters& basic, const kvt::StreamCounters& extra,
                          std::uint64_t samples_written) {
  KeyValues out;
  for (const auto& [prefix, c] :
       {std::pair<const char*, const kvt::StreamCounters&>{"basic_", basic}, {"extra_", extra}}) {
    const std::string p = prefix;
    out.emplace_back(p + "received", std::to_string(c.received));
    out.emplace_back(p + "delivered", std::to_string(c.delivered));
    out.emplace_back(p + "dropped", std::to_string(c.dropped));
    out.emplace_back(p + "gaps", std::to_string(c.gaps));
    out.emplace_back(p + "malformed", std::to_string(c.malformed));
  }
  out.emplace_back("samples_written", std::to_string(samples_written));
  return out;
}

KeyValues FileCounterMetadata(const FileCounts& start, const FileCounts& end) {
  auto delta = [](std::uint64_t a, std::uint64_t b) { return std::to_string(b >= a ? b - a : 0); };
  KeyValues out{{"file_basic_samples", delta(start.basic_written, end.basic_written)},
                {"file_extra_samples", delta(start.extra_written, end.extra_written)}};
  for (const auto& [prefix, a, b] :
       {std::tuple<const char*, const kvt::StreamCounters&, const kvt::StreamCounters&>{
            "file_basic_", start.basic, end.basic},
        {"file_extra_", start.extra, end.extra}}) {
    const std::string p = prefix;
    out.emplace_back(p + "dropped", delta(a.dropped, b.dropped));
    out.emplace_back(p + "gaps", delta(a.gaps, b.gaps));
    out.emplace_back(p + "malformed", delta(a.malformed, b.malformed));
  }
  return out;
}

}  // namespace orbalt::kvt_bridge
