/// @file
/// Every sample of a robot's two data streams, in arrival order, without polling.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "orbalt/kvt/client.hpp"
#include "orbalt/kvt/export.hpp"
#include "orbalt/kvt/sample_columns.hpp"
#include "orbalt/kvt/stream_samples.hpp"

namespace orbalt::kvt {

/// Options of a `SampleStream`.
struct SampleStreamOptions {
  /// Samples each stream's queue holds; when a stream's queue is full its oldest sample is
  /// dropped (and counted) to make room. 10000 is 10 s at 1 kHz.
  std::size_t capacity = 10000;
  /// Keep each sample's wire bytes in `BasicSample::payload` / `ExtraSample::payload` (and
  /// the payload columns of `next_columns`).
  bool keep_payloads = false;
  /// How long a queued sample may wait before a waiting reader is woken. Zero wakes the reader
  /// for every sample (the lowest latency, one wake-up a sample); a few milliseconds wake it
  /// once a batch, which costs a busy reader far less CPU and delays each sample by up to
  /// this much. A full queue, `interrupt` and the end of `next`'s timeout wake it at once.
  std::chrono::microseconds max_latency{0};
};

/// Hands over every sample of the robot's basic and extra streams, in arrival order.
///
/// Made from a running `Client`: the stream subscribes to the same robot's two topics on the
/// process-wide session, beside the client's own intake, and converts samples with the joint
/// layout the client fetched. The `Client` keeps working exactly as before and may be destroyed
/// first; the stream then keeps receiving until it is destroyed itself.
///
/// The transport's threads only decode a sample and put it into a bounded queue per stream;
/// they never wait for the reader. A full queue drops its oldest sample and counts it, so a
/// reader that falls behind loses the oldest samples, never the newest. Conversion into records
/// happens in `next`, on the reader's thread.
///
/// @note One reader: `next` is meant for a single thread at a time (calls from several threads
///       are serialised). `counters`, `layout` and `serial_number` may be called from any thread.
class ORBALTKVT_API SampleStream {
 public:
  /// Subscribes to the client's robot. Samples that arrived before construction are not seen.
  /// @throw std::runtime_error (zenoh::ZException) when the subscriptions cannot be declared.
  explicit SampleStream(const Client& client, SampleStreamOptions options = {});
  /// Ends both subscriptions; samples still queued are discarded.
  ~SampleStream();

  SampleStream(const SampleStream&) = delete;
  SampleStream& operator=(const SampleStream&) = delete;

  /// Takes the queued samples of both streams, waiting up to `timeout` for the first one.
  ///
  /// @param timeout how long to wait when both queues are empty; zero only looks
  /// @param max_samples take at most this many samples of each stream (0: all queued)
  /// @return the samples taken; empty when none arrived within `timeout`
  SampleBatch next(std::chrono::milliseconds timeout, std::size_t max_samples = 0);

  /// As `next`, into columns: `out` is cleared (its buffers keep their capacity) and filled
  /// with the samples taken, without a record per sample.
  /// @return whether any sample was taken
  bool next_columns(std::chrono::milliseconds timeout, ColumnBatch& out,
                    std::size_t max_samples = 0);

  /// Ends a `next` that is waiting, now and in the future: it returns what is queued (possibly
  /// nothing) without waiting. Safe to call from any thread, a signal handler excepted.
  void interrupt();

  /// The basic stream's counters.
  StreamCounters basic_counters() const;
  /// The extra stream's counters.
  StreamCounters extra_counters() const;

  /// The joint layout the samples are converted with (the client's).
  const JointLayout& layout() const;
  /// The robot's normalized serial number.
  const std::string& serial_number() const;

  class Impl;

 private:
  std::unique_ptr<Impl> pimpl_;
};

}  // namespace orbalt::kvt
