#include "bridge.hpp"

#include <cstdio>
#include <exception>
#include <stdexcept>
#include <utility>

#include "recording_metadata.hpp"

namespace orbalt::kvt_bridge {

namespace {

// How long the thread waits for samples before it looks at the open chunk and the stop flag.
constexpr std::chrono::milliseconds kPoll{100};
// Samples of each stream taken at once: bounds the memory a batch holds.
constexpr std::size_t kBatch = 2000;
// Passes over the queues when closing; samples keep arriving meanwhile.
constexpr int kDrainPasses = 8;
// The thread is woken once a batch rather than once a sample; a few milliseconds are nothing
// to a chunk of a second or to a viewer.
constexpr std::chrono::microseconds kMaxLatency{5000};
// The metadata record of the clock estimate, written before each file's counters.
constexpr const char* kClockRecord = "orbaltkvt.clock";
// How often the counters go to the /kvt/counters channel.
constexpr std::int64_t kCountersPeriodNs = 1'000'000'000;

std::int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace

Bridge::Bridge(const kvt::Client& client, BridgeOptions options)
    : groups_(std::move(options.groups)) {
  kvt::SampleStreamOptions stream_options;
  stream_options.capacity = options.capacity;
  stream_options.keep_payloads = true;
  stream_options.max_latency = kMaxLatency;
  stream_ = std::make_unique<kvt::SampleStream>(client, stream_options);
  sinks_ =
      std::make_unique<RustSinks>(options.sinks, groups_, RecordingMetadata(*stream_, groups_));
  thread_ = std::thread([this] { Run(); });
}

Bridge::~Bridge() {
  try {
    close();
  } catch (...) {  // close reports through stats; nothing may leave a destructor
  }
}

FileCounts Bridge::Now() const {
  return {stream_->basic_counters(), stream_->extra_counters(), basic_written_, extra_written_};
}

KeyValues Bridge::Counters() const {
  const FileCounts now = Now();
  KeyValues out = CounterMetadata(now.basic, now.extra, now.basic_written + now.extra_written);
  const KeyValues file = FileCounterMetadata(file_start_, now);
  out.insert(out.end(), file.begin(), file.end());
  return out;
}

void Bridge::EndFile(bool split) {
  WriteClock();
  const KeyValues counters = Counters();
  if (split) {
    sinks_->next_file(counters);
  } else {
    sinks_->close(counters);
  }
  file_start_ = Now();
}

void Bridge::WriteCounters(std::int64_t now_ns) {
  const FileCounts now = Now();
  sinks_->write_counters(now_ns, now.basic, now.extra, now.basic_written + now.extra_written);
  counters_at_ns_ = now_ns;
}

void Bridge::Write(const kvt::ColumnBatch& batch) {
  // Counted per sample so that the counters written at a split are exact.
  auto written = [this](bool split) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ++samples_written_;
    }
    if (split) EndFile(true);
  };
  sinks_->bind(batch);
  kvt::ForEachByReceiveTime(
      batch,
      [&](std::size_t row) {
        if (batch.basic.valid[row]) {
          clock_.Add(batch.basic.robot_time_ns[row], batch.basic.receive_time_ns[row]);
        }
        const bool split = sinks_->write_basic(row);
        ++basic_written_;
        written(split);
      },
      [&](std::size_t row) {
        const bool split = sinks_->write_extra(row);
        ++extra_written_;
        written(split);
      });
}

void Bridge::WriteClock() {
  const ClockEstimate c = clock_.Estimate();
  if (c.samples == 0) return;
  char drift[32];
  std::snprintf(drift, sizeof drift, "%.17g", c.drift);
  sinks_->write_metadata(kClockRecord, {{"offset_ns", std::to_string(c.offset_ns)},
                                        {"drift", drift},
                                        {"t0_robot_ns", std::to_string(c.t0_robot_ns)},
                                        {"samples", std::to_string(c.samples)}});
}

void Bridge::Run() {
  std::optional<std::string> error;
  try {
    for (;;) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stop_requested_) break;
      }
      stream_->next_columns(kPoll, batch_, kBatch);
      Write(batch_);
      const std::int64_t now = NowNs();
      sinks_->tick(now);
      if (now - counters_at_ns_ >= kCountersPeriodNs) WriteCounters(now);
    }
    for (int pass = 0; pass < kDrainPasses; ++pass) {
      if (!stream_->next_columns(std::chrono::milliseconds(0), batch_, 0)) break;
      Write(batch_);
    }
    WriteCounters(NowNs());
    EndFile(false);
  } catch (const std::exception& e) {
    error = e.what();
  } catch (...) {
    error = "unknown error";
  }
  if (error) {
    try {
      sinks_->close(Counters());  // stops the server; a failed file is left as it is
    } catch (...) {
    }
  }
  Stop(std::move(error));
}

void Bridge::Stop(std::optional<std::string> error) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    running_ = false;
    error_ = std::move(error);
  }
  stopped_cv_.notify_all();
}

bool Bridge::wait(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  stopped_cv_.wait_for(lock, timeout, [this] { return !running_; });
  return running_ && !stop_requested_;
}

BridgeStats Bridge::stats() const {
  BridgeStats s;
  s.basic = stream_->basic_counters();
  s.extra = stream_->extra_counters();
  s.sinks = sinks_->stats();
  std::lock_guard<std::mutex> lock(mutex_);
  s.samples_written = samples_written_;
  s.running = running_ && !stop_requested_;
  s.error = error_;
  return s;
}

BridgeStats Bridge::close() {
  std::lock_guard<std::mutex> closing(close_mutex_);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_requested_ = true;
  }
  stream_->interrupt();
  if (thread_.joinable()) thread_.join();
  return stats();
}

}  // namespace orbalt::kvt_bridge
