// Every sample of a robot's two streams, queued for one reader.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "messages/stream_messages.hpp"
#include "middleware/nodes.hpp"
#include "orbalt/kvt/stream_samples.hpp"
#include "stream/bounded_queue.hpp"
#include "stream/gap_counter.hpp"
#include "zenoh.hxx"

namespace orbalt::kvt_impl {

/// A basic sample that decoded, as it arrived: its wire bytes, which the reader decodes again.
/// Queuing the bytes rather than the decoded message costs the reader a decode (into a message
/// it reuses) but spares a dozen allocations a sample on the transport's thread and as many
/// frees, across threads, on the reader's.
struct BasicArrival {
  std::int64_t receive_time_ns = 0;
  std::vector<std::uint8_t> payload;
};

/// An extra sample that decoded, as it arrived, with the newest basic timestamp at that moment.
struct ExtraArrival {
  std::int64_t receive_time_ns = 0;
  std::pair<std::int32_t, std::int32_t> timestamp{};
  std::vector<std::uint8_t> payload;
};

/// Subscribes to a robot's basic and extra topics and queues every sample that decodes.
///
/// On the transport's threads a sample is stamped with the host's receive time, decoded (into
/// a message of the thread's own, to count what is malformed and read the timestamp) and its
/// bytes copied outside any lock, then appended to its stream's bounded queue under a lock held
/// only for the append; a full queue drops its oldest entry. The transport never waits for the
/// reader.
///
/// The reader takes samples with `Take`; `Counters` may be read from any thread.
class SampleIntake {
 public:
  /// `max_latency`: how long a queued sample may wait before a waiting `Take` is woken; zero
  /// wakes it for every sample.
  explicit SampleIntake(std::size_t capacity,
                        std::chrono::microseconds max_latency = std::chrono::microseconds{0});
  /// Ends both subscriptions; a handler still running finishes without touching the queues'
  /// owner, which may then go.
  ~SampleIntake();
  SampleIntake(const SampleIntake&) = delete;
  SampleIntake& operator=(const SampleIntake&) = delete;

  /// Subscribes to "orbalt/robot/" + `serial_number` + "/basic_stream_data" and
  /// "/extra_stream_data" on the node's session.
  /// @throw zenoh::ZException when a subscription cannot be declared
  void Start(const zenoh_mdw::RealtimeNode& node, const std::string& serial_number);

  /// Moves up to `max` queued samples of each stream (0: all) into `basic` and `extra`,
  /// waiting until `until` when both queues are empty (and `Interrupt` was not called). With a
  /// maximum latency, it then lets the batch grow until the first queued sample has waited
  /// that long (or `until`, or half a queue, or `max` samples).
  void Take(std::deque<BasicArrival>& basic, std::deque<ExtraArrival>& extra, std::size_t max,
            std::chrono::steady_clock::time_point until);

  /// Ends a waiting `Take`, and every later wait.
  void Interrupt();

  /// Counters of both streams; `delivered` counts what `Take` handed out.
  kvt::StreamCounters BasicCounters() const;
  kvt::StreamCounters ExtraCounters() const;

 private:
  // Shared with the sample handlers, which the transport may still hold after undeclaring.
  struct Queues;

  std::shared_ptr<Queues> queues_;
  std::optional<zenoh::Subscriber<void>> basic_sub_;
  std::optional<zenoh::Subscriber<void>> extra_sub_;
};

}  // namespace orbalt::kvt_impl
