#include "rust_sinks.hpp"

#include <algorithm>
#include <array>
#include <stdexcept>

#include "orbalt/kvt/joint_group.hpp"
#include "orbaltkvt_bridge.h"

namespace orbalt::kvt_bridge {

namespace {

std::string LastError() {
  char buf[512];
  const std::size_t n = okb_last_error(buf, sizeof buf);
  if (n < sizeof buf) return buf;
  std::string text(n + 1, '\0');
  okb_last_error(text.data(), text.size());
  text.resize(n);
  return text;
}

// Result codes: OKB_OK and OKB_SPLIT_DUE are successes, the rest carry the last error.
bool Check(std::int32_t code) {
  if (code < 0) throw std::runtime_error(LastError());
  return code == OKB_SPLIT_DUE;
}

std::vector<okb_key_value> View(const KeyValues& kvs) {
  std::vector<okb_key_value> out;
  out.reserve(kvs.size());
  for (const auto& [k, v] : kvs) out.push_back({k.c_str(), v.c_str()});
  return out;
}

template <std::size_t N>
void Bits(const std::array<bool, N>& in, std::uint8_t (&out)[N]) {
  for (std::size_t i = 0; i < N; ++i) out[i] = in[i] ? 1 : 0;
}

}  // namespace

RustSinks::RustSinks(const SinkOptions& options, std::vector<kvt::JointGroup> groups,
                     const KeyValues& metadata)
    : groups_(std::move(groups)) {
  std::vector<const char*> names;
  for (kvt::JointGroup g : groups_) names.push_back(kvt::kJointGroupNames.at(g).c_str());
  const std::vector<okb_key_value> meta = View(metadata);
  okb_options o{};
  o.mcap_path = options.mcap_path ? options.mcap_path->c_str() : nullptr;
  o.chunk_duration_ns = static_cast<std::uint64_t>(std::max<std::int64_t>(0, options.chunk_duration_ns));
  o.chunk_size = options.chunk_size;
  o.split_size = options.split_size;
  o.split_duration_ns = static_cast<std::uint64_t>(std::max<std::int64_t>(0, options.split_duration_ns));
  o.serve_host = options.serve ? options.serve->first.c_str() : nullptr;
  o.serve_port = options.serve ? options.serve->second : 0;
  o.server_name = options.server_name.c_str();
  o.viewer_backlog = options.viewer_backlog;
  o.group_names = names.data();
  o.group_count = names.size();
  o.metadata = meta.data();
  o.metadata_count = meta.size();
  Check(okb_open(&o, &bridge_));
}

RustSinks::~RustSinks() { okb_free(bridge_); }

bool RustSinks::write(const kvt::BasicSample& sample) {
  okb_group_states views[8];
  std::size_t n = 0;
  for (std::size_t i = 0; i < groups_.size() && n < std::size(views); ++i) {
    const auto it = sample.states.find(groups_[i]);
    if (it == sample.states.end()) continue;
    const kvt::RobotStates& s = it->second;
    const std::size_t dof = std::min({s.q.size(), s.dq.size(), s.tau.size()});
    views[n++] = okb_group_states{static_cast<std::uint32_t>(i), dof, s.q.data(), s.dq.data(),
                                  s.tau.data(), s.tcp_pose.data(), s.flange_pose.data()};
  }
  const kvt::StatusHeader& h = sample.status;
  okb_status status{};
  status.estop_released = h.estop_released;
  status.enabling_device_on = h.enabling_device_on;
  Bits(h.digital_inputs, status.digital_inputs);
  Bits(h.digital_outputs, status.digital_outputs);
  Bits(h.safety_inputs, status.safety_inputs);
  status.system_state = h.system_state;
  status.system_state_name = h.system_state_name.c_str();
  status.safety_board_state = h.safety_board_state;
  status.safety_board_state_name = h.safety_board_state_name.c_str();
  return Check(okb_write_basic(bridge_, sample.receive_time_ns, sample.timestamp.first,
                               sample.timestamp.second, views, n, &status,
                               sample.payload.data(), sample.payload.size()));
}

bool RustSinks::write(const kvt::ExtraSample& sample,
                      std::pair<std::int32_t, std::int32_t> stamp) {
  okb_group_actions views[8];
  std::size_t n = 0;
  for (std::size_t i = 0; i < groups_.size() && n < std::size(views); ++i) {
    const auto it = sample.actions.find(groups_[i]);
    if (it == sample.actions.end()) continue;
    const kvt::RobotActions& a = it->second;
    const std::size_t dof = std::min({a.q_d.size(), a.dq_d.size(), a.tau_d.size()});
    views[n++] = okb_group_actions{static_cast<std::uint32_t>(i), dof, a.q_d.data(),
                                   a.dq_d.data(), a.tau_d.data(), a.tcp_pose_d.data()};
  }
  return Check(okb_write_extra(bridge_, sample.receive_time_ns, stamp.first, stamp.second, views,
                               n, sample.payload.data(), sample.payload.size()));
}

void RustSinks::tick(std::int64_t now_ns) { Check(okb_tick(bridge_, now_ns)); }

void RustSinks::next_file(const KeyValues& counters) {
  const std::vector<okb_key_value> view = View(counters);
  Check(okb_next_file(bridge_, view.data(), view.size()));
}

void RustSinks::close(const KeyValues& counters) {
  const std::vector<okb_key_value> view = View(counters);
  Check(okb_close(bridge_, view.data(), view.size()));
}

SinkStats RustSinks::stats() const {
  okb_stats s{};
  okb_stats_get(bridge_, &s);
  SinkStats out;
  out.messages_written = s.messages_written;
  out.bytes_written = s.bytes_written;
  out.files_written = s.files_written;
  out.messages_served = s.messages_served;
  out.port = s.port;
  std::vector<okb_viewer> viewers(okb_viewers(bridge_, nullptr, 0));
  viewers.resize(std::min(viewers.size(), okb_viewers(bridge_, viewers.data(), viewers.size())));
  for (const okb_viewer& v : viewers) out.viewers.push_back({v.client_id, v.subscriptions, v.queued});
  return out;
}

}  // namespace orbalt::kvt_bridge
