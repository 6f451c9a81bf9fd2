// orbaltkvt_foxglove.FlightRecorder: the last seconds of a robot, written out on a trigger.
#include "flight_recorder.hpp"

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <chrono>
#include <cmath>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "counters_dict.hpp"

namespace py = pybind11;
using orbalt::kvt::Client;
using orbalt::kvt::JointGroup;
using orbalt::kvt_bridge::FlightOptions;
using orbalt::kvt_bridge::FlightRecorder;
using orbalt::kvt_bridge::FlightStats;
using orbalt::kvt_bridge::Trigger;

using orbalt::kvt_bridge::python::CountersDict;

namespace {

std::int64_t Ns(double seconds, const char* name) {
  if (!(seconds >= 0) || !std::isfinite(seconds)) {
    throw std::invalid_argument(std::string(name) + " must be 0 or more seconds");
  }
  return static_cast<std::int64_t>(std::llround(seconds * 1e9));
}

Trigger ParseTrigger(const std::string& text) {
  if (text == "estop") return {Trigger::Kind::kEstop, 0};
  if (text == "fault") return {Trigger::Kind::kFault, 0};
  if (text == "safety") return {Trigger::Kind::kSafety, 0};
  const std::string prefix = "input:";
  if (text.compare(0, prefix.size(), prefix) == 0 && text.size() > prefix.size() &&
      text.size() <= prefix.size() + 2 &&
      text.find_first_not_of("0123456789", prefix.size()) == std::string::npos) {
    return {Trigger::Kind::kInput, std::stoul(text.substr(prefix.size()))};
  }
  throw std::invalid_argument("a trigger is estop, fault, safety or input:N (N 0 to 19), not '" +
                              text + "'");
}

py::dict StatsDict(const FlightStats& s) {
  py::dict d;
  d["basic"] = CountersDict(s.basic);
  d["extra"] = CountersDict(s.extra);
  d["ring_bytes"] = s.ring_bytes;
  d["max_bytes"] = s.max_bytes;
  d["evicted"] = s.evicted;
  d["pending"] = s.pending;
  py::list files;
  for (const auto& f : s.files) {
    py::dict fd;
    fd["path"] = f.path;
    fd["trigger"] = f.trigger;
    fd["trigger_ns"] = f.trigger_ns;
    fd["first_ns"] = f.first_ns;
    fd["last_ns"] = f.last_ns;
    fd["samples"] = f.samples;
    files.append(fd);
  }
  d["files"] = files;
  d["running"] = s.running;
  d["error"] = s.error ? py::cast(*s.error) : py::none();
  return d;
}

class PyFlightRecorder {
 public:
  PyFlightRecorder(const Client& client, std::vector<JointGroup> groups, std::string path,
                   double seconds, double after, const std::vector<std::string>& triggers,
                   double chunk_duration, std::uint64_t chunk_size, std::size_t capacity,
                   std::size_t max_bytes) {
    if (capacity == 0) throw std::invalid_argument("capacity must be at least 1");
    if (chunk_size == 0) throw std::invalid_argument("chunk_size must be at least 1 byte");
    FlightOptions o;
    o.groups = std::move(groups);
    o.path = std::move(path);
    o.before_ns = Ns(seconds, "seconds");
    o.after_ns = Ns(after, "after");
    for (const std::string& t : triggers) o.triggers.push_back(ParseTrigger(t));
    o.chunk_duration_ns = Ns(chunk_duration, "chunk_duration");
    o.chunk_size = chunk_size;
    o.capacity = capacity;
    o.max_bytes = max_bytes;
    py::gil_scoped_release opening;
    recorder_ = std::make_unique<FlightRecorder>(client, std::move(o));
  }

  FlightRecorder& get() const {
    if (!recorder_) throw std::runtime_error("the flight recorder is closed");
    return *recorder_;
  }

  bool Wait(double seconds) {
    if (!recorder_) return false;
    const auto ms = std::chrono::milliseconds(Ns(seconds, "seconds") / 1'000'000);
    py::gil_scoped_release waiting;
    return recorder_->wait(ms);
  }

  py::dict Close() {
    if (!recorder_) return final_;
    FlightStats s;
    {
      py::gil_scoped_release closing;
      s = recorder_->close();
      recorder_.reset();
    }
    final_ = StatsDict(s);
    return final_;
  }

  py::dict Stats() const { return recorder_ ? StatsDict(recorder_->stats()) : final_; }

 private:
  std::unique_ptr<FlightRecorder> recorder_;
  py::dict final_;
};

}  // namespace

void define_flight_recorder(py::module_& m) {
  py::class_<PyFlightRecorder>(
      m, "FlightRecorder",
      "Keeps the last `seconds` of the client's robot (both streams, wire payloads and columns) "
      "in a bounded native ring and, on each trigger, writes the samples from `seconds` before "
      "to `after` seconds after it (robot time) to PATH_<seconds>.<nanoseconds><ext>, named "
      "after the trigger sample's robot time, with the channels and metadata of a Bridge file. "
      "Triggers: 'estop' (estop_released true -> false), 'fault' (system_state enters a FAULT "
      "state), 'safety' (safety_board_state leaves NORMAL), 'input:N' (digital input N changes) "
      "and trigger() by hand. A trigger within a pending file's after-window extends it.")
      .def(py::init<const Client&, std::vector<JointGroup>, std::string, double, double,
                    const std::vector<std::string>&, double, std::uint64_t, std::size_t,
                    std::size_t>(),
           py::arg("client"), py::arg("groups"), py::arg("path"), py::arg("seconds"),
           py::arg("after") = 2.0, py::arg("triggers") = std::vector<std::string>{},
           py::arg("chunk_duration") = 1.0, py::arg("chunk_size") = 1 << 20,
           py::arg("capacity") = 10000, py::arg("max_bytes") = 0, py::keep_alive<1, 2>())
      .def_property_readonly(
          "max_bytes", [](const PyFlightRecorder& r) { return r.get().stats().max_bytes; },
          "The ring's memory bound in bytes (the columns and wire bytes it keeps).")
      .def(
          "trigger", [](PyFlightRecorder& r) { r.get().trigger(); },
          "Triggers by hand at the newest sample's robot time (safe from a Python signal "
          "handler).")
      .def("wait", &PyFlightRecorder::Wait, py::arg("seconds"),
           "Waits up to `seconds` while it runs, without the interpreter lock. False once it has "
           "failed, stopped or been closed.")
      .def("stats", &PyFlightRecorder::Stats,
           "Counters, ring_bytes, max_bytes, evicted, pending and the files written so far.")
      .def("close", &PyFlightRecorder::Close,
           "Takes what is queued, writes each pending file with what it has and stops. Returns "
           "the final stats. Idempotent.")
      .def("__enter__", [](PyFlightRecorder& r) -> PyFlightRecorder& { return r; })
      .def("__exit__", [](PyFlightRecorder& r, py::args) { r.Close(); });
}
