#include "orbalt/kvt/client.hpp"

#include <pybind11/stl.h>

#include "bindings.hpp"

namespace py = pybind11;

namespace orbalt::kvt::python {

void define_client(py::module_& m) {
  // The interpreter lock stays held in every call, the waiting ones included: no native thread
  // ever calls into Python, and Python threads sharing a client are serialised by it.
  py::class_<Client>(m, "Client",
                     "Reads live data from one robot. Construction connects to the robot named "
                     "by its serial number, checks its service version and fetches its "
                     "joint-group layout; it raises when any of that fails.")
      .def(py::init<const std::string&, bool>(), py::arg("robot_sn"), py::arg("verbose") = true)
      .def("connected", &Client::connected,
           "Whether the robot's data service answers a probe now (waits up to 1 s).")
      .def("groups", &Client::groups, "Joint groups listed by the newest basic stream sample.")
      .def("states", &Client::states, "Measured state per joint group, from the newest sample.")
      .def("actions", &Client::actions, "Desired state per joint group, from the newest sample.")
      .def("primitive_states", &Client::primitive_states,
           "The running primitive per joint group (asks the robot; waits up to 2 s a try).")
      .def("configuration_score", &Client::configuration_score,
           "Two scores in [0, 100] per joint group from manipulability values (asks the robot).")
      .def("plan_info", &Client::plan_info, "What the plan executor is doing (asks the robot).")
      .def("estop_released", &Client::estop_released, "Whether the emergency stop is released.")
      .def("enabling_device_on", &Client::enabling_device_on,
           "Whether the enabling device is on.")
      .def("digital_inputs", &Client::digital_inputs, "The 20 digital inputs, channel i at i.")
      .def("digital_outputs", &Client::digital_outputs, "The 20 digital outputs, channel i at i.")
      .def("__repr__", [](const Client&) { return "<orbaltkvt.Client>"; });
}

}  // namespace orbalt::kvt::python
