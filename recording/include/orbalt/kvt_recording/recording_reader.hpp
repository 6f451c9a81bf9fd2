/// @file
/// Reading a recording (`kvt record`) back as the samples the robot sent: the raw channels'
/// wire payloads, read chunk by chunk through the file's summary and decoded by the library's
/// own `SampleDecoder` into column batches.
#pragma once

#include <cstdint>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "orbalt/kvt/sample_columns.hpp"
#include "orbalt/kvt/sample_decoder.hpp"
#include "orbalt/kvt/stream_samples.hpp"

namespace orbalt::kvt_recording {

/// The two streams a recording holds, each on its raw channel.
enum class Stream : int {
  kBasic = 0,  ///< `/raw/basic_stream_data`
  kExtra = 1,  ///< `/raw/extra_stream_data`
};

/// Topic of a stream's raw channel.
const char* RawTopic(Stream stream);

/// The file could not be opened or read; what() is the operating system's text.
class OpenError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// The file is not a complete MCAP file (cut short, damaged or something else altogether);
/// what() says what is wrong.
class FormatError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// The rows of a batch whose receive time lies in the window read: [begin, end) per stream.
struct WindowRows {
  std::size_t basic_begin = 0, basic_end = 0;
  std::size_t extra_begin = 0, extra_end = 0;
};

/// One recording file, opened through its summary (the metadata records, the channels, the
/// chunk indexes); samples are read chunk by chunk, only the chunks that overlap the window
/// asked for. Not thread safe; one reader per thread.
class RecordingReader {
 public:
  /// A batch of decoded rows and which of them lie in the window. The batch is only valid
  /// during the call.
  using OnBatch = std::function<void(const kvt::ColumnBatch& batch, const WindowRows& rows)>;

  /// Opens `path` and reads its summary and metadata.
  /// @throw OpenError if the file cannot be opened or read
  /// @throw FormatError if it is not a complete MCAP file
  explicit RecordingReader(const std::string& path);
  ~RecordingReader();
  RecordingReader(RecordingReader&&) noexcept;
  RecordingReader& operator=(RecordingReader&&) noexcept;

  const std::string& path() const { return path_; }
  /// The file's metadata records by name, each {key: value} (e.g. `orbaltkvt`: serial_number,
  /// layout (JSON), groups, versions; `orbaltkvt.counters`).
  const std::map<std::string, std::map<std::string, std::string>>& metadata() const {
    return metadata_;
  }
  /// The joint layout the recorder read the robot with (the `orbaltkvt` record's `layout`),
  /// which the samples are decoded with; none if the file lacks it or it does not read.
  std::optional<kvt::JointLayout> layout() const;
  /// Whether the file has the stream's raw channel.
  bool has_stream(Stream stream) const;
  /// The stream's message count from the file's statistics; none without them.
  std::optional<std::uint64_t> message_count(Stream stream) const;
  /// Earliest receive time (log time) of any message, ns since the Unix epoch; 0 for no chunk.
  std::int64_t start_time_ns() const;
  /// Latest receive time of any message (inclusive); 0 for no chunk.
  std::int64_t end_time_ns() const;

  /// Samples of `stream` received in [start_ns, end_ns), counted from the chunks' message
  /// indexes without inflating them.
  /// @throw FormatError, OpenError as the constructor
  std::uint64_t count(Stream stream, std::int64_t start_ns, std::int64_t end_ns);

  /// Decodes the samples received in [start_ns, end_ns) with `decoder`, one batch per chunk in
  /// receive-time order, and hands each to `on_batch`. Only chunks that overlap the window are
  /// read (and, for extra samples, the one before, whose last basic sample stamps them). The
  /// decoder keeps its state across calls, so files of one recording are read in order with
  /// the same decoder. `extra` false skips the extra payloads; basic ones are always decoded.
  /// The chunks are read and decoded on a worker thread of the call's own while `on_batch`
  /// runs on the calling thread with the batch before; neither is shared with anything else.
  /// @throw FormatError, OpenError as the constructor; whatever `on_batch` throws
  void read(kvt::SampleDecoder& decoder, std::int64_t start_ns, std::int64_t end_ns, bool extra,
            bool every_joint, const OnBatch& on_batch);

  static constexpr std::int64_t kBeginning = std::numeric_limits<std::int64_t>::min();
  static constexpr std::int64_t kEnd = std::numeric_limits<std::int64_t>::max();

  class Impl;

 private:
  std::string path_;
  std::map<std::string, std::map<std::string, std::string>> metadata_;
  std::unique_ptr<Impl> impl_;
};

}  // namespace orbalt::kvt_recording
