// Module entry. PYBIND11_MODULE checks the interpreter version and turns errors raised while the
// module body runs into ImportError.
#include "bindings.hpp"

PYBIND11_MODULE(orbaltkvt, m) {
  m.doc() = "Orbalt Kovetra (KVT)";
  orbalt::kvt::python::define_joint_group(m);
  orbalt::kvt::python::define_records(m);
  orbalt::kvt::python::define_client(m);
}
