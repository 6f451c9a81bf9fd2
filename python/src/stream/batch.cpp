#include "batch.hpp"

#include <pybind11/numpy.h>

#include <iterator>
#include <string>
#include <utility>
#include <vector>

namespace py = pybind11;

namespace orbalt::kvt::python {

namespace {

// A numpy array over `values`, which it takes over: the buffer is freed with the array.
template <class T, class Stored = T>
py::array_t<T> Own(std::vector<Stored>&& values, std::vector<py::ssize_t> shape) {
  static_assert(sizeof(T) == sizeof(Stored));
  auto* owned = new std::vector<Stored>(std::move(values));
  py::capsule owner(owned, [](void* p) { delete static_cast<std::vector<Stored>*>(p); });
  return py::array_t<T>(shape, reinterpret_cast<const T*>(owned->data()), owner);
}

py::ssize_t Rows(const StreamColumns& c) { return static_cast<py::ssize_t>(c.rows); }

template <class Out>
void Times(StreamColumns& c, Out& out) {
  const py::ssize_t n = Rows(c);
  out.receive_time_ns = Own<std::int64_t>(std::move(c.receive_time_ns), {n});
  // The pairs widen to int64, as numpy users index them.
  std::vector<std::int64_t> stamps(c.timestamp.begin(), c.timestamp.end());
  out.timestamp = Own<std::int64_t>(std::move(stamps), {n, 2});
  out.robot_time_ns = Own<std::int64_t>(std::move(c.robot_time_ns), {n});
  out.valid = Own<bool, std::uint8_t>(std::move(c.valid), {n});
  out.size = c.rows;
}

template <std::size_t N>
py::dict Groups(StreamColumns& c, const FieldInfo (&table)[N]) {
  py::dict groups;
  for (GroupColumns& g : c.groups) {
    py::dict fields;
    for (std::size_t k = 0; k < N; ++k) {
      const bool per_joint = table[k].width == 0;
      if (per_joint && g.dof == 0) continue;  // a group the layout lacks has no joints
      const auto width = static_cast<py::ssize_t>(g.width(k, table));
      fields[table[k].name] = Own<double>(std::move(g.fields[k]), {Rows(c), width});
    }
    groups[py::cast(g.group)] = std::move(fields);
  }
  return groups;
}

py::list Payloads(const StreamColumns& c) {
  py::list payloads;
  if (c.payload_offsets.size() != c.rows + 1) return payloads;
  for (std::size_t i = 0; i < c.rows; ++i) {
    const std::size_t begin = c.payload_offsets[i];
    payloads.append(py::bytes(reinterpret_cast<const char*>(c.payload_bytes.data() + begin),
                              c.payload_offsets[i + 1] - begin));
  }
  return payloads;
}

template <std::size_t N>
py::dict EveryJoint(StreamColumns& c, const FieldInfo (&table)[N]) {
  py::dict joints;
  std::size_t column = 0;
  for (const FieldInfo& field : table) {
    if (field.width != 0) continue;
    std::vector<double> values;
    if (column < c.every_joint.size()) values = std::move(c.every_joint[column]);
    ++column;
    joints[field.name] =
        Own<double>(std::move(values), {Rows(c), static_cast<py::ssize_t>(c.every_joint_width)});
  }
  return joints;
}

py::dict Status(BasicColumns& c) {
  py::dict status;
  for (std::size_t k = 0; k < std::size(kStatusFields); ++k) {
    const FieldInfo& field = kStatusFields[k];
    std::vector<py::ssize_t> shape{Rows(c)};
    if (field.width != 1) shape.push_back(static_cast<py::ssize_t>(field.width));
    StatusColumn& column = c.status[k];
    if (field.type == FieldType::kBool) {
      status[field.name] = Own<bool, std::uint8_t>(std::move(column.flags), shape);
    } else {
      status[field.name] = Own<std::int32_t>(std::move(column.codes), shape);
    }
  }
  return status;
}

const char* DtypeOf(FieldType type) {
  switch (type) {
    case FieldType::kBool:
      return "bool";
    case FieldType::kInt32:
      return "int32";
    case FieldType::kFloat64:
      break;
  }
  return "float64";
}

// "q [rad], dq [rad/s], ..." for the fields of `table` that are (or are not) per joint.
template <std::size_t N>
std::string Listing(const FieldInfo (&table)[N], bool per_joint) {
  std::string out;
  for (const FieldInfo& f : table) {
    if ((f.width == 0) != per_joint) continue;
    if (!out.empty()) out += ", ";
    out += f.name;
    if (!per_joint) out += " " + std::to_string(f.width);
    if (*f.unit != '\0') out += std::string(" [") + f.unit + "]";
  }
  return out;
}

std::string StatusListing() {
  std::string out;
  for (const FieldInfo& f : kStatusFields) {
    if (!out.empty()) out += "; ";
    out += std::string(f.name) + " " + DtypeOf(f.type) +
           (f.width == 1 ? " (N,)" : " (N, " + std::to_string(f.width) + ")");
  }
  return out;
}

template <std::size_t N>
py::tuple FieldTuples(const FieldInfo (&table)[N], const py::object& field_type) {
  py::tuple out(N);
  for (std::size_t k = 0; k < N; ++k) {
    const FieldInfo& f = table[k];
    out[k] = field_type(f.name, f.source, f.width, DtypeOf(f.type), f.unit, f.meaning);
  }
  return out;
}

}  // namespace

Batch ToBatch(ColumnBatch&& columns, bool every_joint) {
  Batch b;
  BasicColumns& basic = columns.basic;
  Times(basic, b.basic);
  b.basic.groups = Groups(basic, kRobotStatesFields);
  b.basic.status = Status(basic);
  b.basic.payloads = Payloads(basic);
  if (every_joint) b.basic.joints = EveryJoint(basic, kRobotStatesFields);
  ExtraColumns& extra = columns.extra;
  Times(extra, b.extra);
  b.extra.groups = Groups(extra, kRobotActionsFields);
  b.extra.payloads = Payloads(extra);
  if (every_joint) b.extra.joints = EveryJoint(extra, kRobotActionsFields);
  return b;
}

void define_batch(py::module_& m) {
  // Docstrings are made from the field tables, so they list exactly what the columns hold.
  static const std::string basic_groups =
      "{JointGroup: {field: float64 (N, width)}}: every RobotStates field; per-joint fields (" +
      Listing(kRobotStatesFields, true) + ") are DoF wide; " + Listing(kRobotStatesFields, false) +
      ". Poses are x, y, z [m], qw, qx, qy, qz. NaN where a sample lacks the group.";
  static const std::string basic_status = "{field: array}: " + StatusListing() +
                                          " (names: system_state_name, "
                                          "safety_board_state_name).";
  static const std::string basic_joints =
      "{field: float64 (N, J)}: every joint each sample carries, in the robot's full-DoF order "
      "whatever the layout (" +
      Listing(kRobotStatesFields, true) +
      "); J is the most joints of any sample, NaN beyond a sample's own. Filled by "
      "Decoder.decode(every_joint=True), else empty.";
  static const std::string extra_groups =
      "{JointGroup: {field: float64 (N, width)}}: " + Listing(kRobotActionsFields, true) +
      " DoF wide; " + Listing(kRobotActionsFields, false) + ".";
  static const std::string extra_joints =
      "{field: float64 (N, J)}: " + Listing(kRobotActionsFields, true) +
      " of every joint each sample carries, in full-DoF order whatever the layout, NaN beyond "
      "a sample's own. Filled by Decoder.decode(every_joint=True), else empty.";

  py::class_<BasicBatch>(
      m, "BasicBatch",
      "Basic (measured) stream samples as numpy columns, one row per sample in arrival order.")
      .def_readonly("receive_time_ns", &BasicBatch::receive_time_ns,
                    "int64 (N,): host receive time, ns since the Unix epoch.")
      .def_readonly("timestamp", &BasicBatch::timestamp,
                    "int64 (N, 2): the robot's timestamp (seconds, nanoseconds), as in "
                    "RobotStates.timestamp.")
      .def_readonly("robot_time_ns", &BasicBatch::robot_time_ns,
                    "int64 (N,): the robot's timestamp in ns (seconds * 1e9 + nanoseconds).")
      .def_readonly("valid", &BasicBatch::valid,
                    "bool (N,): the sample decoded and fit the joint layout; other rows are NaN.")
      .def_readonly("groups", &BasicBatch::groups, basic_groups.c_str())
      .def_readonly("status", &BasicBatch::status, basic_status.c_str())
      .def_readonly("payloads", &BasicBatch::payloads,
                    "The wire bytes of each sample when kept, else an empty list.")
      .def_readonly("joints", &BasicBatch::joints, basic_joints.c_str())
      .def("__len__", [](const BasicBatch& c) { return c.size; });
  py::class_<ExtraBatch>(
      m, "ExtraBatch",
      "Extra (desired) stream samples as numpy columns, one row per sample in arrival order.")
      .def_readonly("receive_time_ns", &ExtraBatch::receive_time_ns,
                    "int64 (N,): host receive time, ns since the Unix epoch.")
      .def_readonly("timestamp", &ExtraBatch::timestamp,
                    "int64 (N, 2): the timestamp of the newest basic sample received before.")
      .def_readonly("robot_time_ns", &ExtraBatch::robot_time_ns,
                    "int64 (N,): that timestamp in ns.")
      .def_readonly("valid", &ExtraBatch::valid,
                    "bool (N,): the sample decoded and fit the joint layout.")
      .def_readonly("groups", &ExtraBatch::groups, extra_groups.c_str())
      .def_readonly("payloads", &ExtraBatch::payloads,
                    "The wire bytes of each sample when kept, else an empty list.")
      .def_readonly("joints", &ExtraBatch::joints, extra_joints.c_str())
      .def("__len__", [](const ExtraBatch& c) { return c.size; });
  py::class_<Batch>(m, "Batch", "Samples of both streams taken in one call.")
      .def_readonly("basic", &Batch::basic, "The basic stream's samples.")
      .def_readonly("extra", &Batch::extra, "The extra stream's samples.")
      .def("__len__", [](const Batch& b) { return b.basic.size + b.extra.size; });

  const py::object field_type =
      py::module_::import("collections")
          .attr("namedtuple")("Field", "name source width dtype unit meaning");
  field_type.attr("__doc__") =
      "One field of a record: its name (as in the batches and recordings), the wire field it is "
      "made from, its width (0: one per joint of the group), numpy dtype, unit and meaning.";
  field_type.attr("__module__") = "orbaltkvt_stream";
  m.attr("Field") = field_type;
  py::dict fields;
  fields["RobotStates"] = FieldTuples(kRobotStatesFields, field_type);
  fields["RobotActions"] = FieldTuples(kRobotActionsFields, field_type);
  fields["status"] = FieldTuples(kStatusFields, field_type);
  m.attr("FIELDS") = fields;
}

}  // namespace orbalt::kvt::python
