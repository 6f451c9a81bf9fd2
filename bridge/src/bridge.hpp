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

#include "clock_estimator.hpp"
#include "orbalt/kvt/client.hpp"
#include "orbalt/kvt/sample_stream.hpp"
#include "recording_metadata.hpp"
#include "rust_sinks.hpp"

namespace orbalt::kvt_bridge {

struct BridgeOptions {
  /// The joint groups written: 1 to OKB_MAX_GROUPS (8), or the constructor throws
  /// std::invalid_argument.
  std::vector<kvt::JointGroup> groups;
  SinkOptions sinks;
  std::size_t capacity = 10000;  ///< samples queued per stream before the oldest are dropped
};

struct BridgeStats {
  kvt::StreamCounters basic;
  kvt::StreamCounters extra;
  std::uint64_t samples_written = 0;  ///< basic and extra samples handed to the sinks
  SinkStats sinks;
  bool running = false;
  std::optional<std::string> error;  ///< why the bridge stopped early
};

/// Records a robot's samples into MCAP and serves them live, losslessly as far as its queues
/// reach.
///
/// Owns a `SampleStream` (payloads kept) and a thread of its own that drains it in column
/// batches, visits basic and extra rows by receive time and writes every row to each sink. The
/// transport's threads only queue samples; nothing here runs on them.
///
/// @note `wait`, `stats` and `close` may be called from any thread.
class Bridge {
 public:
  /// Opens the file (with its metadata) and starts the server, then the thread.
  /// @throw std::runtime_error when the stream, the file or the server cannot be opened
  Bridge(const kvt::Client& client, BridgeOptions options);
  /// Closes; never throws.
  ~Bridge();
  Bridge(const Bridge&) = delete;
  Bridge& operator=(const Bridge&) = delete;

  /// Waits up to `timeout` while the bridge runs. @return false once it has failed or stopped
  bool wait(std::chrono::milliseconds timeout);
  BridgeStats stats() const;
  /// Writes what is queued, the counters, finishes the file(s) and stops the server; the
  /// stats at that point. Idempotent.
  BridgeStats close();

 private:
  void Run();
  void Write(const kvt::ColumnBatch& batch);
  // The thread's counts now.
  FileCounts Now() const;
  // The counters record of the current file: running totals and what the file holds.
  KeyValues Counters() const;
  // Finishes the current file with its counters; the next one, or none.
  void EndFile(bool split);
  void WriteCounters(std::int64_t now_ns);
  void Stop(std::optional<std::string> error);
  // The robot clock's estimate so far, as a metadata record of the current file.
  void WriteClock();
  ClockEstimator clock_;  // the thread's

  std::vector<kvt::JointGroup> groups_;
  std::unique_ptr<kvt::SampleStream> stream_;
  std::unique_ptr<RustSinks> sinks_;
  kvt::ColumnBatch batch_;             // the thread's, reused so its buffers keep their capacity
  std::uint64_t samples_written_ = 0;  // their sum, for other threads: read under mutex_
  std::uint64_t basic_written_ = 0;    // the thread's, as the three below
  std::uint64_t extra_written_ = 0;
  FileCounts file_start_;            // when the current file started
  std::int64_t counters_at_ns_ = 0;  // the last /kvt/counters message

  mutable std::mutex mutex_;
  std::condition_variable stopped_cv_;
  bool stop_requested_ = false;
  bool running_ = true;
  std::optional<std::string> error_;
  std::mutex close_mutex_;  // one closer joins the thread
  std::thread thread_;
};

}  // namespace orbalt::kvt_bridge
