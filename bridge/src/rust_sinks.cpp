#include "rust_sinks.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <iterator>
#include <stdexcept>
#include <string_view>

#include "orbalt/kvt/joint_group.hpp"
#include "orbalt/kvt/record_fields.hpp"
#include "orbalt/kvt/stream_samples.hpp"
#include "orbaltkvt_bridge.h"

namespace orbalt::kvt_bridge {

namespace {

using kvt::FieldInfo;

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
  if (code == OKB_ERR_ARGUMENT) throw std::invalid_argument(LastError());
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
constexpr std::size_t FieldIndex(const FieldInfo (&table)[N], const char* name) {
  for (std::size_t i = 0; i < N; ++i) {
    if (std::string_view(table[i].name) == name) return i;
  }
  throw std::logic_error("a field the bridge writes is missing from its table");
}

// The columns the channels are made of, found in the field tables once.
constexpr std::size_t kQ = FieldIndex(kvt::kRobotStatesFields, "q");
constexpr std::size_t kDq = FieldIndex(kvt::kRobotStatesFields, "dq");
constexpr std::size_t kTau = FieldIndex(kvt::kRobotStatesFields, "tau");
constexpr std::size_t kTcpPose = FieldIndex(kvt::kRobotStatesFields, "tcp_pose");
constexpr std::size_t kFlangePose = FieldIndex(kvt::kRobotStatesFields, "flange_pose");
constexpr std::size_t kQd = FieldIndex(kvt::kRobotActionsFields, "q_d");
constexpr std::size_t kDqd = FieldIndex(kvt::kRobotActionsFields, "dq_d");
constexpr std::size_t kTaud = FieldIndex(kvt::kRobotActionsFields, "tau_d");
constexpr std::size_t kTcpPosed = FieldIndex(kvt::kRobotActionsFields, "tcp_pose_d");
constexpr std::size_t kStatusCount = std::size(kvt::kStatusFields);

// The codes whose names go beside them on /status.
struct CodeName {
  const char* field;
  std::string (*name_of)(std::int32_t);
};
constexpr CodeName kCodeNames[] = {{"system_state", kvt::system_state_name},
                                   {"safety_board_state", kvt::safety_board_state_name}};

const CodeName* CodeNameOf(const char* field) {
  for (const CodeName& c : kCodeNames) {
    if (std::strcmp(c.field, field) == 0) return &c;
  }
  return nullptr;
}

// Row `row` of column `field`: `width` values from there.
const double* Row(const kvt::GroupColumns& g, std::size_t field, std::size_t row,
                  const FieldInfo* table) {
  return g.fields[field].data() + row * g.width(field, table);
}

// Whether the row's sample gave the group a record: every group of the layout in a row that
// fits it; another group only when the sample listed it (its columns are NaN otherwise).
bool HasGroup(const kvt::StreamColumns& s, const kvt::GroupColumns* g, std::size_t pose,
              std::size_t row, const FieldInfo* table) {
  if (g == nullptr || s.valid[row] == 0) return false;
  return g->dof > 0 || !std::isnan(*Row(*g, pose, row, table));
}

const std::uint8_t* Payload(const kvt::StreamColumns& s, std::size_t row, std::size_t& size) {
  if (s.payload_offsets.size() <= row + 1) {
    size = 0;
    return nullptr;
  }
  size = s.payload_offsets[row + 1] - s.payload_offsets[row];
  return s.payload_bytes.data() + s.payload_offsets[row];
}

}  // namespace

RustSinks::RustSinks(const SinkOptions& options, std::vector<kvt::JointGroup> groups,
                     const KeyValues& metadata)
    : groups_(std::move(groups)),
      basic_groups_(groups_.size(), nullptr),
      extra_groups_(groups_.size(), nullptr) {
  std::vector<const char*> names;
  for (kvt::JointGroup g : groups_) names.push_back(kvt::kJointGroupNames.at(g).c_str());
  std::array<okb_status_field, kStatusCount> fields{};
  for (std::size_t k = 0; k < kStatusCount; ++k) {
    const FieldInfo& f = kvt::kStatusFields[k];
    const CodeName* code = CodeNameOf(f.name);
    fields[k] = okb_status_field{f.name,
                                 f.type == kvt::FieldType::kBool ? std::uint32_t{OKB_FIELD_BOOL}
                                                                 : std::uint32_t{OKB_FIELD_INT32},
                                 f.width, f.meaning, static_cast<std::uint8_t>(code != nullptr)};
    if (code != nullptr) named_.push_back(NamedCode{k, code->name_of, {}});
  }
  const std::vector<okb_key_value> meta = View(metadata);
  okb_options o{};
  o.mcap_path = options.mcap_path ? options.mcap_path->c_str() : nullptr;
  o.chunk_duration_ns =
      static_cast<std::uint64_t>(std::max<std::int64_t>(0, options.chunk_duration_ns));
  o.chunk_size = options.chunk_size;
  o.split_size = options.split_size;
  o.split_duration_ns =
      static_cast<std::uint64_t>(std::max<std::int64_t>(0, options.split_duration_ns));
  o.serve_host = options.serve ? options.serve->first.c_str() : nullptr;
  o.serve_port = options.serve ? options.serve->second : 0;
  o.server_name = options.server_name.c_str();
  o.viewer_backlog = options.viewer_backlog;
  o.group_names = names.data();
  o.group_count = names.size();
  o.status_fields = fields.data();
  o.status_field_count = fields.size();
  o.metadata = meta.data();
  o.metadata_count = meta.size();
  Check(okb_open(&o, &bridge_));
}

RustSinks::~RustSinks() { okb_free(bridge_); }

void RustSinks::bind(const kvt::ColumnBatch& batch) {
  batch_ = &batch;
  for (std::size_t i = 0; i < groups_.size(); ++i) {
    basic_groups_[i] = batch.basic.find(groups_[i]);
    extra_groups_[i] = batch.extra.find(groups_[i]);
  }
}

const char* RustSinks::NameOf(NamedCode& code, std::int32_t value) {
  auto it = code.names.find(value);
  if (it == code.names.end()) it = code.names.emplace(value, code.name_of(value)).first;
  return it->second.c_str();
}

bool RustSinks::write_basic(std::size_t row) {
  const kvt::BasicColumns& b = batch_->basic;
  const FieldInfo* table = kvt::kRobotStatesFields;
  // okb_open takes at most OKB_MAX_GROUPS groups, so every group has its view.
  std::array<okb_group_states, OKB_MAX_GROUPS> views{};
  std::size_t n = 0;
  for (std::size_t i = 0; i < groups_.size(); ++i) {
    const kvt::GroupColumns* g = basic_groups_[i];
    if (!HasGroup(b, g, kTcpPose, row, table)) continue;
    views[n++] = okb_group_states{static_cast<std::uint32_t>(i),   g->dof,
                                  Row(*g, kQ, row, table),         Row(*g, kDq, row, table),
                                  Row(*g, kTau, row, table),       Row(*g, kTcpPose, row, table),
                                  Row(*g, kFlangePose, row, table)};
  }
  std::array<const void*, kStatusCount> values{};
  for (std::size_t k = 0; k < kStatusCount; ++k) {
    const kvt::StatusColumn& c = b.status[k];
    const std::size_t at = row * kvt::kStatusFields[k].width;
    values[k] = kvt::kStatusFields[k].type == kvt::FieldType::kBool
                    ? static_cast<const void*>(c.flags.data() + at)
                    : static_cast<const void*>(c.codes.data() + at);
  }
  std::array<const char*, std::size(kCodeNames)> names{};
  for (std::size_t i = 0; i < named_.size(); ++i) {
    names[i] = NameOf(named_[i], b.status[named_[i].field].codes[row]);
  }
  const okb_status status{values.data(), names.data()};
  basic_stamp_ = {b.timestamp[2 * row], b.timestamp[2 * row + 1]};
  std::size_t size = 0;
  const std::uint8_t* payload = Payload(b, row, size);
  return Check(okb_write_basic(bridge_, b.receive_time_ns[row], basic_stamp_.first,
                               basic_stamp_.second, views.data(), n, &status, payload, size));
}

bool RustSinks::write_extra(std::size_t row) {
  const kvt::ExtraColumns& e = batch_->extra;
  const FieldInfo* table = kvt::kRobotActionsFields;
  std::array<okb_group_actions, OKB_MAX_GROUPS> views{};
  std::size_t n = 0;
  for (std::size_t i = 0; i < groups_.size(); ++i) {
    const kvt::GroupColumns* g = extra_groups_[i];
    if (!HasGroup(e, g, kTcpPosed, row, table)) continue;
    views[n++] = okb_group_actions{static_cast<std::uint32_t>(i), g->dof,
                                   Row(*g, kQd, row, table),      Row(*g, kDqd, row, table),
                                   Row(*g, kTaud, row, table),    Row(*g, kTcpPosed, row, table)};
  }
  const auto stamp =
      e.valid[row] != 0
          ? std::pair<std::int32_t, std::int32_t>{e.timestamp[2 * row], e.timestamp[2 * row + 1]}
          : basic_stamp_;
  std::size_t size = 0;
  const std::uint8_t* payload = Payload(e, row, size);
  return Check(okb_write_extra(bridge_, e.receive_time_ns[row], stamp.first, stamp.second,
                               views.data(), n, payload, size));
}

void RustSinks::tick(std::int64_t now_ns) { Check(okb_tick(bridge_, now_ns)); }

void RustSinks::next_file(const KeyValues& counters) {
  const std::vector<okb_key_value> view = View(counters);
  Check(okb_next_file(bridge_, view.data(), view.size()));
}

void RustSinks::write_counters(std::int64_t now_ns, const kvt::StreamCounters& basic,
                               const kvt::StreamCounters& extra, std::uint64_t samples_written) {
  auto stream = [](const kvt::StreamCounters& c) {
    return okb_stream_counters{c.received, c.delivered, c.dropped, c.gaps, c.malformed};
  };
  const okb_counters c{stream(basic), stream(extra), samples_written};
  Check(okb_write_counters(bridge_, static_cast<std::uint64_t>(std::max<std::int64_t>(now_ns, 0)),
                           &c));
}

void RustSinks::write_metadata(const std::string& name, const KeyValues& items) {
  const std::vector<okb_key_value> view = View(items);
  Check(okb_write_metadata(bridge_, name.c_str(), view.data(), view.size()));
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
  for (const okb_viewer& v : viewers) {
    out.viewers.push_back({v.client_id, v.subscriptions, v.queued, v.sent, v.dropped});
  }
  return out;
}

}  // namespace orbalt::kvt_bridge
