#include "orbalt/kvt/sample_decoder.hpp"

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <stdexcept>
#include <string>

#include "batch.hpp"
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

// Payloads of both streams in receive-time order (basic first on a tie, as a robot sends
// them), so that each extra sample takes the timestamp of the basic one before it.
BatchColumns Decode(SampleDecoder& decoder, const std::vector<py::bytes>& basic_payloads,
                    const py::object& basic_times, const std::vector<py::bytes>& extra_payloads,
                    const py::object& extra_times, bool every_joint) {
  const auto bt = Times(basic_times, basic_payloads.size(), "basic_receive_time_ns");
  const auto et = Times(extra_payloads.empty() ? py::object(py::array_t<std::int64_t>(0))
                                               : extra_times,
                        extra_payloads.size(), "extra_receive_time_ns");
  std::vector<BasicSample> basic(basic_payloads.size());
  std::vector<ExtraSample> extra(extra_payloads.size());
  std::vector<bool> basic_ok(basic.size()), extra_ok(extra.size());
  std::vector<RobotStates> basic_joints(every_joint ? basic.size() : 0);
  std::vector<RobotActions> extra_joints(every_joint ? extra.size() : 0);
  std::vector<std::string_view> bv, ev;
  for (const auto& p : basic_payloads) bv.push_back(std::string_view(p));
  for (const auto& p : extra_payloads) ev.push_back(std::string_view(p));
  {
    py::gil_scoped_release decoding;
    std::size_t i = 0, j = 0;
    while (i < basic.size() || j < extra.size()) {
      if (j == extra.size() || (i < basic.size() && bt[i] <= et[j])) {
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(bv[i].data());
        basic_ok[i] = every_joint ? decoder.decode_basic(bytes, bv[i].size(), bt[i], basic[i],
                                                         basic_joints[i])
                                  : decoder.decode_basic(bytes, bv[i].size(), bt[i], basic[i]);
        if (!basic_ok[i]) basic[i].receive_time_ns = bt[i];
        ++i;
      } else {
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(ev[j].data());
        extra_ok[j] = every_joint ? decoder.decode_extra(bytes, ev[j].size(), et[j], extra[j],
                                                         extra_joints[j])
                                  : decoder.decode_extra(bytes, ev[j].size(), et[j], extra[j]);
        if (!extra_ok[j]) extra[j].receive_time_ns = et[j];
        ++j;
      }
    }
  }
  BatchColumns columns{ToColumns(basic, decoder.layout(), &basic_ok),
                       ToColumns(extra, decoder.layout(), &extra_ok)};
  if (every_joint) {
    columns.basic.joints = EveryJointColumns(basic_joints);
    columns.extra.joints = EveryJointColumns(extra_joints);
  }
  return columns;
}

}  // namespace

void define_decoder(py::module_& m) {
  py::class_<SampleDecoder>(
      m, "Decoder",
      "Decodes stream payloads kept earlier (a recording's raw channels) into the Batch form of "
      "SampleStream.next(), with the library's own decoder and a given joint layout.")
      .def(py::init([](const py::dict& layout) {
             return std::make_unique<SampleDecoder>(LayoutFrom(layout));
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
      .def_property_readonly("layout", [](const SampleDecoder& d) {
        py::dict out;
        for (const auto& [group, slice] : d.layout()) {
          out[py::cast(group)] = py::make_tuple(slice.start_id, slice.dof);
        }
        return out;
      });
}

}  // namespace orbalt::kvt::python
