#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "orbalt/kvt/sample_columns.hpp"

namespace orbalt::kvt_bridge {

/// One stream's samples as they came off the wire: their bytes one after the other and, per
/// sample, where its bytes begin, when it arrived and its robot time.
struct PayloadRows {
  std::vector<std::uint8_t> bytes;
  std::vector<std::size_t> offsets;           ///< rows + 1 entries, as in `StreamColumns`
  std::vector<std::int64_t> receive_time_ns;  ///< host receive time
  std::vector<std::int64_t> robot_time_ns;    ///< the robot's timestamp as ns

  std::size_t rows() const { return receive_time_ns.size(); }
  /// The bytes the buffers hold.
  std::size_t footprint() const;
};

/// The wire samples of one column batch, both streams.
struct PayloadChunk {
  PayloadRows basic;
  PayloadRows extra;
};

/// The last stretch of a robot's samples, kept as wire bytes (a fraction of their decoded
/// columns) within a byte bound; they are decoded again only when a file is written.
///
/// Samples are kept in the chunks they arrived in: a chunk is dropped once its newest sample is
/// older than what the caller still wants, or, oldest first, when the bound would be exceeded
/// (the samples dropped that way are counted). A kept chunk is never changed.
///
/// @note Not thread safe: one thread pushes, trims and reads.
class SampleRing {
 public:
  struct Entry {
    std::shared_ptr<const PayloadChunk> chunk;
    std::int64_t oldest_ns = 0;  ///< robot time of its oldest row, either stream
    std::int64_t newest_ns = 0;  ///< robot time of its newest row, either stream
    std::size_t bytes = 0;
  };

  /// @param max_bytes the bound on `bytes()`; at least one chunk is always kept
  explicit SampleRing(std::size_t max_bytes);

  /// Keeps the wire bytes, receive and robot times of the batch's rows (a batch taken with
  /// payloads kept; one without rows is ignored).
  void push(const kvt::ColumnBatch& batch);
  /// Drops the chunks whose every row is older than `keep_from_ns` (robot time).
  void trim(std::int64_t keep_from_ns);

  const std::deque<Entry>& entries() const { return entries_; }
  std::size_t bytes() const { return bytes_; }
  std::size_t max_bytes() const { return max_bytes_; }
  /// Samples dropped to keep within the bound rather than because they were old enough.
  std::uint64_t evicted() const { return evicted_; }

 private:
  std::size_t max_bytes_;
  std::deque<Entry> entries_;
  std::size_t bytes_ = 0;
  std::uint64_t evicted_ = 0;
};

}  // namespace orbalt::kvt_bridge
