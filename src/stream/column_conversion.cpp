#include "stream/column_conversion.hpp"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <limits>

#include "stream/record_fields.hpp"
#include "stream/world_wrench.hpp"

namespace orbalt::kvt_impl {

namespace {

using kvt::FieldInfo;
using kvt::GroupColumns;
using kvt::StatusColumn;
using kvt::StreamColumns;
using zenoh_msgs::kvt_msg::AllBasicStreamData;
using zenoh_msgs::kvt_msg::AllExtraStreamData;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr std::size_t kStatesCount = std::size(kvt::kRobotStatesFields);
constexpr std::size_t kActionsCount = std::size(kvt::kRobotActionsFields);
constexpr std::size_t kStatusCount = std::size(kvt::kStatusFields);
#define ORBALTKVT_ONE_(...) +1
constexpr std::size_t kRobotStatesJointCount = 0 ORBALTKVT_STATES_JOINT_FIELDS(ORBALTKVT_ONE_);
constexpr std::size_t kRobotActionsJointCount = 0 ORBALTKVT_ACTIONS_JOINT_FIELDS(ORBALTKVT_ONE_);
#undef ORBALTKVT_ONE_

constexpr bool SameName(const char* a, const char* b) {
  while (*a != '\0' && *a == *b) {
    ++a;
    ++b;
  }
  return *a == *b;
}

template <std::size_t N>
constexpr std::size_t IndexOf(const FieldInfo (&table)[N], const char* name) {
  for (std::size_t i = 0; i < N; ++i) {
    if (SameName(table[i].name, name)) return i;
  }
  return N;
}

double* Row(GroupColumns& g, std::size_t field, std::size_t row, const FieldInfo* table) {
  return g.fields[field].data() + row * g.width(field, table);
}

// The columns of `group`, made (NaN in every row there is room for) when the stream has none.
GroupColumns& Group(StreamColumns& out, kvt::JointGroup group, std::size_t dof,
                    const FieldInfo* table, std::size_t count) {
  const std::size_t rows = out.receive_time_ns.size();
  auto at = std::lower_bound(out.groups.begin(), out.groups.end(), group,
                             [](const GroupColumns& g, kvt::JointGroup v) { return g.group < v; });
  if (at != out.groups.end() && at->group == group) return *at;
  at = out.groups.insert(at, GroupColumns{});
  at->group = group;
  at->dof = dof;
  at->fields.resize(count);
  for (std::size_t k = 0; k < count; ++k) at->fields[k].assign(rows * at->width(k, table), kNaN);
  return *at;
}

template <std::size_t N>
void WidenInto(const std::array<float, N>& source, double* target) {
  for (std::size_t i = 0; i < N; ++i) target[i] = source[i];
}

void WidenSlice(const std::vector<float>& source, std::uint32_t start_id, std::uint64_t dof,
                double* target) {
  for (std::uint64_t i = 0; i < dof; ++i) target[i] = source[start_id + i];
}

// Written so that a DoF near 2^64 from the robot cannot wrap the bound.
bool SliceFits(const std::vector<float>& source, std::uint32_t start_id, std::uint64_t dof) {
  return start_id <= source.size() && dof <= source.size() - start_id;
}

void Put(StatusColumn& c, std::size_t at, bool value) { c.flags[at] = value ? 1 : 0; }
template <std::size_t N>
void Put(StatusColumn& c, std::size_t at, const std::array<bool, N>& values) {
  for (std::size_t i = 0; i < N; ++i) c.flags[at + i] = values[i] ? 1 : 0;
}
// Codes are widened with their sign, as the client's readers do: UNKNOWN travels as -1.
void Put(StatusColumn& c, std::size_t at, std::uint16_t value) { c.codes[at] = value; }
void Put(StatusColumn& c, std::size_t at, std::int16_t value) { c.codes[at] = value; }

void PutTimes(StreamColumns& out, std::size_t row, std::int64_t receive_time_ns,
              std::pair<std::int32_t, std::int32_t> stamp) {
  out.receive_time_ns[row] = receive_time_ns;
  out.timestamp[2 * row] = stamp.first;
  out.timestamp[2 * row + 1] = stamp.second;
  out.robot_time_ns[row] = static_cast<std::int64_t>(stamp.first) * 1'000'000'000 + stamp.second;
}

// Gives the stream room for at least `rows` rows: columns are sized ahead of the rows written
// (NaN, zeros), so that a row is only written, never appended field by field.
void Grow(StreamColumns& out, std::size_t rows, const FieldInfo* table,
          std::vector<StatusColumn>* status) {
  const std::size_t room = out.receive_time_ns.size();
  if (room >= rows) return;
  const std::size_t next = std::max({rows, 2 * room, std::size_t{64}});
  out.receive_time_ns.resize(next, 0);
  out.timestamp.resize(2 * next, 0);
  out.robot_time_ns.resize(next, 0);
  out.valid.resize(next, 0);
  for (GroupColumns& g : out.groups) {
    for (std::size_t k = 0; k < g.fields.size(); ++k) g.fields[k].resize(next * g.width(k, table));
  }
  if (status == nullptr) return;
  for (std::size_t k = 0; k < status->size(); ++k) {
    const FieldInfo& field = kvt::kStatusFields[k];
    if (field.type == kvt::FieldType::kBool) {
      (*status)[k].flags.resize(next * field.width, 0);
    } else {
      (*status)[k].codes.resize(next * field.width, 0);
    }
  }
}

// Cuts every column to the rows written.
void Fit(StreamColumns& out, const FieldInfo* table, std::vector<StatusColumn>* status) {
  const std::size_t rows = out.rows;
  out.receive_time_ns.resize(rows);
  out.timestamp.resize(2 * rows);
  out.robot_time_ns.resize(rows);
  out.valid.resize(rows);
  for (GroupColumns& g : out.groups) {
    for (std::size_t k = 0; k < g.fields.size(); ++k) g.fields[k].resize(rows * g.width(k, table));
  }
  if (status == nullptr) return;
  for (std::size_t k = 0; k < status->size(); ++k) {
    const FieldInfo& field = kvt::kStatusFields[k];
    (*status)[k].flags.resize(field.type == kvt::FieldType::kBool ? rows * field.width : 0);
    (*status)[k].codes.resize(field.type == kvt::FieldType::kInt32 ? rows * field.width : 0);
  }
}

// Appends one row of every-joint values (`sources`, each a full-DoF sequence, or none) to
// columns `row_count - 1` rows long, widening all rows when this one has more joints.
void EveryJointRow(const std::vector<float>* const* sources, std::size_t count,
                   StreamColumns& out) {
  const std::size_t row = out.rows - 1;
  if (out.every_joint.size() != count) out.every_joint.assign(count, {});
  std::size_t width = 0;
  for (std::size_t k = 0; sources != nullptr && k < count; ++k) {
    width = std::max(width, sources[k]->size());
  }
  if (width > out.every_joint_width) {
    for (auto& column : out.every_joint) {
      std::vector<double> wider(row * width, kNaN);
      for (std::size_t r = 0; r < row; ++r) {
        std::copy_n(column.data() + r * out.every_joint_width, out.every_joint_width,
                    wider.data() + r * width);
      }
      column = std::move(wider);
    }
    out.every_joint_width = width;
  }
  for (std::size_t k = 0; k < count; ++k) {
    auto& column = out.every_joint[k];
    column.resize((row + 1) * out.every_joint_width, kNaN);
    if (sources != nullptr) {
      std::copy(sources[k]->begin(), sources[k]->end(),
                column.data() + row * out.every_joint_width);
    }
  }
}

}  // namespace

ColumnConversion::ColumnConversion(const kvt::JointLayout& layout) {
  for (const auto& [group, slice] : layout) layout_.push_back({group, slice.start_id, slice.dof});
}

void ColumnConversion::ClearStream(StreamColumns& out, std::size_t count) const {
  out.rows = 0;
  out.receive_time_ns.clear();
  out.timestamp.clear();
  out.robot_time_ns.clear();
  out.valid.clear();
  out.payload_bytes.clear();
  out.payload_offsets.clear();
  for (auto& column : out.every_joint) column.clear();
  out.every_joint_width = 0;
  // Groups only samples listed go with them; the layout's stay, emptied.
  out.groups.erase(std::remove_if(out.groups.begin(), out.groups.end(),
                                  [this](const GroupColumns& g) {
                                    return std::none_of(
                                        layout_.begin(), layout_.end(),
                                        [&](const Slice& s) { return s.group == g.group; });
                                  }),
                   out.groups.end());
  for (auto& g : out.groups) {
    for (auto& column : g.fields) column.clear();
  }
  for (const Slice& s : layout_) {
    auto at = std::find_if(out.groups.begin(), out.groups.end(),
                           [&](const GroupColumns& g) { return g.group == s.group; });
    if (at == out.groups.end()) {
      GroupColumns g;
      g.group = s.group;
      g.dof = static_cast<std::size_t>(s.dof);
      g.fields.resize(count);
      out.groups.push_back(std::move(g));
    }
  }
  std::sort(out.groups.begin(), out.groups.end(),
            [](const GroupColumns& a, const GroupColumns& b) { return a.group < b.group; });
}

void ColumnConversion::Clear(kvt::BasicColumns& out) const {
  ClearStream(out, kStatesCount);
  out.status.resize(kStatusCount);
  for (auto& c : out.status) {
    c.flags.clear();
    c.codes.clear();
  }
}

void ColumnConversion::Clear(kvt::ExtraColumns& out) const { ClearStream(out, kActionsCount); }

void ColumnConversion::Reserve(kvt::BasicColumns& out, std::size_t rows) {
  Grow(out, rows, kvt::kRobotStatesFields, &out.status);
}

void ColumnConversion::Reserve(kvt::ExtraColumns& out, std::size_t rows) {
  Grow(out, rows, kvt::kRobotActionsFields, nullptr);
}

void ColumnConversion::Finish(kvt::BasicColumns& out) {
  Fit(out, kvt::kRobotStatesFields, &out.status);
}

void ColumnConversion::Finish(kvt::ExtraColumns& out) {
  Fit(out, kvt::kRobotActionsFields, nullptr);
}

void ColumnConversion::FillUntouched(StreamColumns& out, std::size_t row,
                                     const FieldInfo* table) const {
  const auto touched = [](const std::vector<kvt::JointGroup>& groups, kvt::JointGroup g) {
    return std::find(groups.begin(), groups.end(), g) != groups.end();
  };
  for (GroupColumns& g : out.groups) {
    const bool joints = touched(touched_joints_, g.group);
    const bool cartesian = touched(touched_cartesian_, g.group);
    if (joints && cartesian) continue;
    for (std::size_t k = 0; k < g.fields.size(); ++k) {
      if ((table[k].width == 0 ? joints : cartesian)) continue;
      std::fill_n(Row(g, k, row, table), g.width(k, table), kNaN);
    }
  }
}

void ColumnConversion::AppendBasic(const AllBasicStreamData* message, std::int64_t receive_time_ns,
                                   kvt::BasicColumns& out) const {
  const FieldInfo* table = kvt::kRobotStatesFields;
  const std::size_t row = out.rows;
  Grow(out, row + 1, table, &out.status);
  PutTimes(out, row, receive_time_ns,
           message != nullptr ? RecordTimestamp(message->timestamp)
                              : std::pair<std::int32_t, std::int32_t>{});
  bool fits =
      message != nullptr && message->joint_group_indices.size() == message->cartesian_data.size();
  if (fits) {
    const auto& joints = message->joint_data;
    for (const Slice& s : layout_) {
#define ORBALTKVT_FITS_(name, unit, meaning) \
  fits = fits && SliceFits(joints.name, s.start_id, s.dof);
      ORBALTKVT_STATES_JOINT_FIELDS(ORBALTKVT_FITS_)
#undef ORBALTKVT_FITS_
    }
  }
  // A sample that gives no record at all (no group in the layout or the sample) fits nothing.
  fits = fits && (!layout_.empty() || !message->joint_group_indices.empty());
  out.valid[row] = fits ? 1 : 0;

  touched_joints_.clear();
  touched_cartesian_.clear();
  if (fits) {
    const auto& joints = message->joint_data;
    for (const Slice& s : layout_) {
      GroupColumns& g = Group(out, s.group, s.dof, table, kStatesCount);
      std::size_t k = 0;
#define ORBALTKVT_SLICE_(name, unit, meaning) \
  WidenSlice(joints.name, s.start_id, s.dof, Row(g, k++, row, table));
      ORBALTKVT_STATES_JOINT_FIELDS(ORBALTKVT_SLICE_)
#undef ORBALTKVT_SLICE_
      // A group of the layout that the sample does not list keeps zeros, as its record does.
      for (; k < kStatesCount; ++k) std::fill_n(Row(g, k, row, table), g.width(k, table), 0.0);
      touched_joints_.push_back(s.group);
      touched_cartesian_.push_back(s.group);
    }
    for (std::size_t i = 0; i < message->joint_group_indices.size(); ++i) {
      const auto group = static_cast<kvt::JointGroup>(message->joint_group_indices[i]);
      GroupColumns& g = Group(out, group, 0, table, kStatesCount);
      const auto& cartesian = message->cartesian_data[i];
#define ORBALTKVT_WIDEN_(name, width, unit, meaning)                       \
  {                                                                        \
    constexpr std::size_t field = IndexOf(kvt::kRobotStatesFields, #name); \
    WidenInto(cartesian.name, Row(g, field, row, table));                  \
  }
#define ORBALTKVT_SKIP_(name, local, unit, meaning)
      ORBALTKVT_STATES_CARTESIAN_FIELDS(ORBALTKVT_WIDEN_, ORBALTKVT_SKIP_)
#undef ORBALTKVT_WIDEN_
#undef ORBALTKVT_SKIP_
      constexpr std::size_t pose = IndexOf(kvt::kRobotStatesFields, "tcp_pose");
      const Eigen::Matrix3d rotation = RotationOf(Row(g, pose, row, table));
#define ORBALTKVT_ROTATE_(name, local, unit, meaning)                         \
  {                                                                           \
    constexpr std::size_t from = IndexOf(kvt::kRobotStatesFields, #local);    \
    constexpr std::size_t to = IndexOf(kvt::kRobotStatesFields, #name);       \
    RotateWrench(rotation, Row(g, from, row, table), Row(g, to, row, table)); \
  }
#define ORBALTKVT_SKIP_(name, width, unit, meaning)
      ORBALTKVT_STATES_CARTESIAN_FIELDS(ORBALTKVT_SKIP_, ORBALTKVT_ROTATE_)
#undef ORBALTKVT_ROTATE_
#undef ORBALTKVT_SKIP_
      touched_cartesian_.push_back(group);
    }
  }
  FillUntouched(out, row, table);

  if (message != nullptr) {
    std::size_t k = 0;
#define ORBALTKVT_STATUS_(name, type, width, meaning) \
  Put(out.status[k++], row* width, message->name);
    ORBALTKVT_STATUS_FIELDS(ORBALTKVT_STATUS_)
#undef ORBALTKVT_STATUS_
  } else {
    for (std::size_t k = 0; k < kStatusCount; ++k) {
      const FieldInfo& field = kvt::kStatusFields[k];
      auto& c = out.status[k];
      if (field.type == kvt::FieldType::kBool) {
        std::fill_n(c.flags.data() + row * field.width, field.width, 0);
      } else {
        std::fill_n(c.codes.data() + row * field.width, field.width, 0);
      }
    }
  }
  ++out.rows;
}

void ColumnConversion::AppendExtra(const AllExtraStreamData* message,
                                   std::pair<std::int32_t, std::int32_t> timestamp,
                                   std::int64_t receive_time_ns, kvt::ExtraColumns& out) const {
  const FieldInfo* table = kvt::kRobotActionsFields;
  const std::size_t row = out.rows;
  bool fits =
      message != nullptr && message->joint_group_indices.size() == message->cartesian_data.size();
  if (fits) {
    const auto& joints = message->joint_data;
    for (const Slice& s : layout_) {
#define ORBALTKVT_FITS_(name, unit, meaning) \
  fits = fits && SliceFits(joints.name, s.start_id, s.dof);
      ORBALTKVT_ACTIONS_JOINT_FIELDS(ORBALTKVT_FITS_)
#undef ORBALTKVT_FITS_
    }
  }
  fits = fits && (!layout_.empty() || !message->joint_group_indices.empty());
  Grow(out, row + 1, table, nullptr);
  // Rows that do not fit are zeros, as the records they replace were.
  PutTimes(out, row, receive_time_ns, fits ? timestamp : std::pair<std::int32_t, std::int32_t>{});
  out.valid[row] = fits ? 1 : 0;

  touched_joints_.clear();
  touched_cartesian_.clear();
  if (fits) {
    const auto& joints = message->joint_data;
    for (const Slice& s : layout_) {
      GroupColumns& g = Group(out, s.group, s.dof, table, kActionsCount);
      std::size_t k = 0;
#define ORBALTKVT_SLICE_(name, unit, meaning) \
  WidenSlice(joints.name, s.start_id, s.dof, Row(g, k++, row, table));
      ORBALTKVT_ACTIONS_JOINT_FIELDS(ORBALTKVT_SLICE_)
#undef ORBALTKVT_SLICE_
      for (; k < kActionsCount; ++k) std::fill_n(Row(g, k, row, table), g.width(k, table), 0.0);
      touched_joints_.push_back(s.group);
      touched_cartesian_.push_back(s.group);
    }
    for (std::size_t i = 0; i < message->joint_group_indices.size(); ++i) {
      const auto group = static_cast<kvt::JointGroup>(message->joint_group_indices[i]);
      GroupColumns& g = Group(out, group, 0, table, kActionsCount);
      const auto& cartesian = message->cartesian_data[i];
#define ORBALTKVT_WIDEN_(name, width, unit, meaning)                        \
  {                                                                         \
    constexpr std::size_t field = IndexOf(kvt::kRobotActionsFields, #name); \
    WidenInto(cartesian.name, Row(g, field, row, table));                   \
  }
      ORBALTKVT_ACTIONS_CARTESIAN_FIELDS(ORBALTKVT_WIDEN_)
#undef ORBALTKVT_WIDEN_
      touched_cartesian_.push_back(group);
    }
  }
  FillUntouched(out, row, table);
  ++out.rows;
}

void ColumnConversion::AppendPayload(const std::uint8_t* data, std::size_t size,
                                     StreamColumns& out) {
  if (out.payload_offsets.empty()) out.payload_offsets.push_back(0);
  out.payload_bytes.insert(out.payload_bytes.end(), data, data + size);
  out.payload_offsets.push_back(out.payload_bytes.size());
}

void ColumnConversion::AppendEveryJoint(const AllBasicStreamData* message, StreamColumns& out) {
  if (message == nullptr) {
    EveryJointRow(nullptr, kRobotStatesJointCount, out);
    return;
  }
  const auto& joints = message->joint_data;
  const std::vector<float>* sources[] = {
#define ORBALTKVT_SOURCE_(name, unit, meaning) &joints.name,
      ORBALTKVT_STATES_JOINT_FIELDS(ORBALTKVT_SOURCE_)
#undef ORBALTKVT_SOURCE_
  };
  EveryJointRow(sources, std::size(sources), out);
}

void ColumnConversion::AppendEveryJoint(const AllExtraStreamData* message, StreamColumns& out) {
  if (message == nullptr) {
    EveryJointRow(nullptr, kRobotActionsJointCount, out);
    return;
  }
  const auto& joints = message->joint_data;
  const std::vector<float>* sources[] = {
#define ORBALTKVT_SOURCE_(name, unit, meaning) &joints.name,
      ORBALTKVT_ACTIONS_JOINT_FIELDS(ORBALTKVT_SOURCE_)
#undef ORBALTKVT_SOURCE_
  };
  EveryJointRow(sources, std::size(sources), out);
}

}  // namespace orbalt::kvt_impl
