// A stream's counters as the Python dict both of the module's classes report them in.
#pragma once

#include <pybind11/pybind11.h>

#include "orbalt/kvt/stream_samples.hpp"

namespace orbalt::kvt_bridge::python {

inline pybind11::dict CountersDict(const kvt::StreamCounters& c) {
  pybind11::dict d;
  d["received"] = c.received;
  d["delivered"] = c.delivered;
  d["dropped"] = c.dropped;
  d["gaps"] = c.gaps;
  d["malformed"] = c.malformed;
  return d;
}

}  // namespace orbalt::kvt_bridge::python
