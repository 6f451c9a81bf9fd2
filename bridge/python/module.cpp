// The CPython extension module `orbaltkvt_foxglove`: the native recorder and live server.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <chrono>
#include <cmath>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "bridge.hpp"
#include "counters_dict.hpp"

namespace py = pybind11;

void define_flight_recorder(py::module_& m);  // flight_recorder.cpp
using orbalt::kvt::Client;
using orbalt::kvt::JointGroup;
using orbalt::kvt_bridge::Bridge;
using orbalt::kvt_bridge::BridgeOptions;
using orbalt::kvt_bridge::BridgeStats;

using orbalt::kvt_bridge::python::CountersDict;

namespace {

std::int64_t SecondsToNs(double seconds, const char* name) {
  if (!(seconds >= 0) || !std::isfinite(seconds)) {
    throw std::invalid_argument(std::string(name) + " must be 0 or more seconds");
  }
  return static_cast<std::int64_t>(seconds * 1e9);
}

py::dict StatsDict(const BridgeStats& s) {
  py::dict d;
  d["basic"] = CountersDict(s.basic);
  d["extra"] = CountersDict(s.extra);
  d["samples_written"] = s.samples_written;
  d["messages_written"] = s.sinks.messages_written;
  d["bytes_written"] = s.sinks.bytes_written;
  d["files_written"] = s.sinks.files_written;
  d["messages_served"] = s.sinks.messages_served;
  d["port"] = s.sinks.port;
  py::list viewers;
  for (const auto& v : s.sinks.viewers) {
    py::dict vd;
    vd["id"] = v.id;
    vd["subscriptions"] = v.subscriptions;
    vd["queued"] = v.queued;
    vd["sent"] = v.sent;
    vd["dropped"] = v.dropped;
    viewers.append(vd);
  }
  d["viewers"] = viewers;
  d["running"] = s.running;
  d["error"] = s.error ? py::cast(*s.error) : py::none();
  return d;
}

// Owns the bridge so that close() can end it before Python collects the object.
class PyBridge {
 public:
  PyBridge(const Client& client, std::vector<JointGroup> groups, std::optional<std::string> mcap,
           std::optional<std::tuple<std::string, int>> serve, std::string server_name,
           std::uint64_t split_size, double split_duration, double chunk_duration,
           std::uint64_t chunk_size, std::size_t capacity, std::size_t viewer_backlog) {
    if (groups.empty()) throw std::invalid_argument("groups must name at least one joint group");
    if (capacity == 0) throw std::invalid_argument("capacity must be at least 1");
    BridgeOptions o;
    o.groups = std::move(groups);
    o.capacity = capacity;
    o.sinks.mcap_path = std::move(mcap);
    if (serve) {
      const int port = std::get<1>(*serve);
      if (port < 0 || port > 65535) throw std::invalid_argument("port must be 0 to 65535");
      o.sinks.serve = std::make_pair(std::get<0>(*serve), static_cast<std::uint16_t>(port));
    }
    o.sinks.server_name = std::move(server_name);
    o.sinks.split_size = split_size;
    o.sinks.split_duration_ns = SecondsToNs(split_duration, "split_duration");
    o.sinks.chunk_duration_ns = SecondsToNs(chunk_duration, "chunk_duration");
    if (chunk_size == 0) throw std::invalid_argument("chunk_size must be at least 1 byte");
    o.sinks.chunk_size = chunk_size;
    o.sinks.viewer_backlog = viewer_backlog;
    py::gil_scoped_release opening;
    bridge_ = std::make_unique<Bridge>(client, std::move(o));
  }

  Bridge& get() const {
    if (!bridge_) throw std::runtime_error("the bridge is closed");
    return *bridge_;
  }

  bool Wait(double seconds) {
    if (!bridge_) return false;
    const auto ms = std::chrono::milliseconds(SecondsToNs(seconds, "seconds") / 1'000'000);
    py::gil_scoped_release waiting;
    return bridge_->wait(ms);
  }

  py::dict Close() {
    if (!bridge_) return final_;
    BridgeStats s;
    {
      py::gil_scoped_release closing;
      s = bridge_->close();
      bridge_.reset();
    }
    final_ = StatsDict(s);
    port_ = s.sinks.port;
    return final_;
  }

  py::dict Stats() const { return bridge_ ? StatsDict(bridge_->stats()) : final_; }

  std::uint16_t Port() const { return bridge_ ? bridge_->stats().sinks.port : port_; }

 private:
  std::unique_ptr<Bridge> bridge_;
  py::dict final_;
  std::uint16_t port_ = 0;
};

}  // namespace

PYBIND11_MODULE(orbaltkvt_foxglove, m) {
  m.doc() =
      "Records a robot's samples into MCAP files and serves them to Foxglove viewers, in "
      "native code on threads of its own.";
  // Client and JointGroup are orbaltkvt's types; importing it registers them.
  py::module_::import("orbaltkvt");

  py::class_<PyBridge>(
      m, "Bridge",
      "Takes every sample of the client's robot (a stream of its own beside the client) and "
      "writes it to an MCAP file and/or a live WebSocket server, on a native thread. Channels: "
      "/G/joint_states and /G/joint_states_desired per group, /tf, /tf_desired, /status, "
      "/raw/basic_stream_data, /raw/extra_stream_data, and about once a second /kvt/counters.")
      .def(py::init<const Client&, std::vector<JointGroup>, std::optional<std::string>,
                    std::optional<std::tuple<std::string, int>>, std::string, std::uint64_t, double,
                    double, std::uint64_t, std::size_t, std::size_t>(),
           py::arg("client"), py::arg("groups"), py::arg("mcap") = py::none(),
           py::arg("serve") = py::none(), py::arg("server_name") = "orbaltkvt",
           py::arg("split_size") = 0, py::arg("split_duration") = 0.0,
           py::arg("chunk_duration") = 1.0, py::arg("chunk_size") = 1 << 20,
           py::arg("capacity") = 10000, py::arg("viewer_backlog") = 1024, py::keep_alive<1, 2>())
      .def_property_readonly(
          "port", &PyBridge::Port,
          "The server's port (the one picked when 0 was asked); 0 without a server.")
      .def("wait", &PyBridge::Wait, py::arg("seconds"),
           "Waits up to `seconds` while the bridge runs, without the interpreter lock. Returns "
           "True while it runs, False once it has failed, stopped or been closed.")
      .def("stats", &PyBridge::Stats, "The counters so far (see the stub for the keys).")
      .def("close", &PyBridge::Close,
           "Writes what is queued, the counters record, finishes the file(s) and stops the "
           "server. Returns the final stats. Idempotent.")
      .def("__enter__", [](PyBridge& b) -> PyBridge& { return b; })
      .def("__exit__", [](PyBridge& b, py::args) { b.Close(); });
  define_flight_recorder(m);
}
