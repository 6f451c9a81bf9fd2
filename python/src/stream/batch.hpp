// Samples as columns: the Python form of a batch of stream samples.
#pragma once

#include <pybind11/pybind11.h>

#include "orbalt/kvt/sample_columns.hpp"

namespace orbalt::kvt::python {

/// N basic samples as numpy columns. Rows are samples in arrival order.
struct BasicBatch {
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
struct ExtraBatch {
  pybind11::object receive_time_ns;
  pybind11::object timestamp;
  pybind11::object robot_time_ns;
  pybind11::object valid;
  pybind11::dict groups;
  pybind11::list payloads;
  pybind11::dict joints;
  std::size_t size = 0;
};

struct Batch {
  BasicBatch basic;
  ExtraBatch extra;
};

/// Hands the columns' buffers over to numpy (no copy); `columns` is left empty.
/// `every_joint`: fill `joints` (else it stays empty).
Batch ToBatch(ColumnBatch&& columns, bool every_joint = false);

void define_batch(pybind11::module_& m);

}  // namespace orbalt::kvt::python
