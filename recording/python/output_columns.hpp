// One stream's output columns, made once at their final row count and filled from the
// decoder's batches: only the groups and fields asked for, in float64 or float32.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "orbalt/kvt/sample_columns.hpp"
#include "orbalt/kvt/stream_samples.hpp"

namespace orbalt::kvt_recording::python {

/// What to keep of each stream.
struct Selection {
  std::optional<std::set<int>> groups;          ///< JointGroup values; none: every group
  std::optional<std::set<std::string>> fields;  ///< field names; none: every field
  bool float32 = false;

  bool wants(const char* field) const { return !fields || fields->count(field) != 0; }
  bool wants(kvt::JointGroup group) const {
    return !groups || groups->count(static_cast<int>(group)) != 0;
  }
};

/// Memory for a large column: huge pages where the system offers them, since faulting in a
/// column of hundreds of MB page by page costs as much as filling it.
void* AllocateColumn(std::size_t bytes);
void FreeColumn(void* p, std::size_t bytes) noexcept;

/// Leaves new elements uninitialised (where a vector would zero them): the columns are written
/// whole once, by the rows copied in or by NaN for those no sample had.
template <class T>
struct Uninitialised : std::allocator<T> {
  template <class U>
  struct rebind {
    using other = Uninitialised<U>;
  };
  Uninitialised() = default;
  template <class U>
  Uninitialised(const Uninitialised<U>&) noexcept {}
  T* allocate(std::size_t n) { return static_cast<T*>(AllocateColumn(n * sizeof(T))); }
  void deallocate(T* p, std::size_t n) noexcept { FreeColumn(p, n * sizeof(T)); }
  template <class U>
  void construct(U* p) noexcept {
    ::new (static_cast<void*>(p)) U;
  }
  template <class U, class... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
};

/// A float column, rows x width, NaN where nothing was written. Rows are written in order;
/// the rows skipped and the values of a row beyond those written become NaN as the writing
/// goes past them (and at `finish`), so that no value is written twice.
struct FloatColumn {
  std::vector<double, Uninitialised<double>> f64;
  std::vector<float, Uninitialised<float>> f32;
  std::size_t width = 0;
  bool float32 = false;
  std::size_t written = 0;  ///< rows [0, written) are final

  FloatColumn(std::size_t rows, std::size_t width, bool float32);
  /// Writes `n` rows at row `row`, from `src` (one row every `stride` values), into columns
  /// [0, count) of each row; the rest of each row is NaN.
  void put(std::size_t row, std::size_t n, const double* src, std::size_t stride,
           std::size_t count);
  /// NaN in rows [written, rows).
  void finish(std::size_t rows);
  /// The same rows, `wider` values each (NaN beyond the old width).
  void widen(std::size_t rows, std::size_t wider);
};

struct StatusOutput {
  std::vector<std::uint8_t> flags;
  std::vector<std::int32_t> codes;
};

class OutputColumns {
 public:
  /// `rows`: exactly the rows that `add` will be given in all.
  OutputColumns(std::size_t rows, bool basic, const kvt::JointLayout& layout,
                const Selection& selection);

  /// Copies rows [begin, end) of `c` (the stream's part of a batch) to the next rows.
  void add(const kvt::StreamColumns& c, std::size_t begin, std::size_t end);
  /// As `add`, with the status columns of a basic batch.
  void add_status(const kvt::BasicColumns& c, std::size_t begin, std::size_t end);
  /// NaN in the float columns' rows no batch wrote.
  void finish();

  std::size_t rows() const { return rows_; }
  std::size_t filled() const { return filled_; }
  bool every_joint() const { return every_joint_; }

  std::vector<std::int64_t> receive_time_ns, robot_time_ns, timestamp;
  std::vector<std::uint8_t> valid;
  /// Every joint of each row (per-joint field name -> rows x J), without a group selection.
  std::map<std::string, FloatColumn> joints;
  std::size_t joints_width = 0;
  /// (group, field) -> column: Cartesian fields, and per-joint ones when groups are selected.
  std::map<std::pair<int, std::string>, FloatColumn> group_fields;
  std::map<std::string, StatusOutput> status;

 private:
  const kvt::FieldInfo* table_;
  std::size_t table_size_;
  std::size_t rows_, filled_ = 0;
  bool every_joint_;
  kvt::JointLayout layout_;
  Selection selection_;
};

}  // namespace orbalt::kvt_recording::python
