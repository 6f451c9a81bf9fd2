#include "batch.hpp"

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <set>
#include <string>

namespace py = pybind11;

namespace orbalt::kvt::python {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// The per-joint fields of each record, by their Python names.
const std::pair<const char*, std::vector<double> RobotStates::*> kStatesPerJoint[] = {
    {"q", &RobotStates::q},
    {"theta", &RobotStates::theta},
    {"dq", &RobotStates::dq},
    {"dtheta", &RobotStates::dtheta},
    {"tau", &RobotStates::tau},
    {"tau_dot", &RobotStates::tau_dot},
    {"tau_ext", &RobotStates::tau_ext},
    {"tau_interact", &RobotStates::tau_interact},
    {"temperature", &RobotStates::temperature}};
const std::pair<const char*, std::vector<double> RobotActions::*> kActionsPerJoint[] = {
    {"q_d", &RobotActions::q_d}, {"dq_d", &RobotActions::dq_d}, {"tau_d", &RobotActions::tau_d}};

template <class T>
py::array_t<T> Array(std::size_t rows, std::size_t width = 0) {
  if (width == 0) return py::array_t<T>(static_cast<py::ssize_t>(rows));
  return py::array_t<T>({static_cast<py::ssize_t>(rows), static_cast<py::ssize_t>(width)});
}

// One per-joint field: width DoF, NaN where a sample lacks the group or the values.
template <class Record, class Sample>
py::array_t<double> JointColumn(const std::vector<Sample>& samples, JointGroup group,
                                std::size_t width,
                                const std::map<JointGroup, Record> Sample::*records,
                                std::vector<double> Record::*field) {
  auto column = Array<double>(samples.size(), width);
  double* out = column.mutable_data();
  for (const Sample& sample : samples) {
    const auto& by_group = sample.*records;
    const auto found = by_group.find(group);
    const std::vector<double>* values =
        found == by_group.end() ? nullptr : &(found->second.*field);
    if (values != nullptr && values->size() == width) {
      std::memcpy(out, values->data(), width * sizeof(double));
    } else {
      std::fill(out, out + width, kNaN);
    }
    out += width;
  }
  return column;
}

// One fixed-width Cartesian field.
template <std::size_t N, class Record, class Sample>
py::array_t<double> CartesianColumn(const std::vector<Sample>& samples, JointGroup group,
                                    const std::map<JointGroup, Record> Sample::*records,
                                    std::array<double, N> Record::*field) {
  auto column = Array<double>(samples.size(), N);
  double* out = column.mutable_data();
  for (const Sample& sample : samples) {
    const auto& by_group = sample.*records;
    const auto found = by_group.find(group);
    if (found != by_group.end()) {
      std::memcpy(out, (found->second.*field).data(), N * sizeof(double));
    } else {
      std::fill(out, out + N, kNaN);
    }
    out += N;
  }
  return column;
}

// Every group that the layout holds or that some sample lists.
template <class Sample, class Record>
std::set<JointGroup> GroupsOf(const std::vector<Sample>& samples, const JointLayout& layout,
                              const std::map<JointGroup, Record> Sample::*records) {
  std::set<JointGroup> groups;
  for (const auto& entry : layout) groups.insert(entry.first);
  for (const Sample& sample : samples) {
    for (const auto& entry : sample.*records) groups.insert(entry.first);
  }
  return groups;
}

std::size_t WidthOf(const JointLayout& layout, JointGroup group) {
  const auto found = layout.find(group);
  return found == layout.end() ? 0 : static_cast<std::size_t>(found->second.dof);
}

template <class Sample>
void Times(const std::vector<Sample>& samples, py::object& receive, py::object& timestamp,
           py::object& robot_ns, std::pair<std::int32_t, std::int32_t> (*stamp)(const Sample&)) {
  auto r = Array<std::int64_t>(samples.size());
  auto t = Array<std::int64_t>(samples.size(), 2);
  auto n = Array<std::int64_t>(samples.size());
  auto* rp = r.mutable_data();
  auto* tp = t.mutable_data();
  auto* np = n.mutable_data();
  for (std::size_t i = 0; i < samples.size(); ++i) {
    const auto ts = stamp(samples[i]);
    rp[i] = samples[i].receive_time_ns;
    tp[2 * i] = ts.first;
    tp[2 * i + 1] = ts.second;
    np[i] = static_cast<std::int64_t>(ts.first) * 1'000'000'000 + ts.second;
  }
  receive = std::move(r);
  timestamp = std::move(t);
  robot_ns = std::move(n);
}

py::array_t<bool> Valid(std::size_t rows, const std::vector<bool>* valid) {
  auto column = Array<bool>(rows);
  bool* out = column.mutable_data();
  for (std::size_t i = 0; i < rows; ++i) out[i] = valid == nullptr || (*valid)[i];
  return column;
}

template <class Sample>
py::list Payloads(const std::vector<Sample>& samples) {
  py::list payloads;
  bool any = false;
  for (const Sample& s : samples) any = any || !s.payload.empty();
  if (!any) return payloads;
  for (const Sample& s : samples) {
    payloads.append(py::bytes(reinterpret_cast<const char*>(s.payload.data()), s.payload.size()));
  }
  return payloads;
}

template <std::size_t N>
py::array_t<bool> Channels(const std::vector<BasicSample>& samples,
                           std::array<bool, N> StatusHeader::*field) {
  auto column = Array<bool>(samples.size(), N);
  bool* out = column.mutable_data();
  for (const BasicSample& s : samples) {
    std::copy((s.status.*field).begin(), (s.status.*field).end(), out);
    out += N;
  }
  return column;
}

template <class T, class F>
py::array_t<T> Scalars(const std::vector<BasicSample>& samples, F value) {
  auto column = Array<T>(samples.size());
  T* out = column.mutable_data();
  for (const BasicSample& s : samples) *out++ = value(s.status);
  return column;
}

template <class Record, std::size_t N>
py::dict EveryJoint(const std::vector<Record>& records,
                    const std::pair<const char*, std::vector<double> Record::*> (&fields)[N]) {
  std::size_t width = 0;
  for (const Record& r : records) {
    for (const auto& field : fields) width = std::max(width, (r.*(field.second)).size());
  }
  py::dict out;
  for (const auto& [name, field] : fields) {
    py::array_t<double> column(
        {static_cast<py::ssize_t>(records.size()), static_cast<py::ssize_t>(width)});
    double* row = column.mutable_data();
    for (const Record& r : records) {
      const std::vector<double>& values = r.*field;
      std::copy(values.begin(), values.end(), row);
      std::fill(row + values.size(), row + width, kNaN);
      row += width;
    }
    out[name] = std::move(column);
  }
  return out;
}

}  // namespace

