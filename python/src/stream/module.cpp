// Entry of orbaltkvt_stream: every sample of a robot's streams, as numpy columns.
#include "stream_bindings.hpp"

namespace py = pybind11;

PYBIND11_MODULE(orbaltkvt_stream, m) {
  m.doc() =
      "Every sample of a robot's two data streams, beside orbaltkvt.Client: SampleStream hands "
      "them over in batches of numpy columns with loss counters; Decoder reads kept payloads.";
  // The records and JointGroup are orbaltkvt's; importing it registers them.
  py::module_::import("orbaltkvt");
  orbalt::kvt::python::define_batch(m);
  orbalt::kvt::python::define_sample_stream(m);
  orbalt::kvt::python::define_decoder(m);
  orbalt::kvt::python::define_state_names(m);
}
