#include "flight_recorder.hpp"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <iterator>
#include <stdexcept>
#include <string_view>
#include <utility>

#include "orbalt/kvt/record_fields.hpp"
#include "orbalt/kvt/sample_columns.hpp"
#include "orbalt/kvt/sample_decoder.hpp"
#include "orbalt/kvt/stream_samples.hpp"
#include "recording_metadata.hpp"

namespace orbalt::kvt_bridge {

namespace {

// Batches wait this long for samples: triggers need no lower latency, and fewer, larger
// batches cost the ring less per sample.
constexpr std::chrono::microseconds kMaxLatency{50'000};
constexpr std::chrono::milliseconds kPoll{100};
constexpr std::size_t kBatch = 2000;
constexpr int kDrainPasses = 8;
constexpr std::int32_t kSafetyNormal = 12;
constexpr std::size_t kInputs = 20;
// What the default bound assumes of the robot: samples per second and stream.
constexpr std::int64_t kAssumedRate = 1000;

constexpr std::size_t StatusIndex(const char* name) {
  for (std::size_t i = 0; i < std::size(kvt::kStatusFields); ++i) {
    if (std::string_view(kvt::kStatusFields[i].name) == name) return i;
  }
  throw std::logic_error("a status field the flight recorder reads is missing from its table");
}
constexpr std::size_t kEstop = StatusIndex("estop_released");
constexpr std::size_t kSystemState = StatusIndex("system_state");
constexpr std::size_t kSafetyBoard = StatusIndex("safety_board_state");
constexpr std::size_t kDigitalInputs = StatusIndex("digital_inputs");

bool IsFault(std::int32_t system_state) {
  const std::string name = kvt::system_state_name(system_state);
  return name == "FAULT_MANUAL" || name == "FAULT_AUTO" || name == "FAULT_EXTERNAL_AUTO";
}

// FILE.mcap -> FILE_<seconds>.<nanoseconds>.mcap: sortable while the seconds keep their width.
std::string FileFor(const std::string& path, std::int64_t robot_ns) {
  const std::filesystem::path p(path);
  char stamp[48];
  std::snprintf(stamp, sizeof stamp, "_%lld.%09lld",
                static_cast<long long>(robot_ns / 1'000'000'000),
                static_cast<long long>(robot_ns % 1'000'000'000));
  return (p.parent_path() / (p.stem().string() + stamp + p.extension().string())).string();
}

void RawColumns(const std::vector<kvt::SampleDecoder::Payload>& rows, kvt::StreamColumns& out) {
  out.payload_bytes.clear();
  out.payload_offsets.assign(1, 0);
  for (const kvt::SampleDecoder::Payload& r : rows) {
    out.payload_bytes.insert(out.payload_bytes.end(), r.data, r.data + r.size);
    out.payload_offsets.push_back(out.payload_bytes.size());
  }
}

}  // namespace

std::size_t DefaultRingBytes(const kvt::JointLayout& layout, std::int64_t before_ns,
                             std::int64_t after_ns) {
  // The wire carries float32 sequences over every joint of the robot and a Cartesian block per
  // group: per basic sample 15 values a joint and 50 a group, per extra one 3 and 19, and a
  // little framing; each row also keeps its offset and two times.
  std::size_t joints = 0;
  for (const auto& [group, slice] : layout) {
    joints = std::max<std::size_t>(joints, slice.start_id + slice.dof);
  }
  const std::size_t groups = layout.size();
  const std::size_t basic = 4 * (15 * joints + 50 * groups) + 128 + 24;
  const std::size_t extra = 4 * (3 * joints + 19 * groups) + 64 + 24;
  const auto seconds = static_cast<double>(2 * (before_ns + after_ns)) / 1e9;
  return static_cast<std::size_t>(1.25 * seconds * kAssumedRate *
                                  static_cast<double>(basic + extra));
}

FlightRecorder::FlightRecorder(const kvt::Client& client, FlightOptions options)
    : options_(std::move(options)), ring_(0) {
  if (options_.before_ns < 0 || options_.after_ns < 0) {
    throw std::invalid_argument("the before and after windows must be 0 or more seconds");
  }
  if (options_.groups.empty()) throw std::invalid_argument("groups must name a joint group");
  for (const Trigger& t : options_.triggers) {
    if (t.kind == Trigger::Kind::kInput && t.input >= kInputs) {
      throw std::invalid_argument("digital inputs are 0 to 19");
    }
  }
  kvt::SampleStreamOptions so;
  so.capacity = options_.capacity;
  so.keep_payloads = true;
  so.max_latency = kMaxLatency;
  stream_ = std::make_unique<kvt::SampleStream>(client, so);
  if (options_.max_bytes == 0) {
    options_.max_bytes = DefaultRingBytes(stream_->layout(), options_.before_ns, options_.after_ns);
  }
  ring_ = SampleRing(options_.max_bytes);
  metadata_ = RecordingMetadata(*stream_, options_.groups);
  // Opening sinks checks the groups before any sample is kept for them.
  { RustSinks check(SinkOptions{}, options_.groups, metadata_); }
  thread_ = std::thread([this] { Run(); });
}

FlightRecorder::~FlightRecorder() {
  try {
    close();
  } catch (...) {  // close reports through stats; nothing may leave a destructor
  }
}

void FlightRecorder::Fire(const std::string& name, std::int64_t robot_ns) {
  if (!pending_.empty() && robot_ns <= pending_.back().to_ns) {
    Pending& p = pending_.back();
    if (p.trigger.find(name) == std::string::npos) p.trigger += "+" + name;
    p.to_ns = std::max(p.to_ns, std::min(robot_ns + options_.after_ns, p.limit_ns));
    if (robot_ns + options_.after_ns <= p.limit_ns) return;
    // Past the extension limit: the next file starts here and overlaps this one.
  }
  const std::int64_t from = robot_ns - options_.before_ns;
  pending_.push_back(Pending{name, robot_ns, from, robot_ns + options_.after_ns,
                             from + 2 * (options_.before_ns + options_.after_ns)});
}

void FlightRecorder::Scan(const kvt::BasicColumns& b) {
  if (b.rows == 0) return;
  inputs_.resize(kInputs);
  for (std::size_t row = 0; row < b.rows; ++row) {
    if (b.valid[row] == 0) continue;
    const bool estop = b.status[kEstop].flags[row] != 0;
    const std::int32_t system = b.status[kSystemState].codes[row];
    const std::int32_t board = b.status[kSafetyBoard].codes[row];
    const std::uint8_t* inputs = b.status[kDigitalInputs].flags.data() + row * kInputs;
    // The name lookup only when the code changes: most rows repeat the previous one.
    const bool fault = primed_ && system == system_state_ ? fault_ : IsFault(system);
    if (primed_) {
      const std::int64_t t = b.robot_time_ns[row];
      for (const Trigger& trig : options_.triggers) {
        switch (trig.kind) {
          case Trigger::Kind::kEstop:
            if (estop_released_ && !estop) Fire("estop", t);
            break;
          case Trigger::Kind::kFault:
            if (!fault_ && fault) Fire("fault", t);
            break;
          case Trigger::Kind::kSafety:
            if (safety_board_state_ == kSafetyNormal && board != kSafetyNormal) Fire("safety", t);
            break;
          case Trigger::Kind::kInput:
            if (inputs_[trig.input] != inputs[trig.input]) {
              Fire("input:" + std::to_string(trig.input), t);
            }
            break;
        }
      }
    }
    primed_ = true;
    estop_released_ = estop;
    system_state_ = system;
    fault_ = fault;
    safety_board_state_ = board;
    std::copy(inputs, inputs + kInputs, inputs_.begin());
  }
}

void FlightRecorder::Write(const Pending& p) {
  const std::string path = FileFor(options_.path, p.trigger_ns);
  KeyValues meta = metadata_;
  meta.emplace_back("snapshot_trigger", p.trigger);
  meta.emplace_back("snapshot_trigger_ns", std::to_string(p.trigger_ns));
  meta.emplace_back("snapshot_from_ns", std::to_string(p.from_ns));
  meta.emplace_back("snapshot_to_ns", std::to_string(p.to_ns));
  SinkOptions so;
  so.mcap_path = path;
  so.chunk_duration_ns = options_.chunk_duration_ns;
  so.chunk_size = options_.chunk_size;
  RustSinks sinks(so, options_.groups, meta);
  FlightFile f{path, p.trigger, p.trigger_ns, 0, 0, 0};
  // Decoded again with the stream's layout, as a recording is loaded, a slice at a time.
  kvt::SampleDecoder decoder(stream_->layout());
  std::vector<kvt::SampleDecoder::Payload> basic, extra;
  kvt::ColumnBatch decoded;
  auto flush = [&] {
    if (basic.empty() && extra.empty()) return;
    decoded = kvt::ColumnBatch{};
    decoder.decode(basic.data(), basic.size(), extra.data(), extra.size(), decoded);
    // The decoder makes columns only; the raw channels take the kept bytes as they came.
    RawColumns(basic, decoded.basic);
    RawColumns(extra, decoded.extra);
    basic.clear();
    extra.clear();
    sinks.bind(decoded);
    kvt::ForEachByReceiveTime(
        decoded, [&](std::size_t row) { sinks.write_basic(row); },
        [&](std::size_t row) { sinks.write_extra(row); });
  };
  bool first = true;
  std::int64_t last_receive_ns = 0;
  auto take = [&](const PayloadRows& r, std::vector<kvt::SampleDecoder::Payload>& out,
                  bool is_basic) {
    for (std::size_t i = 0; i < r.rows(); ++i) {
      const std::int64_t t = r.robot_time_ns[i];
      if (t < p.from_ns || t > p.to_ns) continue;
      out.push_back(
          {r.bytes.data() + r.offsets[i], r.offsets[i + 1] - r.offsets[i], r.receive_time_ns[i]});
      ++f.samples;
      last_receive_ns = std::max(last_receive_ns, r.receive_time_ns[i]);
      if (!is_basic) continue;
      if (first) f.first_ns = t;
      first = false;
      f.last_ns = t;
    }
  };
  for (const SampleRing::Entry& e : ring_.entries()) {
    if (e.newest_ns < p.from_ns || e.oldest_ns > p.to_ns) continue;
    take(e.chunk->basic, basic, true);
    take(e.chunk->extra, extra, false);
    if (basic.size() >= kBatch || extra.size() >= kBatch) flush();
  }
  flush();
  // The counters as the file is written, stamped with its last sample's receive time.
  const kvt::StreamCounters basic_counters = stream_->basic_counters();
  const kvt::StreamCounters extra_counters = stream_->extra_counters();
  sinks.write_counters(last_receive_ns, basic_counters, extra_counters, f.samples);
  sinks.close(CounterMetadata(basic_counters, extra_counters, f.samples));
  std::lock_guard<std::mutex> lock(mutex_);
  files_.push_back(std::move(f));
}

void FlightRecorder::WriteDue(bool all) {
  std::size_t done = 0;
  while (done < pending_.size() && (all || (have_newest_ && newest_ns_ >= pending_[done].to_ns))) {
    Write(pending_[done++]);
  }
  pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(done));
}

void FlightRecorder::Run() {
  std::optional<std::string> error;
  try {
    auto take = [this] {
      ring_.push(batch_);
      Scan(batch_.basic);
      if (batch_.basic.rows > 0) {
        newest_ns_ = std::max(newest_ns_, batch_.basic.robot_time_ns[batch_.basic.rows - 1]);
        have_newest_ = true;
      }
    };
    for (;;) {
      bool manual;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stop_requested_) break;
        manual = std::exchange(manual_, false);
      }
      if (stream_->next_columns(kPoll, batch_, kBatch)) take();
      if (manual && have_newest_) Fire("manual", newest_ns_);
      WriteDue(false);
      std::int64_t keep = newest_ns_ - options_.before_ns;
      if (!pending_.empty()) keep = std::min(keep, pending_.front().from_ns);
      ring_.trim(keep);
      std::lock_guard<std::mutex> lock(mutex_);
      ring_bytes_ = ring_.bytes();
      evicted_ = ring_.evicted();
      pending_count_ = pending_.size();
    }
    for (int pass = 0; pass < kDrainPasses; ++pass) {
      if (!stream_->next_columns(std::chrono::milliseconds(0), batch_, 0)) break;
      take();
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (std::exchange(manual_, false) && have_newest_) Fire("manual", newest_ns_);
    }
    WriteDue(true);
  } catch (const std::exception& e) {
    error = e.what();
  } catch (...) {
    error = "unknown error";
  }
  Stop(std::move(error));
}

void FlightRecorder::Stop(std::optional<std::string> error) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    running_ = false;
    error_ = std::move(error);
    pending_count_ = pending_.size();
  }
  stopped_cv_.notify_all();
}

void FlightRecorder::trigger() {
  std::lock_guard<std::mutex> lock(mutex_);
  manual_ = true;
  // Not stream_->interrupt(): that would end every later wait too. The thread looks within
  // one poll.
}

bool FlightRecorder::wait(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  stopped_cv_.wait_for(lock, timeout, [this] { return !running_; });
  return running_ && !stop_requested_;
}

FlightStats FlightRecorder::stats() const {
  FlightStats s;
  s.basic = stream_->basic_counters();
  s.extra = stream_->extra_counters();
  s.max_bytes = options_.max_bytes;
  std::lock_guard<std::mutex> lock(mutex_);
  s.ring_bytes = ring_bytes_;
  s.evicted = evicted_;
  s.pending = pending_count_;
  s.files = files_;
  s.running = running_ && !stop_requested_;
  s.error = error_;
  return s;
}

FlightStats FlightRecorder::close() {
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
