// Samples as columns: the Python form of a batch of stream samples.
#pragma once

#include <pybind11/pybind11.h>

#include <vector>

#include "orbalt/kvt/stream_samples.hpp"

namespace orbalt::kvt::python {

/// N basic samples as numpy columns. Rows are samples in arrival order.
struct BasicColumns {
  pybind11::object receive_time_ns;  ///< int64 (N,)
  pybind11::object timestamp;        ///< int64 (N, 2): the robot's (seconds, nanoseconds)
  pybind11::object robot_time_ns;    ///< int64 (N,): the timestamp as nanoseconds
  pybind11::object valid;            ///< bool (N,): the sample decoded and fit the layout
  pybind11::dict groups;             ///< JointGroup -> {field: float64 (N, width)}
  pybind11::dict status;             ///< field -> (N,) or (N, channels)
  pybind11::list payloads;           ///< bytes per sample, when kept
  pybind11::dict joints;             ///< field -> float64 (N, J): every joint, when asked for
  std::size_t size = 0;
};

/// N extra samples as numpy columns.
struct ExtraColumns {
  pybind11::object receive_time_ns;
  pybind11::object timestamp;
  pybind11::object robot_time_ns;
  pybind11::object valid;
  pybind11::dict groups;
  pybind11::list payloads;
  pybind11::dict joints;
  std::size_t size = 0;
};

struct BatchColumns {
  BasicColumns basic;
  ExtraColumns extra;
};

/// `valid`: per sample whether it decoded; samples that did not are rows of NaN and zeros.
BasicColumns ToColumns(const std::vector<BasicSample>& samples, const JointLayout& layout,
                       const std::vector<bool>* valid = nullptr);
ExtraColumns ToColumns(const std::vector<ExtraSample>& samples, const JointLayout& layout,
                       const std::vector<bool>* valid = nullptr);

/// Every joint of each sample (`records[i]` for row i) as {field: float64 (N, J)}, J the most
/// joints any row has; NaN beyond a row's own joints.
pybind11::dict EveryJointColumns(const std::vector<RobotStates>& records);
pybind11::dict EveryJointColumns(const std::vector<RobotActions>& records);

void define_batch(pybind11::module_& m);

}  // namespace orbalt::kvt::python
