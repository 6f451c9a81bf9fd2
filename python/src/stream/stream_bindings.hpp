// The parts of the orbaltkvt_stream module, run in this order by its entry.
#pragma once

#include <pybind11/pybind11.h>

namespace orbalt::kvt::python {

void define_batch(pybind11::module_& m);
void define_sample_stream(pybind11::module_& m);
void define_decoder(pybind11::module_& m);
void define_state_names(pybind11::module_& m);

}  // namespace orbalt::kvt::python
