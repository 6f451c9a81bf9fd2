#include "orbalt/kvt/joint_group.hpp"

#include "bindings.hpp"

namespace py = pybind11;

namespace orbalt::kvt::python {

void define_joint_group(py::module_& m) {
  py::enum_<JointGroup>(m, "JointGroup", "A group of the robot's joints.")
      .value("UNKNOWN", JointGroup::UNKNOWN)
      .value("ALL", JointGroup::ALL)
      .value("ARMS", JointGroup::ARMS)
      .value("ARM_1", JointGroup::ARM_1)
      .value("ARM_2", JointGroup::ARM_2)
      .value("EXT_AXIS", JointGroup::EXT_AXIS)
      .export_values();
}

}  // namespace orbalt::kvt::python
