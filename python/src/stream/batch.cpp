#include "batch.hpp"

#include <pybind11/numpy.h>

#include <iterator>
#include <string>
#include <utility>
#include <vector>

namespace py = pybind11;

namespace orbalt::kvt::python {

namespace {

py::ssize_t Rows(const StreamColumns& c) { return static_cast<py::ssize_t>(c.rows); }

// A numpy array over `data`, which stays valid while `shared` lives.
template <class T, class Stored = T>
py::array_t<T> View(const Stored* data, std::vector<py::ssize_t> shape,
                    const std::shared_ptr<SharedColumns>& shared) {
  static_assert(sizeof(T) == sizeof(Stored));
  auto* owner = new std::shared_ptr<SharedColumns>(shared);
  py::capsule base(owner, [](void* p) { delete static_cast<std::shared_ptr<SharedColumns>*>(p); });
  // An empty vector has no storage; numpy still wants an address.
  static const Stored kNone{};
  return py::array_t<T>(shape, reinterpret_cast<const T*>(data != nullptr ? data : &kNone), base);
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

std::unique_ptr<ColumnBatch> BatchPool::Take() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (free_.empty()) return std::make_unique<ColumnBatch>();
  auto batch = std::move(free_.back());
  free_.pop_back();
  return batch;
}

void BatchPool::Give(std::unique_ptr<ColumnBatch> batch) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (free_.size() < kKept) free_.push_back(std::move(batch));
}

SharedColumns::SharedColumns(std::unique_ptr<ColumnBatch> c, std::shared_ptr<BatchPool> p,
                             bool joints)
    : columns(std::move(c)), pool(std::move(p)), every_joint(joints) {}

SharedColumns::~SharedColumns() {
  if (pool) pool->Give(std::move(columns));
}

const StreamColumns& StreamBatch::stream() const {
  return basic_ ? static_cast<const StreamColumns&>(shared_->columns->basic)
                : static_cast<const StreamColumns&>(shared_->columns->extra);
}

StreamColumns& StreamBatch::stream() {
  return basic_ ? static_cast<StreamColumns&>(shared_->columns->basic)
                : static_cast<StreamColumns&>(shared_->columns->extra);
}

py::object StreamBatch::receive_time_ns() {
  if (!receive_time_ns_) {
    const StreamColumns& c = stream();
    receive_time_ns_ = View<std::int64_t>(c.receive_time_ns.data(), {Rows(c)}, shared_);
  }
  return receive_time_ns_;
}

py::object StreamBatch::timestamp() {
  if (!timestamp_) {
    // The pairs widen to int64, as numpy users index them: the one column that is copied.
    const StreamColumns& c = stream();
    py::array_t<std::int64_t> out({Rows(c), py::ssize_t{2}});
    std::copy(c.timestamp.begin(), c.timestamp.end(), out.mutable_data());
    timestamp_ = std::move(out);
  }
  return timestamp_;
}

py::object StreamBatch::robot_time_ns() {
  if (!robot_time_ns_) {
    const StreamColumns& c = stream();
    robot_time_ns_ = View<std::int64_t>(c.robot_time_ns.data(), {Rows(c)}, shared_);
  }
  return robot_time_ns_;
}

py::object StreamBatch::valid() {
  if (!valid_) {
    const StreamColumns& c = stream();
    valid_ = View<bool, std::uint8_t>(c.valid.data(), {Rows(c)}, shared_);
  }
  return valid_;
}

template <std::size_t N>
static py::dict GroupViews(const StreamColumns& c, const FieldInfo (&table)[N],
                           const std::shared_ptr<SharedColumns>& shared) {
  py::dict groups;
  for (const GroupColumns& g : c.groups) {
    py::dict fields;
    for (std::size_t k = 0; k < N; ++k) {
      if (table[k].width == 0 && g.dof == 0) continue;  // a group the layout lacks has no joints
      const auto width = static_cast<py::ssize_t>(g.width(k, table));
      fields[table[k].name] = View<double>(g.fields[k].data(), {Rows(c), width}, shared);
    }
    groups[py::cast(g.group)] = std::move(fields);
  }
  return groups;
}

py::object StreamBatch::groups() {
  if (!groups_) {
    groups_ = basic_ ? GroupViews(stream(), kRobotStatesFields, shared_)
                     : GroupViews(stream(), kRobotActionsFields, shared_);
  }
  return groups_;
}

py::object StreamBatch::status() {
  if (!status_) {
    py::dict status;
    if (basic_) {
      const BasicColumns& c = shared_->columns->basic;
      for (std::size_t k = 0; k < std::size(kStatusFields) && k < c.status.size(); ++k) {
        const FieldInfo& field = kStatusFields[k];
        std::vector<py::ssize_t> shape{Rows(c)};
        if (field.width != 1) shape.push_back(static_cast<py::ssize_t>(field.width));
        if (field.type == FieldType::kBool) {
          status[field.name] = View<bool, std::uint8_t>(c.status[k].flags.data(), shape, shared_);
        } else {
          status[field.name] = View<std::int32_t>(c.status[k].codes.data(), shape, shared_);
        }
      }
    }
    status_ = std::move(status);
  }
  return status_;
}

py::object StreamBatch::payloads() {
  if (!payloads_) {
    const StreamColumns& c = stream();
    py::list payloads;
    if (c.payload_offsets.size() == c.rows + 1) {
      for (std::size_t i = 0; i < c.rows; ++i) {
        const std::size_t begin = c.payload_offsets[i];
        payloads.append(py::bytes(reinterpret_cast<const char*>(c.payload_bytes.data() + begin),
                                  c.payload_offsets[i + 1] - begin));
      }
    }
    payloads_ = std::move(payloads);
  }
  return payloads_;
}

template <std::size_t N>
static py::dict EveryJointViews(const StreamColumns& c, const FieldInfo (&table)[N],
                                const std::shared_ptr<SharedColumns>& shared) {
  py::dict joints;
  std::size_t column = 0;
  for (const FieldInfo& field : table) {
    if (field.width != 0) continue;
    const double* data = column < c.every_joint.size() ? c.every_joint[column].data() : nullptr;
    ++column;
    joints[field.name] =
        View<double>(data, {Rows(c), static_cast<py::ssize_t>(c.every_joint_width)}, shared);
  }
  return joints;
}

py::object StreamBatch::joints() {
  if (!joints_) {
    if (!shared_->every_joint) {
      joints_ = py::dict();
    } else {
      joints_ = basic_ ? EveryJointViews(stream(), kRobotStatesFields, shared_)
                       : EveryJointViews(stream(), kRobotActionsFields, shared_);
    }
  }
  return joints_;
}

Batch::Batch(std::shared_ptr<SharedColumns> shared)
    : basic(py::cast(BasicBatch(shared))),
      extra(py::cast(ExtraBatch(shared))),
      size(shared->columns->basic.rows + shared->columns->extra.rows) {}

Batch ToBatch(std::unique_ptr<ColumnBatch> columns, std::shared_ptr<BatchPool> pool,
              bool every_joint) {
  return Batch(std::make_shared<SharedColumns>(std::move(columns), std::move(pool), every_joint));
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
      .def_property_readonly("receive_time_ns", &StreamBatch::receive_time_ns,
                             "int64 (N,): host receive time, ns since the Unix epoch.")
      .def_property_readonly("timestamp", &StreamBatch::timestamp,
                             "int64 (N, 2): the robot's timestamp (seconds, nanoseconds), as in "
                             "RobotStates.timestamp.")
      .def_property_readonly(
          "robot_time_ns", &StreamBatch::robot_time_ns,
          "int64 (N,): the robot's timestamp in ns (seconds * 1e9 + nanoseconds).")
      .def_property_readonly(
          "valid", &StreamBatch::valid,
          "bool (N,): the sample decoded and fit the joint layout; other rows are NaN.")
      .def_property_readonly("groups", &StreamBatch::groups, basic_groups.c_str())
      .def_property_readonly("status", &StreamBatch::status, basic_status.c_str())
      .def_property_readonly("payloads", &StreamBatch::payloads,
                             "The wire bytes of each sample when kept, else an empty list.")
      .def_property_readonly("joints", &StreamBatch::joints, basic_joints.c_str())
      .def("__len__", [](const BasicBatch& c) { return c.size(); });
  py::class_<ExtraBatch>(
      m, "ExtraBatch",
      "Extra (desired) stream samples as numpy columns, one row per sample in arrival order.")
      .def_property_readonly("receive_time_ns", &StreamBatch::receive_time_ns,
                             "int64 (N,): host receive time, ns since the Unix epoch.")
      .def_property_readonly(
          "timestamp", &StreamBatch::timestamp,
          "int64 (N, 2): the timestamp of the newest basic sample received before.")
      .def_property_readonly("robot_time_ns", &StreamBatch::robot_time_ns,
                             "int64 (N,): that timestamp in ns.")
      .def_property_readonly("valid", &StreamBatch::valid,
                             "bool (N,): the sample decoded and fit the joint layout.")
      .def_property_readonly("groups", &StreamBatch::groups, extra_groups.c_str())
      .def_property_readonly("payloads", &StreamBatch::payloads,
                             "The wire bytes of each sample when kept, else an empty list.")
      .def_property_readonly("joints", &StreamBatch::joints, extra_joints.c_str())
      .def("__len__", [](const ExtraBatch& c) { return c.size(); });
  py::class_<Batch>(m, "Batch", "Samples of both streams taken in one call.")
      .def_readonly("basic", &Batch::basic, "The basic stream's samples (a BasicBatch).")
      .def_readonly("extra", &Batch::extra, "The extra stream's samples (an ExtraBatch).")
      .def("__len__", [](const Batch& b) { return b.size; });

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
