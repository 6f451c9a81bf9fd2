#include "orbalt/kvt/sample_stream.hpp"

#include <pybind11/stl.h>

#include <memory>
#include <stdexcept>

#include "batch.hpp"
#include "stream_bindings.hpp"

namespace py = pybind11;

namespace orbalt::kvt::python {

namespace {

// Owns the stream so that close() can end the subscriptions before Python collects it.
class PySampleStream {
 public:
  PySampleStream(const Client& client, std::size_t capacity, bool keep_payloads)
      : stream_(std::make_unique<SampleStream>(client,
                                               SampleStreamOptions{capacity, keep_payloads})) {}

  SampleStream& get() const {
    if (!stream_) throw std::runtime_error("the sample stream is closed");
    return *stream_;
  }

  BatchColumns Next(double timeout, std::size_t max_samples) {
    SampleStream& stream = get();
    if (!(timeout >= 0)) throw std::invalid_argument("timeout must be 0 or more seconds");
    SampleBatch batch;
    {
      py::gil_scoped_release waiting;
      batch = stream.next(std::chrono::milliseconds(static_cast<std::int64_t>(timeout * 1000)),
                          max_samples);
    }
    return BatchColumns{ToColumns(batch.basic, stream.layout()),
                        ToColumns(batch.extra, stream.layout())};
  }

  void Close() {
    if (!stream_) return;
    stream_->interrupt();
    py::gil_scoped_release ending;
    stream_.reset();
  }

 private:
  std::unique_ptr<SampleStream> stream_;
};

py::dict LayoutDict(const JointLayout& layout) {
  py::dict out;
  for (const auto& [group, slice] : layout) {
    out[py::cast(group)] = py::make_tuple(slice.start_id, slice.dof);
  }
  return out;
}

}  // namespace

void define_sample_stream(py::module_& m) {
  py::class_<StreamCounters>(m, "Counters",
                             "What happened to one stream's samples since the stream started.")
      .def_readonly("received", &StreamCounters::received, "Samples that arrived.")
      .def_readonly("delivered", &StreamCounters::delivered, "Samples handed to the reader.")
      .def_readonly("dropped", &StreamCounters::dropped,
                    "Oldest samples dropped because the reader fell behind (queue full).")
      .def_readonly("gaps", &StreamCounters::gaps,
                    "Samples the robot sent that never arrived, from gaps in its timestamps "
                    "(0 for the extra stream, which has none).")
      .def_readonly("malformed", &StreamCounters::malformed,
                    "Samples that did not decode, dropped.")
      .def("_asdict",
           [](const StreamCounters& c) {
             py::dict d;
             d["received"] = c.received;
             d["delivered"] = c.delivered;
             d["dropped"] = c.dropped;
             d["gaps"] = c.gaps;
             d["malformed"] = c.malformed;
             return d;
           })
      .def("__repr__", [](const StreamCounters& c) {
        return "Counters(received=" + std::to_string(c.received) +
               ", delivered=" + std::to_string(c.delivered) +
               ", dropped=" + std::to_string(c.dropped) + ", gaps=" + std::to_string(c.gaps) +
               ", malformed=" + std::to_string(c.malformed) + ")";
      });

  py::class_<PySampleStream>(
      m, "SampleStream",
      "Every sample of a robot's basic and extra streams, in arrival order, from a running "
      "orbaltkvt.Client. Samples queue in native code (capacity per stream; when full the "
      "oldest are dropped and counted) until next() takes them.")
      .def(py::init<const Client&, std::size_t, bool>(), py::arg("client"),
           py::arg("capacity") = 10000, py::arg("keep_payloads") = false,
           py::keep_alive<1, 2>())
      .def("next", &PySampleStream::Next, py::arg("timeout") = 0.1, py::arg("max_samples") = 0,
           "Takes the queued samples of both streams (at most max_samples each, 0: all), waiting "
           "up to timeout seconds for the first when none is queued. The interpreter lock is "
           "released while waiting. Returns a Batch, empty when nothing arrived.")
      .def(
          "interrupt", [](PySampleStream& s) { s.get().interrupt(); },
          "Makes a waiting next() return now, and later ones return without waiting.")
      .def(
          "basic_counters", [](const PySampleStream& s) { return s.get().basic_counters(); },
          "The basic stream's Counters.")
      .def(
          "extra_counters", [](const PySampleStream& s) { return s.get().extra_counters(); },
          "The extra stream's Counters.")
      .def_property_readonly(
          "layout", [](const PySampleStream& s) { return LayoutDict(s.get().layout()); },
          "{JointGroup: (start_id, dof)}: the client's joint layout.")
      .def_property_readonly(
          "serial_number", [](const PySampleStream& s) { return s.get().serial_number(); },
          "The robot's normalized serial number.")
      .def("close", &PySampleStream::Close,
           "Ends the subscriptions; queued samples are discarded. Idempotent.")
      .def("__enter__", [](PySampleStream& s) -> PySampleStream& { return s; })
      .def("__exit__", [](PySampleStream& s, py::args) { s.Close(); });
}

}  // namespace orbalt::kvt::python
