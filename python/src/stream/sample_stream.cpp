#include "orbalt/kvt/sample_stream.hpp"

#include <pybind11/eval.h>
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
  PySampleStream(const Client& client, std::size_t capacity, bool keep_payloads, double max_latency)
      : stream_(std::make_shared<SampleStream>(
            client, SampleStreamOptions{capacity, keep_payloads, Latency(max_latency)})) {}

  SampleStream& get() const {
    if (!stream_) throw std::runtime_error("the sample stream is closed");
    return *stream_;
  }

  Batch Next(double timeout, std::size_t max_samples) {
    get();
    if (!(timeout >= 0)) throw std::invalid_argument("timeout must be 0 or more seconds");
    // Held while waiting, so that close() on another thread cannot free the stream under it.
    const std::shared_ptr<SampleStream> stream = stream_;
    std::unique_ptr<ColumnBatch> columns = pool_->Take();
    {
      py::gil_scoped_release waiting;
      stream->next_columns(std::chrono::milliseconds(static_cast<std::int64_t>(timeout * 1000)),
                           *columns, max_samples);
    }
    return ToBatch(std::move(columns), pool_);
  }

  void Interrupt() {
    get().interrupt();
    interrupted_ = true;
  }

  /// Whether no more batches are to be waited for: closed, or interrupted.
  bool Ended() const { return !stream_ || interrupted_; }

  void Close() {
    if (!stream_) return;
    stream_->interrupt();
    interrupted_ = true;
    std::shared_ptr<SampleStream> ending = std::move(stream_);
    py::gil_scoped_release released;
    ending.reset();
  }

 private:
  static std::chrono::microseconds Latency(double seconds) {
    if (!(seconds >= 0 && seconds <= 60)) {
      throw std::invalid_argument("max_latency must be 0 to 60 seconds");
    }
    return std::chrono::microseconds(static_cast<std::int64_t>(seconds * 1e6));
  }

  std::shared_ptr<SampleStream> stream_;
  std::shared_ptr<BatchPool> pool_ = std::make_shared<BatchPool>();
  bool interrupted_ = false;
};

// asyncio support, in Python: next() runs on a thread of the stream's own (it releases the
// interpreter lock while it waits), and a call cancelled while it waits leaves its batch to
// the next call, so cancelling never loses samples.
constexpr const char* kAsyncSupport = R"(
import asyncio as _asyncio
from concurrent.futures import ThreadPoolExecutor as _Executor

def _take(stream, timeout, max_samples):
    loop = _asyncio.get_running_loop()
    pending = stream.__dict__.get("_pending")
    if pending is None or pending.get_loop() is not loop:
        executor = stream.__dict__.get("_executor")
        if executor is None:
            executor = stream.__dict__["_executor"] = _Executor(
                max_workers=1, thread_name_prefix="orbaltkvt_stream")
        pending = _asyncio.wrap_future(
            executor.submit(stream.next, timeout, max_samples), loop=loop)
        stream.__dict__["_pending"] = pending
    return pending

async def next_async(self, timeout=0.1, max_samples=0):
    pending = _take(self, timeout, max_samples)
    batch = await _asyncio.shield(pending)
    self.__dict__["_pending"] = None
    return batch

def __aiter__(self):
    return self

async def __anext__(self):
    while True:
        try:
            batch = await next_async(self, 0.1, 0)
        except RuntimeError:
            if self._ended():
                raise StopAsyncIteration from None
            raise
        if len(batch):
            return batch
        if self._ended():
            raise StopAsyncIteration
)";

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

  py::class_<PySampleStream> cls(
      m, "SampleStream", py::dynamic_attr(),
      "Every sample of a robot's basic and extra streams, in arrival order, from a running "
      "orbaltkvt.Client. Samples queue in native code (capacity per stream; when full the "
      "oldest are dropped and counted) until next() takes them.");
  cls.def(py::init<const Client&, std::size_t, bool, double>(), py::arg("client"),
          py::arg("capacity") = 10000, py::arg("keep_payloads") = false,
          py::arg("max_latency") = 0.0, py::keep_alive<1, 2>(),
          "max_latency: seconds a queued sample may wait before a waiting next() is woken. 0 "
          "wakes it for every sample; a few milliseconds wake it once a batch (much less CPU "
          "for a busy reader) and delay each sample by up to that much.")
      .def("next", &PySampleStream::Next, py::arg("timeout") = 0.1, py::arg("max_samples") = 0,
           "Takes the queued samples of both streams (at most max_samples each, 0: all), waiting "
           "up to timeout seconds for the first when none is queued. The interpreter lock is "
           "released while waiting. Returns a Batch, empty when nothing arrived.")
      .def("interrupt", &PySampleStream::Interrupt,
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
      .def("_ended", &PySampleStream::Ended)
      .def("__enter__", [](PySampleStream& s) -> PySampleStream& { return s; })
      .def("__exit__", [](PySampleStream& s, py::args) { s.Close(); });

  py::dict scope;
  py::exec(kAsyncSupport, scope);
  cls.attr("next_async") = scope["next_async"];
  cls.attr("next_async").attr("__doc__") =
      "await stream.next_async(timeout=0.1, max_samples=0): next() for asyncio programs. It "
      "waits on a thread of the stream's own without holding the interpreter lock, so the "
      "event loop keeps running; a call cancelled while waiting hands its batch to the next "
      "call, so no sample is lost.";
  cls.attr("__aiter__") = scope["__aiter__"];
  cls.attr("__anext__") = scope["__anext__"];
  cls.attr("__anext__").attr("__doc__") =
      "async for batch in stream: every non-empty batch; after interrupt() the queued samples "
      "still come, then the loop ends (at once once the stream is closed).";
}

}  // namespace orbalt::kvt::python
