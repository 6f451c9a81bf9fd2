// The parts of the orbaltkvt module, one per bound thing, run in this order by the module entry.
#pragma once

#include <pybind11/pybind11.h>

namespace orbalt::kvt::python {

void define_joint_group(pybind11::module_& m);
void define_records(pybind11::module_& m);
void define_client(pybind11::module_& m);

}  // namespace orbalt::kvt::python
