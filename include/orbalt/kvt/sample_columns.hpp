/// @file
/// Stream samples as columns: one buffer per field, one row per sample, filled straight from
/// the decoded messages. The bulk form of `SampleBatch`, for programs that work on many
/// samples at once (numpy, Arrow, recorders).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

#include "orbalt/kvt/joint_group.hpp"
#include "orbalt/kvt/record_fields.hpp"

namespace orbalt::kvt {

/// An allocator that leaves the numbers a column grows by uninitialised: the columns are sized
/// ahead of the rows written and every row is written whole, so clearing the memory first
/// would only cost time.
template <class T>
struct UninitializedAllocator : std::allocator<T> {
  /// The same allocator for another type.
  template <class U>
  struct rebind {
    using other = UninitializedAllocator<U>;  ///< the allocator of U
  };
  UninitializedAllocator() = default;
  /// From the allocator of another type.
  template <class U>
  UninitializedAllocator(const UninitializedAllocator<U>&) noexcept {}
  /// Default-initialises: leaves a number uninitialised.
  template <class U>
  void construct(U* p) noexcept(std::is_nothrow_default_constructible_v<U>) {
    ::new (static_cast<void*>(p)) U;
  }
  /// Constructs from `args`.
  template <class U, class... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
};

/// The buffer of one column.
template <class T>
using Column = std::vector<T, UninitializedAllocator<T>>;

/// One joint group's columns of one stream.
struct GroupColumns {
  JointGroup group = JointGroup::UNKNOWN;  ///< the joint group
  /// The group's DoF in the joint layout; 0 for a group the layout lacks, which only has its
  /// Cartesian columns (its per-joint columns are empty).
  std::size_t dof = 0;
  /// One column per entry of the record's field table (`kRobotStatesFields` for the basic
  /// stream, `kRobotActionsFields` for the extra one), in its order: rows x width values, row
  /// after row, width being the field's own or `dof` for per-joint fields. Rows whose sample
  /// lacks the group, or did not fit the layout, are NaN.
  std::vector<Column<double>> fields;

  /// Values per row of column `field`.
  std::size_t width(std::size_t field, const FieldInfo* table) const {
    return table[field].width == 0 ? dof : table[field].width;
  }
};

/// One status field's column, rows x the field's width: `flags` for `FieldType::kBool`
/// (0 or 1), `codes` for `FieldType::kInt32`; the other one stays empty.
struct StatusColumn {
  std::vector<std::uint8_t> flags;  ///< a flag's column: 0 or 1
  std::vector<std::int32_t> codes;  ///< a code's column
};

/// The columns every stream has. Rows are samples in arrival order.
struct StreamColumns {
  std::size_t rows = 0;                       ///< samples held
  std::vector<std::int64_t> receive_time_ns;  ///< host receive time, ns since the Unix epoch
  /// The robot's timestamp, two per row (seconds, nanoseconds), as in the records. Extra
  /// samples carry that of the newest basic sample received before them.
  std::vector<std::int32_t> timestamp;
  std::vector<std::int64_t> robot_time_ns;  ///< the timestamp as ns (seconds * 1e9 + ns)
  /// 1 where the sample decoded and fit the joint layout; other rows are NaN and zeros.
  std::vector<std::uint8_t> valid;
  /// The layout's groups and any other group a sample listed, ascending.
  std::vector<GroupColumns> groups;
  /// Every row's wire bytes, one after the other, when payloads are kept; otherwise empty.
  std::vector<std::uint8_t> payload_bytes;
  /// Where each row's bytes begin in `payload_bytes`, and after the last row where they end
  /// (rows + 1 entries): row i is the bytes from entry i up to entry i + 1. Empty when
  /// payloads are not kept.
  std::vector<std::size_t> payload_offsets;
  /// Every joint each sample carries, in the robot's full-DoF order whatever the layout: one
  /// column per per-joint field of the record's table, rows x `every_joint_width`, NaN beyond
  /// a row's own joints. Empty unless asked for.
  std::vector<std::vector<double>> every_joint;
  std::size_t every_joint_width = 0;  ///< the most joints of any row

  /// The columns of `group`, or null.
  const GroupColumns* find(JointGroup group) const {
    for (const GroupColumns& g : groups) {
      if (g.group == group) return &g;
    }
    return nullptr;
  }
};

/// Basic (measured) samples: the stream's columns and the status header's.
struct BasicColumns : StreamColumns {
  /// One column per entry of `kStatusFields`, in its order.
  std::vector<StatusColumn> status;
};

/// Extra (desired) samples.
struct ExtraColumns : StreamColumns {};

/// Samples of both streams taken in one call; receive times order them against each other.
struct ColumnBatch {
  BasicColumns basic;  ///< the basic stream's rows
  ExtraColumns extra;  ///< the extra stream's rows
  /// Whether the batch holds no sample of either stream.
  bool empty() const { return basic.rows == 0 && extra.rows == 0; }
};

/// Visits the rows of two streams in receive-time order: each stream's rows keep their order,
/// and a basic row goes before an extra one received at the same instant (as a robot sends
/// them). `on_basic(i)` / `on_extra(j)` get the row index.
template <typename OnBasic, typename OnExtra>
void ForEachByReceiveTime(const std::int64_t* basic_times, std::size_t basic_rows,
                          const std::int64_t* extra_times, std::size_t extra_rows,
                          OnBasic&& on_basic, OnExtra&& on_extra) {
  std::size_t b = 0, e = 0;
  while (b < basic_rows || e < extra_rows) {
    if (e == extra_rows || (b < basic_rows && basic_times[b] <= extra_times[e])) {
      on_basic(b++);
    } else {
      on_extra(e++);
    }
  }
}

/// The same over a batch's rows.
template <typename OnBasic, typename OnExtra>
void ForEachByReceiveTime(const ColumnBatch& batch, OnBasic&& on_basic, OnExtra&& on_extra) {
  ForEachByReceiveTime(batch.basic.receive_time_ns.data(), batch.basic.rows,
                       batch.extra.receive_time_ns.data(), batch.extra.rows, on_basic, on_extra);
}

}  // namespace orbalt::kvt
