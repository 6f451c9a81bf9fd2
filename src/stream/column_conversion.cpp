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

// Gives every column of `g` one more row of NaN.
void PadRow(GroupColumns& g, const FieldInfo* table) {
  for (std::size_t k = 0; k < g.fields.size(); ++k) {
    auto& column = g.fields[k];
    column.resize(column.size() + g.width(k, table), kNaN);
  }
}

double* Row(GroupColumns& g, std::size_t field, std::size_t row, const FieldInfo* table) {
  return g.fields[field].data() + row * g.width(field, table);
}

// The columns of `group`, made with `rows` rows of NaN when the stream has none yet.
GroupColumns& Group(StreamColumns& out, kvt::JointGroup group, std::size_t dof,
                    const FieldInfo* table, std::size_t count, std::size_t rows) {
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

void Put(StatusColumn& c, bool value) { c.flags.push_back(value ? 1 : 0); }
template <std::size_t N>
void Put(StatusColumn& c, const std::array<bool, N>& values) {
  for (const bool v : values) c.flags.push_back(v ? 1 : 0);
}
// Codes are widened with their sign, as the client's readers do: UNKNOWN travels as -1.
void Put(StatusColumn& c, std::uint16_t value) { c.codes.push_back(value); }
void Put(StatusColumn& c, std::int16_t value) { c.codes.push_back(value); }

void PutZeros(StatusColumn& c, const FieldInfo& field) {
  if (field.type == kvt::FieldType::kBool) {
    c.flags.insert(c.flags.end(), field.width, 0);
  } else {
    c.codes.insert(c.codes.end(), field.width, 0);
  }
}

void AppendTimes(StreamColumns& out, std::int64_t receive_time_ns,
                 std::pair<std::int32_t, std::int32_t> stamp) {
  out.receive_time_ns.push_back(receive_time_ns);
  out.timestamp.push_back(stamp.first);
  out.timestamp.push_back(stamp.second);
  out.robot_time_ns.push_back(static_cast<std::int64_t>(stamp.first) * 1'000'000'000 +
                              stamp.second);
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

void ColumnConversion::AppendBasic(const AllBasicStreamData* message, std::int64_t receive_time_ns,
                                   kvt::BasicColumns& out) const {
  const FieldInfo* table = kvt::kRobotStatesFields;
  const std::size_t row = out.rows;
  AppendTimes(out, receive_time_ns,
              message != nullptr ? RecordTimestamp(message->timestamp)
                                 : std::pair<std::int32_t, std::int32_t>{});
  for (const Slice& s : layout_) Group(out, s.group, s.dof, table, kStatesCount, row);
  for (auto& g : out.groups) PadRow(g, table);

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
  out.valid.push_back(fits ? 1 : 0);

  if (fits) {
    const auto& joints = message->joint_data;
    for (const Slice& s : layout_) {
      GroupColumns& g = Group(out, s.group, s.dof, table, kStatesCount, row + 1);
      std::size_t k = 0;
#define ORBALTKVT_SLICE_(name, unit, meaning) \
  WidenSlice(joints.name, s.start_id, s.dof, Row(g, k++, row, table));
      ORBALTKVT_STATES_JOINT_FIELDS(ORBALTKVT_SLICE_)
#undef ORBALTKVT_SLICE_
      // A group of the layout that the sample does not list keeps zeros, as its record does.
      for (; k < kStatesCount; ++k) std::fill_n(Row(g, k, row, table), g.width(k, table), 0.0);
    }
    for (std::size_t i = 0; i < message->joint_group_indices.size(); ++i) {
      const auto group = static_cast<kvt::JointGroup>(message->joint_group_indices[i]);
      GroupColumns& g = Group(out, group, 0, table, kStatesCount, row + 1);
      const auto& cartesian = message->cartesian_data[i];
#define ORBALTKVT_WIDEN_(name, width, unit, meaning) \
  WidenInto(cartesian.name, Row(g, IndexOf(kvt::kRobotStatesFields, #name), row, table));
#define ORBALTKVT_SKIP_(name, local, unit, meaning)
      ORBALTKVT_STATES_CARTESIAN_FIELDS(ORBALTKVT_WIDEN_, ORBALTKVT_SKIP_)
#undef ORBALTKVT_WIDEN_
#undef ORBALTKVT_SKIP_
      const Eigen::Matrix3d rotation =
          RotationOf(Row(g, IndexOf(kvt::kRobotStatesFields, "tcp_pose"), row, table));
#define ORBALTKVT_ROTATE_(name, local, unit, meaning)                                  \
  RotateWrench(rotation, Row(g, IndexOf(kvt::kRobotStatesFields, #local), row, table), \
               Row(g, IndexOf(kvt::kRobotStatesFields, #name), row, table));
#define ORBALTKVT_SKIP_(name, width, unit, meaning)
      ORBALTKVT_STATES_CARTESIAN_FIELDS(ORBALTKVT_SKIP_, ORBALTKVT_ROTATE_)
#undef ORBALTKVT_ROTATE_
#undef ORBALTKVT_SKIP_
    }
  }

  std::size_t k = 0;
#define ORBALTKVT_STATUS_(name, type, width, meaning) \
  if (message != nullptr) {                           \
    Put(out.status[k], message->name);                \
  } else {                                            \
    PutZeros(out.status[k], kvt::kStatusFields[k]);   \
  }                                                   \
  ++k;
  ORBALTKVT_STATUS_FIELDS(ORBALTKVT_STATUS_)
#undef ORBALTKVT_STATUS_
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
  // A sample that gives no record at all (no group in the layout or the sample) fits nothing.
  fits = fits && (!layout_.empty() || !message->joint_group_indices.empty());
  // Rows that do not fit are zeros, as the records they replace were.
  AppendTimes(out, receive_time_ns, fits ? timestamp : std::pair<std::int32_t, std::int32_t>{});
  for (const Slice& s : layout_) Group(out, s.group, s.dof, table, kActionsCount, row);
  for (auto& g : out.groups) PadRow(g, table);
  out.valid.push_back(fits ? 1 : 0);

  if (fits) {
    const auto& joints = message->joint_data;
    for (const Slice& s : layout_) {
      GroupColumns& g = Group(out, s.group, s.dof, table, kActionsCount, row + 1);
      std::size_t k = 0;
#define ORBALTKVT_SLICE_(name, unit, meaning) \
  WidenSlice(joints.name, s.start_id, s.dof, Row(g, k++, row, table));
      ORBALTKVT_ACTIONS_JOINT_FIELDS(ORBALTKVT_SLICE_)
#undef ORBALTKVT_SLICE_
      for (; k < kActionsCount; ++k) std::fill_n(Row(g, k, row, table), g.width(k, table), 0.0);
    }
    for (std::size_t i = 0; i < message->joint_group_indices.size(); ++i) {
      const auto group = static_cast<kvt::JointGroup>(message->joint_group_indices[i]);
      GroupColumns& g = Group(out, group, 0, table, kActionsCount, row + 1);
      const auto& cartesian = message->cartesian_data[i];
#define ORBALTKVT_WIDEN_(name, width, unit, meaning) \
  WidenInto(cartesian.name, Row(g, IndexOf(kvt::kRobotActionsFields, #name), row, table));
      ORBALTKVT_ACTIONS_CARTESIAN_FIELDS(ORBALTKVT_WIDEN_)
#undef ORBALTKVT_WIDEN_
    }
  }
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