py::dict EveryJointColumns(const std::vector<RobotStates>& records) {
  return EveryJoint(records, kStatesPerJoint);
}

py::dict EveryJointColumns(const std::vector<RobotActions>& records) {
  return EveryJoint(records, kActionsPerJoint);
}

BasicColumns ToColumns(const std::vector<BasicSample>& samples, const JointLayout& layout,
                       const std::vector<bool>* valid) {
  BasicColumns c;
  c.size = samples.size();
  Times<BasicSample>(samples, c.receive_time_ns, c.timestamp, c.robot_time_ns,
                     [](const BasicSample& s) { return s.timestamp; });
  auto fits = Valid(samples.size(), valid);
  for (std::size_t i = 0; i < samples.size(); ++i) {
    if (samples[i].states.empty()) fits.mutable_data()[i] = false;
  }
  c.valid = std::move(fits);
  const auto records = &BasicSample::states;
  for (const JointGroup group : GroupsOf(samples, layout, records)) {
    py::dict fields;
    const std::size_t width = WidthOf(layout, group);
    if (width != 0) {
      for (const auto& [name, field] : kStatesPerJoint) {
        fields[name] = JointColumn(samples, group, width, records, field);
      }
    }
    fields["flange_pose"] = CartesianColumn(samples, group, records, &RobotStates::flange_pose);
    fields["tcp_pose"] = CartesianColumn(samples, group, records, &RobotStates::tcp_pose);
    const std::pair<const char*, std::array<double, 6> RobotStates::*> sixes[] = {
        {"tcp_twist", &RobotStates::tcp_twist},
        {"tcp_wrench", &RobotStates::tcp_wrench},
        {"tcp_wrench_local", &RobotStates::tcp_wrench_local},
        {"raw_tcp_wrench", &RobotStates::raw_tcp_wrench},
        {"raw_tcp_wrench_local", &RobotStates::raw_tcp_wrench_local},
        {"raw_ft_sensor", &RobotStates::raw_ft_sensor}};
    for (const auto& [name, field] : sixes) {
      fields[name] = CartesianColumn(samples, group, records, field);
    }
    c.groups[py::cast(group)] = std::move(fields);
  }
  c.status["estop_released"] =
      Scalars<bool>(samples, [](const StatusHeader& s) { return s.estop_released; });
  c.status["enabling_device_on"] =
      Scalars<bool>(samples, [](const StatusHeader& s) { return s.enabling_device_on; });
  c.status["digital_inputs"] = Channels(samples, &StatusHeader::digital_inputs);
  c.status["digital_outputs"] = Channels(samples, &StatusHeader::digital_outputs);
  c.status["safety_inputs"] = Channels(samples, &StatusHeader::safety_inputs);
  c.status["system_state"] =
      Scalars<std::int32_t>(samples, [](const StatusHeader& s) { return s.system_state; });
  c.status["safety_board_state"] =
      Scalars<std::int32_t>(samples, [](const StatusHeader& s) { return s.safety_board_state; });
  c.payloads = Payloads(samples);
  return c;
}

