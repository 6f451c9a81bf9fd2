#include "stream/sample_intake.hpp"

#include <spdlog/spdlog.h>

#include <algorithm>
#include <ctime>

#include "messages/kvt_constants.hpp"
#include "middleware/tsan_annotations.hpp"
#include "stream/record_fields.hpp"

namespace orbalt::kvt_impl {

namespace {

std::int64_t RealtimeNs() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

// Decodes a whole payload into `message`, reusing its memory.
template <class Message>
bool Decode(const zenoh::Bytes& payload, Message& message) {
  zenoh::ext::Deserializer d(payload);
  zenoh::ZResult result = zenoh::Z_OK;
  return zenoh_msgs::kvt_msg::__zenoh_deserialize_with_deserializer(d, message, &result) &&
         d.is_done();
}

std::int64_t TimestampNs(const std::pair<std::int32_t, std::uint32_t>& timestamp) {
  return static_cast<std::int64_t>(timestamp.first) * 1'000'000'000 + timestamp.second;
}

}  // namespace

struct SampleIntake::Queues {
  Queues(std::size_t capacity, std::chrono::microseconds latency)
      : max_latency(latency),
        wake_size(std::max<std::size_t>(1, capacity / 2)),
        basic(capacity),
        extra(capacity) {}

  const std::chrono::microseconds max_latency;
  // A batch this large wakes the reader whatever the latency, long before the queue is full.
  const std::size_t wake_size;
  std::chrono::steady_clock::time_point first_queued{};
  std::mutex mutex;
  std::condition_variable ready;
  bool interrupted = false;
  BoundedQueue<BasicArrival> basic;
  BoundedQueue<ExtraArrival> extra;
  kvt::StreamCounters basic_counters;
  kvt::StreamCounters extra_counters;
  GapCounter basic_gaps;
  std::pair<std::int32_t, std::int32_t> newest_timestamp{};

  // Called under the mutex after a push. Without a latency every sample wakes the reader;
  // with one, only the first of a batch (the reader then waits out the latency by itself)
  // and a batch that has grown to half a queue.
  bool WakesReader(std::size_t queued) {
    if (max_latency.count() == 0) return true;
    if (basic.size() + extra.size() == 1) {
      first_queued = std::chrono::steady_clock::now();
      return true;
    }
    return queued == wake_size;
  }

  void OnBasic(const zenoh::Sample& sample) noexcept {
    try {
      BasicArrival arrival;
      arrival.receive_time_ns = RealtimeNs();
      // Reused by the thread from sample to sample: decoding allocates nothing once grown.
      thread_local zenoh_msgs::kvt_msg::AllBasicStreamData message;
      bool decoded = false;
      {
        // The payload is lent by the transport's own, uninstrumented threads.
        const zenoh_mdw::TsanIgnoreAccesses lent_payload;
        decoded = Decode(sample.get_payload(), message);
        if (decoded) arrival.payload = sample.get_payload().as_vector();
      }
      {
        std::lock_guard<std::mutex> lock(mutex);
        ++basic_counters.received;
        if (!decoded) {
          ++basic_counters.malformed;
          return;
        }
        basic_gaps.Add(TimestampNs(message.timestamp), arrival.receive_time_ns);
        newest_timestamp = RecordTimestamp(message.timestamp);
        basic.Push(std::move(arrival));
        if (!WakesReader(basic.size())) return;
      }
      ready.notify_one();
    } catch (...) {
      // Out of memory at worst; the sample is lost, the subscription stays.
    }
  }

  void OnExtra(const zenoh::Sample& sample) noexcept {
    try {
      ExtraArrival arrival;
      arrival.receive_time_ns = RealtimeNs();
      thread_local zenoh_msgs::kvt_msg::AllExtraStreamData message;
      bool decoded = false;
      {
        const zenoh_mdw::TsanIgnoreAccesses lent_payload;
        decoded = Decode(sample.get_payload(), message);
        if (decoded) arrival.payload = sample.get_payload().as_vector();
      }
      {
        std::lock_guard<std::mutex> lock(mutex);
        ++extra_counters.received;
        if (!decoded) {
          ++extra_counters.malformed;
          return;
        }
        arrival.timestamp = newest_timestamp;
        extra.Push(std::move(arrival));
        if (!WakesReader(extra.size())) return;
      }
      ready.notify_one();
    } catch (...) {
    }
  }
};

SampleIntake::SampleIntake(std::size_t capacity, std::chrono::microseconds max_latency)
    : queues_(std::make_shared<Queues>(capacity, max_latency)) {}

SampleIntake::~SampleIntake() {
  basic_sub_.reset();
  extra_sub_.reset();
}

void SampleIntake::Start(const zenoh_mdw::RealtimeNode& node, const std::string& serial_number) {
  const auto subscribe = [&](const std::string& suffix, auto handler) {
    const zenoh::KeyExpr key_expr(kTopicPrefix + serial_number + suffix, true);
    return node.session_->declare_subscriber(
        key_expr, std::move(handler), [] {}, zenoh::SubscriberOptions{zenoh::Locality::ANY});
  };
  basic_sub_.emplace(subscribe("/basic_stream_data",
                               [queues = queues_](const zenoh::Sample& s) { queues->OnBasic(s); }));
  extra_sub_.emplace(subscribe("/extra_stream_data",
                               [queues = queues_](const zenoh::Sample& s) { queues->OnExtra(s); }));
}

void SampleIntake::Take(std::deque<BasicArrival>& basic, std::deque<ExtraArrival>& extra,
                        std::size_t max, std::chrono::steady_clock::time_point until) {
  Queues& q = *queues_;
  std::unique_lock<std::mutex> lock(q.mutex);
  q.ready.wait_until(lock, until,
                     [&] { return q.interrupted || !q.basic.empty() || !q.extra.empty(); });
  if (q.max_latency.count() != 0 && (!q.basic.empty() || !q.extra.empty())) {
    const auto enough = [&] {
      const std::size_t most = std::max(q.basic.size(), q.extra.size());
      return q.interrupted || most >= q.wake_size || (max != 0 && most >= max);
    };
    q.ready.wait_until(lock, std::min(until, q.first_queued + q.max_latency), enough);
  }
  const std::size_t basic_before = basic.size();
  const std::size_t extra_before = extra.size();
  q.basic.Take(basic, max);
  q.extra.Take(extra, max);
  q.basic_counters.delivered += basic.size() - basic_before;
  q.extra_counters.delivered += extra.size() - extra_before;
}

void SampleIntake::Interrupt() {
  {
    std::lock_guard<std::mutex> lock(queues_->mutex);
    queues_->interrupted = true;
  }
  queues_->ready.notify_all();
}

kvt::StreamCounters SampleIntake::BasicCounters() const {
  std::lock_guard<std::mutex> lock(queues_->mutex);
  kvt::StreamCounters counters = queues_->basic_counters;
  counters.dropped = queues_->basic.dropped();
  counters.gaps = queues_->basic_gaps.gaps();
  return counters;
}

kvt::StreamCounters SampleIntake::ExtraCounters() const {
  std::lock_guard<std::mutex> lock(queues_->mutex);
  kvt::StreamCounters counters = queues_->extra_counters;
  counters.dropped = queues_->extra.dropped();
  return counters;
}

}  // namespace orbalt::kvt_impl
