// Samples as columns: the Python form of a batch of stream samples.
#pragma once

#include <pybind11/pybind11.h>

#include <cstddef>
#include <memory>
#include <mutex>
#include <vector>

#include "orbalt/kvt/sample_columns.hpp"

namespace orbalt::kvt::python {

/// Column batches whose arrays are gone, kept for the next batch: filling memory that was used
/// before costs a fraction of fresh memory, which the system must first map and clear. Holds a
/// few batches at most. Thread safe.
class BatchPool {
 public:
  /// A batch to fill: a recycled one (its buffers keep their capacity) or a new one.
  std::unique_ptr<ColumnBatch> Take();
  void Give(std::unique_ptr<ColumnBatch> batch);

 private:
  static constexpr std::size_t kKept = 2;
  std::mutex mutex_;
  std::vector<std::unique_ptr<ColumnBatch>> free_;
};

/// The columns of one call, shared by every array made from them; back to the pool when the
/// last array and view are gone.
struct SharedColumns {
  SharedColumns(std::unique_ptr<ColumnBatch> columns, std::shared_ptr<BatchPool> pool,
                bool every_joint);
  ~SharedColumns();
  SharedColumns(const SharedColumns&) = delete;
  SharedColumns& operator=(const SharedColumns&) = delete;

  std::unique_ptr<ColumnBatch> columns;
  std::shared_ptr<BatchPool> pool;
  bool every_joint;
};

/// One stream's samples as numpy columns, rows in arrival order. The arrays are views into the
/// native columns (no copy), made when first read.
class StreamBatch {
 public:
  StreamBatch(std::shared_ptr<SharedColumns> shared, bool basic)
      : shared_(std::move(shared)), basic_(basic) {}

  pybind11::object receive_time_ns();
  pybind11::object timestamp();
  pybind11::object robot_time_ns();
  pybind11::object valid();
  pybind11::object groups();
  pybind11::object status();
  pybind11::object payloads();
  pybind11::object joints();
  std::size_t size() const { return stream().rows; }

 private:
  const StreamColumns& stream() const;
  StreamColumns& stream();

  std::shared_ptr<SharedColumns> shared_;
  bool basic_;
  pybind11::object receive_time_ns_, timestamp_, robot_time_ns_, valid_, groups_, status_,
      payloads_, joints_;
};

/// The two Python classes, one per stream.
struct BasicBatch : StreamBatch {
  explicit BasicBatch(std::shared_ptr<SharedColumns> shared)
      : StreamBatch(std::move(shared), true) {}
};
struct ExtraBatch : StreamBatch {
  explicit ExtraBatch(std::shared_ptr<SharedColumns> shared)
      : StreamBatch(std::move(shared), false) {}
};

/// Samples of both streams taken in one call.
struct Batch {
  explicit Batch(std::shared_ptr<SharedColumns> shared);
  pybind11::object basic;  ///< StreamBatch of the basic stream (a BasicBatch)
  pybind11::object extra;  ///< StreamBatch of the extra stream (an ExtraBatch)
  std::size_t size = 0;
};

/// The Python batch over `columns`, filled (and finished) by the caller.
Batch ToBatch(std::unique_ptr<ColumnBatch> columns, std::shared_ptr<BatchPool> pool,
              bool every_joint = false);

void define_batch(pybind11::module_& m);

}  // namespace orbalt::kvt::python