ExtraColumns ToColumns(const std::vector<ExtraSample>& samples, const JointLayout& layout,
                       const std::vector<bool>* valid) {
  ExtraColumns c;
  c.size = samples.size();
  Times<ExtraSample>(samples, c.receive_time_ns, c.timestamp, c.robot_time_ns,
                     [](const ExtraSample& s) {
                       return s.actions.empty() ? std::pair<std::int32_t, std::int32_t>{}
                                                : s.actions.begin()->second.timestamp;
                     });
  auto fits = Valid(samples.size(), valid);
  for (std::size_t i = 0; i < samples.size(); ++i) {
    if (samples[i].actions.empty()) fits.mutable_data()[i] = false;
  }
  c.valid = std::move(fits);
  const auto records = &ExtraSample::actions;
  for (const JointGroup group : GroupsOf(samples, layout, records)) {
    py::dict fields;
    const std::size_t width = WidthOf(layout, group);
    if (width != 0) {
      for (const auto& [name, field] : kActionsPerJoint) {
        fields[name] = JointColumn(samples, group, width, records, field);
      }
    }
    fields["tcp_pose_d"] = CartesianColumn(samples, group, records, &RobotActions::tcp_pose_d);
    fields["tcp_twist_d"] = CartesianColumn(samples, group, records, &RobotActions::tcp_twist_d);
    fields["tcp_wrench_d"] =
        CartesianColumn(samples, group, records, &RobotActions::tcp_wrench_d);
    c.groups[py::cast(group)] = std::move(fields);
  }
  c.payloads = Payloads(samples);
  return c;
}

