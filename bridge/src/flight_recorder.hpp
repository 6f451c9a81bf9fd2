#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "orbalt/kvt/client.hpp"
#include "orbalt/kvt/sample_stream.hpp"
#include "rust_sinks.hpp"
#include "sample_ring.hpp"

namespace orbalt::kvt_bridge {

/// What makes the flight recorder write a file.
struct Trigger {
  enum class Kind {
    kEstop,   ///< estop_released goes from true to false
    kFault,   ///< system_state enters FAULT_MANUAL, FAULT_AUTO or FAULT_EXTERNAL_AUTO
    kSafety,  ///< safety_board_state leaves NORMAL (12)
    kInput,   ///< digital input `input` changes, either way
  };
  Kind kind = Kind::kEstop;
  std::size_t input = 0;  ///< 0 to 19, for kInput
};

struct FlightOptions {
  /// The joint groups written: 1 to OKB_MAX_GROUPS (8).
  std::vector<kvt::JointGroup> groups;
  /// FILE.mcap: each file is FILE_<seconds>.<nanoseconds>.mcap, the trigger sample's robot time.
  std::string path;
  std::int64_t before_ns = 10'000'000'000;  ///< robot time kept before a trigger
  std::int64_t after_ns = 2'000'000'000;    ///< robot time written after it
  std::vector<Trigger> triggers;
  std::int64_t chunk_duration_ns = 1'000'000'000;
  std::uint64_t chunk_size = 1 << 20;
  std::size_t capacity = 10000;  ///< samples queued per stream while a file is written
  /// The ring's bound; 0: room for twice the before and after windows at 1 kHz.
  std::size_t max_bytes = 0;
};

struct FlightFile {
  std::string path;
  std::string trigger;  ///< the triggers it holds, "+"-joined ("estop", "input:3", "manual")
  std::int64_t trigger_ns = 0;  ///< robot time of the (first) trigger sample
  std::int64_t first_ns = 0;    ///< robot time of its first and last basic sample
  std::int64_t last_ns = 0;
  std::uint64_t samples = 0;  ///< basic and extra samples written
};

struct FlightStats {
  kvt::StreamCounters basic;
  kvt::StreamCounters extra;
  std::size_t ring_bytes = 0;
  std::size_t max_bytes = 0;
  std::uint64_t evicted = 0;  ///< samples the bound pushed out of the ring before their time
  std::size_t pending = 0;    ///< files waiting for their after-window
  std::vector<FlightFile> files;
  bool running = false;
  std::optional<std::string> error;
};

/// Keeps the last stretch of a robot's samples in memory and, on each trigger, writes the
/// samples before and after it to a recording of its own (the same channels and metadata as a
/// `Bridge` file).
///
/// A stream of its own (payloads kept) is drained by a thread of its own into a `SampleRing` of
/// wire bytes; triggers are read from the basic rows there, never on the transport's threads.
/// A trigger within a pending file's after-window extends that window (up to twice the file's
/// usual span, after which the next file starts); files overlap rather than lose a sample. A
/// file is decoded again from the ring and written on the same thread, the stream's queues
/// holding what arrives meanwhile.
///
/// @note `trigger`, `wait`, `stats` and `close` may be called from any thread.
class FlightRecorder {
 public:
  /// @throw std::invalid_argument for a bad window, input channel or group count
  /// @throw std::runtime_error when the stream cannot be opened
  FlightRecorder(const kvt::Client& client, FlightOptions options);
  ~FlightRecorder();
  FlightRecorder(const FlightRecorder&) = delete;
  FlightRecorder& operator=(const FlightRecorder&) = delete;

  /// A trigger by hand, at the robot time of the newest sample taken. Not for signal handlers.
  void trigger();
  /// Waits up to `timeout` while it runs. @return false once it has failed or stopped
  bool wait(std::chrono::milliseconds timeout);
  FlightStats stats() const;
  /// Takes what is queued, writes the pending files with what they have and stops. Idempotent.
  FlightStats close();

 private:
  struct Pending {
    std::string trigger;
    std::int64_t trigger_ns = 0;
    std::int64_t from_ns = 0;
    std::int64_t to_ns = 0;
    std::int64_t limit_ns = 0;  // how far triggers may extend to_ns
  };

  void Run();
  void Scan(const kvt::BasicColumns& basic);
  void Fire(const std::string& name, std::int64_t robot_ns);
  void WriteDue(bool all);
  void Write(const Pending& p);
  void Stop(std::optional<std::string> error);

  FlightOptions options_;
  std::unique_ptr<kvt::SampleStream> stream_;
  KeyValues metadata_;
  kvt::ColumnBatch batch_;  // the thread's, reused
  SampleRing ring_;
  std::vector<Pending> pending_;  // the thread's, in trigger order
  std::int64_t newest_ns_ = 0;
  bool have_newest_ = false;

  // The previous basic row's trigger inputs; unset before the first row.
  bool primed_ = false;
  bool estop_released_ = false;
  std::int32_t system_state_ = 0;
  bool fault_ = false;
  std::int32_t safety_board_state_ = 0;
  std::vector<std::uint8_t> inputs_;

  mutable std::mutex mutex_;
  std::condition_variable stopped_cv_;
  bool stop_requested_ = false;
  bool manual_ = false;
  bool running_ = true;
  std::optional<std::string> error_;
  std::vector<FlightFile> files_;
  std::size_t ring_bytes_ = 0;  // copies of the thread's ring figures, for stats
  std::uint64_t evicted_ = 0;
  std::size_t pending_count_ = 0;
  std::mutex close_mutex_;
  std::thread thread_;
};

/// The ring bound `FlightOptions::max_bytes = 0` stands for: the wire bytes of a basic and an
/// extra sample of a robot with `layout` (with a quarter to spare), times 1000 samples a second
/// over twice the before and after windows (the longest a file grows to).
std::size_t DefaultRingBytes(const kvt::JointLayout& layout, std::int64_t before_ns,
                             std::int64_t after_ns);

}  // namespace orbalt::kvt_bridge
