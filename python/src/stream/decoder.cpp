#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <stdexcept>
#include <string>

#include "batch.hpp"
#include "orbalt/kvt/sample_decoder.hpp"
#include "stream_bindings.hpp"

namespace py = pybind11;

namespace orbalt::kvt::python {

namespace {

JointLayout LayoutFrom(const py::dict& layout) {
  JointLayout out;
  for (const auto& [key, value] : layout) {
    const auto slice = value.cast<std::pair<std::uint32_t, std::uint64_t>>();
    out.emplace(key.cast<JointGroup>(), GroupLayout{slice.first, slice.second});
  }
  return out;
}

std::vector<std::int64_t> Times(const py::object& times, std::size_t n, const char* what) {
  auto array = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>::ensure(times);
  if (!array || array.ndim() != 1 || static_cast<std::size_t>(array.shape(0)) != n) {
    throw std::invalid_argument(std::string(what) + " must hold one receive time per payload");
  }
  return {array.data(), array.data() + n};
}

// Payloads of both streams in receive-time order (the decoder merges them), so that each
// extra sample takes the timestamp of the basic one before it.
// The library's decoder, with the pool its batches' columns go back to.
struct PyDecoder {
  explicit PyDecoder(const JointLayout& layout) : decoder(layout) {}
  SampleDecoder decoder;
  std::shared_ptr<BatchPool> pool = std::make_shared<BatchPool>();
};

Batch Decode(PyDecoder& self, const std::vector<py::bytes>& basic_payloads,
             const py::object& basic_times, const std::vector<py::bytes>& extra_payloads,
             const py::object& extra_times, bool every_joint) {
  const auto bt = Times(basic_times, basic_payloads.size(), "basic_receive_time_ns");
  const auto et =
      Times(extra_payloads.empty() ? py::object(py::array_t<std::int64_t>(0)) : extra_times,
            extra_payloads.size(), "extra_receive_time_ns");
  const auto views = [](const std::vector<py::bytes>& payloads,
                        const std::vector<std::int64_t>& times) {
    std::vector<SampleDecoder::Payload> out(payloads.size());
    for (std::size_t i = 0; i < payloads.size(); ++i) {
      const std::string_view bytes(payloads[i]);
      out[i] = {reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(), times[i]};
    }
    return out;
  };
  const auto basic = views(basic_payloads, bt);
  const auto extra = views(extra_payloads, et);
  std::unique_ptr<ColumnBatch> columns = self.pool->Take();
  // A recycled batch starts empty; its buffers keep their memory.
  columns->basic.rows = 0;
  columns->extra.rows = 0;
  {
    py::gil_scoped_release decoding;
    self.decoder.decode(basic.data(), basic.size(), extra.data(), extra.size(), *columns,
                        every_joint);
  }
  return ToBatch(std::move(columns), self.pool, every_joint);
}

}  // namespace

void define_decoder(py::module_& m) {
  py::class_<PyDecoder>(
      m, "Decoder",
      "Decodes stream payloads kept earlier (a recording's raw channels) into the Batch form of "
      "SampleStream.next(), with the library's own decoder and a given joint layout.")
      .def(py::init([](const py::dict& layout) {
             return std::make_unique<PyDecoder>(LayoutFrom(layout));
           }),
           py::arg("layout"), "layout: {JointGroup: (start_id, dof)}, as SampleStream.layout.")
      .def("decode", &Decode, py::arg("basic_payloads"), py::arg("basic_receive_time_ns"),
           py::arg("extra_payloads") = std::vector<py::bytes>{},
           py::arg("extra_receive_time_ns") = py::none(), py::kw_only(),
           py::arg("every_joint") = false,
           "Decodes basic and extra payloads (bytes each, with their receive times in ns) into "
           "a Batch. Both streams are taken in receive-time order, so that extra samples carry "
           "the timestamp of the basic sample before them, as they do live. A payload that does "
           "not decode gives a row with valid False. The decoder remembers the last basic "
           "timestamp across calls. every_joint: also fill each stream's joints columns with "
           "every joint the samples carry, whatever the layout.")
      .def_property_readonly("layout", [](const PyDecoder& d) {
        py::dict out;
        for (const auto& [group, slice] : d.decoder.layout()) {
          out[py::cast(group)] = py::make_tuple(slice.start_id, slice.dof);
        }
        return out;
      });
}

}  // namespace orbalt::kvt::python