void define_batch(py::module_& m) {
  py::class_<BasicColumns>(
      m, "BasicBatch",
      "Basic (measured) stream samples as numpy columns, one row per sample in arrival order.")
      .def_readonly("receive_time_ns", &BasicColumns::receive_time_ns,
                    "int64 (N,): host receive time, ns since the Unix epoch.")
      .def_readonly("timestamp", &BasicColumns::timestamp,
                    "int64 (N, 2): the robot's timestamp (seconds, nanoseconds), as in "
                    "RobotStates.timestamp.")
      .def_readonly("robot_time_ns", &BasicColumns::robot_time_ns,
                    "int64 (N,): the robot's timestamp in ns (seconds * 1e9 + nanoseconds).")
      .def_readonly("valid", &BasicColumns::valid,
                    "bool (N,): the sample decoded and fit the joint layout; other rows are NaN.")
      .def_readonly("groups", &BasicColumns::groups,
                    "{JointGroup: {field: float64 (N, width)}}: every RobotStates field; "
                    "per-joint fields (q [rad], dq [rad/s], tau [Nm], ...) are DoF wide, poses 7 "
                    "(x, y, z [m], qw, qx, qy, qz), twists and wrenches 6. NaN where a sample "
                    "lacks the group.")
      .def_readonly("status", &BasicColumns::status,
                    "{field: array}: estop_released, enabling_device_on bool (N,); "
                    "digital_inputs, digital_outputs bool (N, 20); safety_inputs bool (N, 8); "
                    "system_state, safety_board_state int32 (N,) (names: system_state_name, "
                    "safety_board_state_name).")
      .def_readonly("payloads", &BasicColumns::payloads,
                    "The wire bytes of each sample when kept, else an empty list.")
      .def_readonly("joints", &BasicColumns::joints,
                    "{field: float64 (N, J)}: every joint each sample carries, in the robot's "
                    "full-DoF order whatever the layout (q, theta, dq, dtheta, tau, tau_dot, "
                    "tau_ext, tau_interact, temperature); J is the most joints of any sample, "
                    "NaN beyond a sample's own. Filled by Decoder.decode(every_joint=True), "
                    "else empty.")
      .def("__len__", [](const BasicColumns& c) { return c.size; });
  py::class_<ExtraColumns>(
      m, "ExtraBatch",
      "Extra (desired) stream samples as numpy columns, one row per sample in arrival order.")
      .def_readonly("receive_time_ns", &ExtraColumns::receive_time_ns,
                    "int64 (N,): host receive time, ns since the Unix epoch.")
      .def_readonly("timestamp", &ExtraColumns::timestamp,
                    "int64 (N, 2): the timestamp of the newest basic sample received before.")
      .def_readonly("robot_time_ns", &ExtraColumns::robot_time_ns,
                    "int64 (N,): that timestamp in ns.")
      .def_readonly("valid", &ExtraColumns::valid,
                    "bool (N,): the sample decoded and fit the joint layout.")
      .def_readonly("groups", &ExtraColumns::groups,
                    "{JointGroup: {field: float64 (N, width)}}: q_d [rad], dq_d [rad/s], tau_d "
                    "[Nm] DoF wide; tcp_pose_d 7; tcp_twist_d, tcp_wrench_d 6.")
      .def_readonly("payloads", &ExtraColumns::payloads,
                    "The wire bytes of each sample when kept, else an empty list.")
      .def_readonly("joints", &ExtraColumns::joints,
                    "{field: float64 (N, J)}: q_d, dq_d, tau_d of every joint each sample "
                    "carries, in full-DoF order whatever the layout, NaN beyond a sample's own. "
                    "Filled by Decoder.decode(every_joint=True), else empty.")
      .def("__len__", [](const ExtraColumns& c) { return c.size; });
  py::class_<BatchColumns>(m, "Batch", "Samples of both streams taken in one call.")
      .def_readonly("basic", &BatchColumns::basic, "The basic stream's samples.")
      .def_readonly("extra", &BatchColumns::extra, "The extra stream's samples.")
      .def("__len__", [](const BatchColumns& b) { return b.basic.size + b.extra.size; });
}

}  // namespace orbalt::kvt::python
