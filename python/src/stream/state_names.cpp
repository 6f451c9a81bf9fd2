#include "orbalt/kvt/stream_samples.hpp"
#include "stream_bindings.hpp"

namespace py = pybind11;

namespace orbalt::kvt::python {

void define_state_names(py::module_& m) {
  m.def("system_state_name", &system_state_name, py::arg("code"),
        "The name of a system_state code ('WORKING_AUTO_EXECUTE'); '' for an unknown code.");
  m.def("safety_board_state_name", &safety_board_state_name, py::arg("code"),
        "The name of a safety_board_state code ('NORMAL', 'UNKNOWN' for -1); '' for an unknown "
        "code.");
}

}  // namespace orbalt::kvt::python
