// orbaltkvt_recording: recordings read natively, chunk by chunk, into numpy columns made once at
// their final size. The tools' load() is built on it.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <array>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "orbalt/kvt/record_fields.hpp"
#include "orbalt/kvt/sample_decoder.hpp"
#include "orbalt/kvt_recording/recording_reader.hpp"
#include "output_columns.hpp"

namespace py = pybind11;

namespace orbalt::kvt_recording::python {

namespace {

// A numpy array over `values`, which it takes over: the buffer is freed with the array.
template <class T, class Values>
py::array Own(Values&& values, std::vector<py::ssize_t> shape) {
  using Stored = typename std::decay_t<Values>::value_type;
  static_assert(sizeof(T) == sizeof(Stored));
  auto* owned = new std::decay_t<Values>(std::move(values));
  py::capsule owner(owned, [](void* p) { delete static_cast<std::decay_t<Values>*>(p); });
  return py::array_t<T>(shape, reinterpret_cast<const T*>(owned->data()), owner);
}

py::array Own(FloatColumn&& c, py::ssize_t rows) {
  const std::vector<py::ssize_t> shape{rows, static_cast<py::ssize_t>(c.width)};
  if (c.float32) {
    return Own<float>(std::move(c.f32), shape);
  }
  return Own<double>(std::move(c.f64), shape);
}

py::dict ToDict(OutputColumns&& out, bool basic, bool float32) {
  out.finish();
  const auto n = static_cast<py::ssize_t>(out.filled());
  const kvt::FieldInfo* table = basic ? kvt::kRobotStatesFields : kvt::kRobotActionsFields;
  const std::size_t size =
      basic ? std::size(kvt::kRobotStatesFields) : std::size(kvt::kRobotActionsFields);
  const auto empty_float = [&](std::size_t width) {
    const std::vector<py::ssize_t> shape{n, static_cast<py::ssize_t>(width)};
    return float32 ? py::array(py::array_t<float>(shape)) : py::array(py::array_t<double>(shape));
  };
  py::dict d;
  d["receive_time_ns"] = Own<std::int64_t>(std::move(out.receive_time_ns), {n});
  d["robot_time_ns"] = Own<std::int64_t>(std::move(out.robot_time_ns), {n});
  d["timestamp"] = Own<std::int64_t>(std::move(out.timestamp), {n, 2});
  d["valid"] = Own<bool>(std::move(out.valid), {n});
  py::dict joints;
  for (std::size_t k = 0; k < size; ++k) {
    auto it = out.joints.find(table[k].name);
    if (it == out.joints.end()) continue;
    // Narrower columns (a field first seen late) take the widest width, as one array would.
    if (it->second.width < out.joints_width) it->second.widen(out.filled(), out.joints_width);
    joints[table[k].name] = it->second.width == 0 ? empty_float(0) : Own(std::move(it->second), n);
  }
  d["joints"] = joints;
  py::dict groups;
  std::set<int> seen;
  for (const auto& entry : out.group_fields) seen.insert(entry.first.first);
  for (int group : seen) {
    py::dict fields;
    for (std::size_t k = 0; k < size; ++k) {
      auto it = out.group_fields.find({group, table[k].name});
      if (it == out.group_fields.end()) continue;
      fields[table[k].name] =
          it->second.width == 0 ? empty_float(0) : Own(std::move(it->second), n);
    }
    groups[py::int_(group)] = fields;
  }
  d["groups"] = groups;
  py::dict status;
  for (const kvt::FieldInfo& field : kvt::kStatusFields) {
    auto it = out.status.find(field.name);
    if (it == out.status.end()) continue;
    std::vector<py::ssize_t> shape{n};
    if (field.width != 1) shape.push_back(static_cast<py::ssize_t>(field.width));
    status[field.name] = field.type == kvt::FieldType::kBool
                             ? Own<bool>(std::move(it->second.flags), shape)
                             : Own<std::int32_t>(std::move(it->second.codes), shape);
  }
  d["status"] = status;
  return d;
}

kvt::JointLayout LayoutFrom(const std::vector<std::array<std::int64_t, 3>>& layout) {
  kvt::JointLayout out;
  for (const auto& [group, start, dof] : layout) {
    out.emplace(
        static_cast<kvt::JointGroup>(group),
        kvt::GroupLayout{static_cast<std::uint32_t>(start), static_cast<std::uint64_t>(dof)});
  }
  return out;
}

// Every file is counted first, so that each column is made once at its final size; then the
// files are decoded in order with one decoder (its last basic timestamp carries over).
py::dict Read(const std::vector<std::string>& paths,
              const std::vector<std::array<std::int64_t, 3>>& layout, std::int64_t start_ns,
              std::int64_t end_ns, bool basic, bool extra, std::optional<std::set<int>> groups,
              std::optional<std::set<std::string>> fields, bool float32) {
  Selection selection{std::move(groups), std::move(fields), float32};
  const kvt::JointLayout joint_layout = LayoutFrom(layout);
  std::optional<OutputColumns> basic_out, extra_out;
  {
    py::gil_scoped_release reading;
    std::vector<RecordingReader> readers;
    std::size_t basic_rows = 0, extra_rows = 0;
    for (const std::string& path : paths) {
      readers.emplace_back(path);
      if (basic) basic_rows += readers.back().count(Stream::kBasic, start_ns, end_ns);
      if (extra) extra_rows += readers.back().count(Stream::kExtra, start_ns, end_ns);
    }
    if (basic) basic_out.emplace(basic_rows, true, joint_layout, selection);
    if (extra) extra_out.emplace(extra_rows, false, joint_layout, selection);
    kvt::SampleDecoder decoder(joint_layout);
    for (RecordingReader& reader : readers) {
      reader.read(
          decoder, start_ns, end_ns, extra, true,
          [&](const kvt::ColumnBatch& batch, const WindowRows& rows) {
            // A file whose index disagrees with its chunks is damaged: the columns
            // never grow past the count.
            if (basic_out) {
              if (basic_out->filled() + rows.basic_end - rows.basic_begin > basic_out->rows()) {
                throw FormatError("a chunk holds more messages than its index lists");
              }
              basic_out->add_status(batch.basic, rows.basic_begin, rows.basic_end);
            }
            if (extra_out) {
              if (extra_out->filled() + rows.extra_end - rows.extra_begin > extra_out->rows()) {
                throw FormatError("a chunk holds more messages than its index lists");
              }
              extra_out->add(batch.extra, rows.extra_begin, rows.extra_end);
            }
          });
    }
    if ((basic_out && basic_out->filled() != basic_out->rows()) ||
        (extra_out && extra_out->filled() != extra_out->rows())) {
      throw FormatError("a chunk holds fewer messages than its index lists");
    }
  }
  py::dict out;
  if (basic_out) out["basic"] = ToDict(std::move(*basic_out), true, float32);
  if (extra_out) out["extra"] = ToDict(std::move(*extra_out), false, float32);
  return out;
}

}  // namespace

}  // namespace orbalt::kvt_recording::python

