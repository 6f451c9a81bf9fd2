#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "orbalt/kvt/sample_columns.hpp"
#include "orbalt/kvt/stream_samples.hpp"

struct okb_bridge;

namespace orbalt::kvt_bridge {

/// Where and how the samples are written: the MCAP file(s) and the live server.
struct SinkOptions {
  std::optional<std::string> mcap_path;
  std::int64_t chunk_duration_ns = 1'000'000'000;
  std::uint64_t chunk_size = 1 << 20;                          ///< uncompressed bytes
  std::uint64_t split_size = 0;                                ///< bytes; 0: one file
  std::int64_t split_duration_ns = 0;                          ///< log time; 0: one file
  std::optional<std::pair<std::string, std::uint16_t>> serve;  ///< host, port (0: picked)
  std::string server_name = "orbaltkvt";
  std::uint64_t viewer_backlog = 1024;  ///< messages queued per viewer
};

struct SinkStats {
  std::uint64_t messages_written = 0;
  std::uint64_t bytes_written = 0;
  std::uint64_t files_written = 0;
  std::uint64_t messages_served = 0;
  std::uint16_t port = 0;
  struct Viewer {
    std::uint32_t id = 0;
    std::uint32_t subscriptions = 0;
    std::uint64_t queued = 0;   ///< channel messages put into its queue
    std::uint64_t sent = 0;     ///< written to its connection
    std::uint64_t dropped = 0;  ///< dropped from its queue, oldest first
  };
  std::vector<Viewer> viewers;
};

using KeyValues = std::vector<std::pair<std::string, std::string>>;

/// The Rust half (MCAP file, WebSocket server) for one set of joint groups: hands it rows of
/// a `ColumnBatch` as views into the columns and turns its result codes into exceptions.
///
/// Writing is for one thread at a time; `stats` may be called from any thread.
class RustSinks {
 public:
  /// @throw std::invalid_argument for no or too many groups (the Rust side says how many)
  /// @throw std::runtime_error when the file cannot be created or the server cannot start
  RustSinks(const SinkOptions& options, std::vector<kvt::JointGroup> groups,
            const KeyValues& metadata);
  ~RustSinks();
  RustSinks(const RustSinks&) = delete;
  RustSinks& operator=(const RustSinks&) = delete;

  /// Takes the batch whose rows the next writes name; it must outlive them.
  void bind(const kvt::ColumnBatch& batch);
  /// Writes basic row `row` of the bound batch.
  /// @return true when the file is due to be split before the next sample
  /// @throw std::runtime_error when the file cannot be written
  bool write_basic(std::size_t row);
  /// Writes extra row `row` of the bound batch, stamped with its own robot timestamp (a row
  /// that did not fit the layout has none: it gets that of the last basic row written).
  bool write_extra(std::size_t row);
  /// Ends a chunk that has been open for the chunk duration. @param now_ns host time
  void tick(std::int64_t now_ns);
  void next_file(const KeyValues& counters);
  /// A /kvt/counters message at host time `now_ns`: the streams' counters, the samples
  /// written and what each viewer was sent and dropped.
  void write_counters(std::int64_t now_ns, const kvt::StreamCounters& basic,
                      const kvt::StreamCounters& extra, std::uint64_t samples_written);
  /// A metadata record into the current file.
  void write_metadata(const std::string& name, const KeyValues& items);
  /// Finishes the file with the counters and stops the server. Idempotent.
  void close(const KeyValues& counters);

  SinkStats stats() const;

 private:
  /// A status code whose name goes with each sample, and the names seen so far.
  struct NamedCode {
    std::size_t field = 0;  // index into kStatusFields
    std::string (*name_of)(std::int32_t) = nullptr;
    std::map<std::int32_t, std::string> names;
  };
  const char* NameOf(NamedCode& code, std::int32_t value);

  okb_bridge* bridge_ = nullptr;
  std::vector<kvt::JointGroup> groups_;
  const kvt::ColumnBatch* batch_ = nullptr;
  // Per group of groups_, its columns in the bound batch (null: the batch has none).
  std::vector<const kvt::GroupColumns*> basic_groups_;
  std::vector<const kvt::GroupColumns*> extra_groups_;
  std::vector<NamedCode> named_;
  std::pair<std::int32_t, std::int32_t> basic_stamp_{};
};

}  // namespace orbalt::kvt_bridge