PYBIND11_MODULE(orbaltkvt_recording, m) {
  using orbalt::kvt_recording::FormatError;
  using orbalt::kvt_recording::OpenError;
  using orbalt::kvt_recording::RecordingReader;
  using orbalt::kvt_recording::Stream;
  m.doc() =
      "Recordings (kvt record) read natively: the raw channels chunk by chunk through the file's "
      "summary, decoded by the library's decoder straight into numpy columns.";
  static py::exception<FormatError> format_error(m, "FormatError", PyExc_ValueError);
  py::register_exception_translator([](std::exception_ptr p) {
    try {
      if (p) std::rethrow_exception(p);
    } catch (const OpenError& e) {
      PyErr_SetString(PyExc_OSError, e.what());
    } catch (const FormatError& e) {
      py::set_error(format_error, e.what());
    }
  });
  m.attr("RAW_TOPICS") = py::make_tuple(orbalt::kvt_recording::RawTopic(Stream::kBasic),
                                        orbalt::kvt_recording::RawTopic(Stream::kExtra));

  py::class_<RecordingReader>(
      m, "Reader",
      "One recording file opened through its summary. Raises OSError (the system's text) for a "
      "file that cannot be read, FormatError (a ValueError) for one that is not a complete MCAP "
      "file.")
      .def(py::init<const std::string&>(), py::arg("path"),
           py::call_guard<py::gil_scoped_release>())
      .def_property_readonly("metadata", &RecordingReader::metadata,
                             "{record name: {key: value}} of the file's metadata records.")
      .def_property_readonly(
          "counts",
          [](const RecordingReader& r) {
            py::dict out;
            for (Stream s : {Stream::kBasic, Stream::kExtra}) {
              if (auto n = r.message_count(s); n && r.has_stream(s)) {
                out[orbalt::kvt_recording::RawTopic(s)] = *n;
              }
            }
            return out;
          },
          "{raw topic: messages} from the file's statistics (empty without them).")
      .def(
          "has_topic",
          [](const RecordingReader& r, const std::string& topic) {
            for (Stream s : {Stream::kBasic, Stream::kExtra}) {
              if (topic == orbalt::kvt_recording::RawTopic(s)) return r.has_stream(s);
            }
            return false;
          },
          py::arg("topic"), "Whether the file has a channel on this raw topic.")
      .def_property_readonly("start_time_ns", &RecordingReader::start_time_ns,
                             "Earliest receive time of any message, ns since the Unix epoch.")
      .def_property_readonly("end_time_ns", &RecordingReader::end_time_ns,
                             "Latest receive time of any message (inclusive), ns.");

  m.def("read", &orbalt::kvt_recording::python::Read, py::arg("paths"), py::arg("layout"),
        py::arg("start_ns"), py::arg("end_ns"), py::arg("basic") = true, py::arg("extra") = true,
        py::arg("groups") = py::none(), py::arg("fields") = py::none(), py::arg("float32") = false,
        "Decodes the samples received in [start_ns, end_ns) of the files of one recording, in "
        "order, into {'basic': ..., 'extra': ...}, each {receive_time_ns, robot_time_ns, "
        "timestamp, valid, joints, groups, status}. layout: [(JointGroup value, start_id, dof)]. "
        "groups (JointGroup values) and fields (names) select what is made; without groups, "
        "joints holds every joint (field -> (N, J)) and groups the Cartesian fields; with them, "
        "groups also holds the groups' per-joint fields and joints is empty. float32: float "
        "columns in float32 (the wire's exact values). The interpreter lock is released while "
        "it reads.");
}
