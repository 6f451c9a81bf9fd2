#include "orbalt/kvt_recording/recording_reader.hpp"

#include <algorithm>
#include <array>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "orbaltkvt_recording.h"

namespace orbalt::kvt_recording {

namespace {

constexpr std::array<const char*, 2> kTopics = {"/raw/basic_stream_data", "/raw/extra_stream_data"};

[[noreturn]] void Throw(const OkrError& err) {
  if (err.code == OKR_IO) throw OpenError(err.text);
  throw FormatError(err.text);
}

std::string Text(const std::uint8_t* data, std::size_t size) {
  return std::string(reinterpret_cast<const char*>(data), size);
}

std::vector<kvt::SampleDecoder::Payload> Payloads(const OkrMessages& m) {
  std::vector<kvt::SampleDecoder::Payload> out(m.count);
  for (std::size_t i = 0; i < m.count; ++i) {
    out[i] = {m.bytes + m.offsets[i], static_cast<std::size_t>(m.offsets[i + 1] - m.offsets[i]),
              m.log_times[i]};
  }
  return out;
}

// Rows are in receive-time order within each stream, so the window is one run of them.
std::pair<std::size_t, std::size_t> Window(const std::vector<std::int64_t>& times, std::size_t rows,
                                           std::int64_t start, std::int64_t end) {
  const auto first = times.begin();
  const auto last = first + static_cast<std::ptrdiff_t>(rows);
  const auto lo = std::lower_bound(first, last, start);
  const auto hi = std::lower_bound(lo, last, end);
  return {static_cast<std::size_t>(lo - first), static_cast<std::size_t>(hi - first)};
}

}  // namespace

const char* RawTopic(Stream stream) { return kTopics[static_cast<std::size_t>(stream)]; }

class RecordingReader::Impl {
 public:
  explicit Impl(OkrReader* r) : r_(r) {}
  ~Impl() { okr_close(r_); }
  Impl(const Impl&) = delete;
  Impl& operator=(const Impl&) = delete;

  OkrReader* r_;
  std::vector<OkrChunk> chunks_;
};

RecordingReader::RecordingReader(const std::string& path) : path_(path) {
  OkrError err{};
  OkrReader* r = okr_open(path.c_str(), kTopics.data(), kTopics.size(), &err);
  if (r == nullptr) Throw(err);
  impl_ = std::make_unique<Impl>(r);
  for (std::size_t i = 0, n = okr_metadata_count(r); i < n; ++i) {
    const std::uint8_t* name = nullptr;
    std::size_t name_len = 0, entries = 0;
    okr_metadata_name(r, i, &name, &name_len, &entries);
    auto& record = metadata_[Text(name, name_len)];
    for (std::size_t e = 0; e < entries; ++e) {
      const std::uint8_t *key = nullptr, *value = nullptr;
      std::size_t key_len = 0, value_len = 0;
      okr_metadata_entry(r, i, e, &key, &key_len, &value, &value_len);
      record[Text(key, key_len)] = Text(value, value_len);
    }
  }
  impl_->chunks_.resize(okr_chunk_count(r));
  for (std::size_t i = 0; i < impl_->chunks_.size(); ++i) okr_chunk(r, i, &impl_->chunks_[i]);
}

RecordingReader::~RecordingReader() = default;
RecordingReader::RecordingReader(RecordingReader&&) noexcept = default;
RecordingReader& RecordingReader::operator=(RecordingReader&&) noexcept = default;

std::optional<kvt::JointLayout> RecordingReader::layout() const {
  const std::int64_t groups = okr_layout_count(impl_->r_);
  if (groups < 0) return std::nullopt;
  kvt::JointLayout out;
  for (std::size_t i = 0; i < static_cast<std::size_t>(groups); ++i) {
    char name[32] = {};
    std::uint32_t start_id = 0;
    std::uint64_t dof = 0;
    if (okr_layout_entry(impl_->r_, i, &name, &start_id, &dof) == 0) return std::nullopt;
    const auto known = std::find_if(kvt::kJointGroupNames.begin(), kvt::kJointGroupNames.end(),
                                    [&](const auto& entry) { return entry.second == name; });
    if (known == kvt::kJointGroupNames.end()) return std::nullopt;
    out.emplace(known->first, kvt::GroupLayout{start_id, dof});
  }
  return out;
}

bool RecordingReader::has_stream(Stream stream) const {
  std::int64_t count = 0;
  return okr_topic(impl_->r_, static_cast<std::size_t>(stream), &count) != 0;
}

std::optional<std::uint64_t> RecordingReader::message_count(Stream stream) const {
  std::int64_t count = 0;
  okr_topic(impl_->r_, static_cast<std::size_t>(stream), &count);
  if (count < 0) return std::nullopt;
  return static_cast<std::uint64_t>(count);
}

std::int64_t RecordingReader::start_time_ns() const {
  std::int64_t t = 0;
  for (std::size_t i = 0; i < impl_->chunks_.size(); ++i) {
    t = i == 0 ? impl_->chunks_[i].message_start_time
               : std::min(t, impl_->chunks_[i].message_start_time);
  }
  return t;
}

std::int64_t RecordingReader::end_time_ns() const {
  std::int64_t t = 0;
  for (std::size_t i = 0; i < impl_->chunks_.size(); ++i) {
    t = i == 0 ? impl_->chunks_[i].message_end_time
               : std::max(t, impl_->chunks_[i].message_end_time);
  }
  return t;
}

std::uint64_t RecordingReader::count(Stream stream, std::int64_t start_ns, std::int64_t end_ns) {
  std::uint64_t n = 0;
  for (std::size_t i = 0; i < impl_->chunks_.size(); ++i) {
    const OkrChunk& c = impl_->chunks_[i];
    if (c.message_end_time < start_ns || c.message_start_time >= end_ns) continue;
    OkrError err{};
    const std::int64_t k =
        okr_count(impl_->r_, i, static_cast<std::size_t>(stream), start_ns, end_ns, &err);
    if (k < 0) Throw(err);
    n += static_cast<std::uint64_t>(k);
  }
  return n;
}

void RecordingReader::read(kvt::SampleDecoder& decoder, std::int64_t start_ns, std::int64_t end_ns,
                           bool extra, bool every_joint, const OnBatch& on_batch) {
  const auto& chunks = impl_->chunks_;
  std::size_t first = 0;
  while (first < chunks.size() && chunks[first].message_end_time < start_ns) ++first;
  // The extra samples at the window's start take their timestamp from the basic sample
  // before them, which may lie in the chunk before.
  const std::size_t from = extra && first > 0 && start_ns != kBeginning ? first - 1 : first;

  // A worker reads, inflates and decodes the chunks while this thread hands the batch before
  // over, so that the caller's copying overlaps the decoding.
  struct Decoded {
    kvt::ColumnBatch batch;
    WindowRows rows;
  };
  std::mutex mutex;
  std::condition_variable changed;
  std::deque<std::unique_ptr<Decoded>> ready;
  bool done = false, stop = false;
  std::exception_ptr failure;
  constexpr std::size_t kInFlight = 1;
  constexpr std::size_t kPiece = 64;  // basic samples a batch

  std::thread worker([&] {
    try {
      for (std::size_t i = from; i < chunks.size() && chunks[i].message_start_time < end_ns; ++i) {
        std::array<OkrMessages, kTopics.size()> messages{};
        OkrError err{};
        if (okr_read_chunk(impl_->r_, i, messages.data(), &err) != OKR_OK) Throw(err);
        const auto basic = Payloads(messages[0]);
        const auto extras =
            extra ? Payloads(messages[1]) : std::vector<kvt::SampleDecoder::Payload>{};
        if (basic.empty() && extras.empty()) continue;
        // A chunk is decoded a piece at a time, so that the batches in flight stay small
        // whatever the chunk size. A piece ends before a basic sample and takes the extra
        // ones received before it: the order the decoder merges the two streams in.
        std::size_t b = 0, e = 0;
        bool stopped = false;
        while (!stopped && (b < basic.size() || e < extras.size())) {
          const std::size_t b_end = std::min(basic.size(), b + kPiece);
          std::size_t e_end = extras.size();
          if (b_end < basic.size()) {
            const std::int64_t next = basic[b_end].receive_time_ns;
            e_end = e;
            while (e_end < extras.size() && extras[e_end].receive_time_ns < next) ++e_end;
          }
          auto d = std::make_unique<Decoded>();
          decoder.decode(basic.data() + b, b_end - b, extras.data() + e, e_end - e, d->batch,
                         every_joint);
          b = b_end;
          e = e_end;
          std::tie(d->rows.basic_begin, d->rows.basic_end) =
              Window(d->batch.basic.receive_time_ns, d->batch.basic.rows, start_ns, end_ns);
          std::tie(d->rows.extra_begin, d->rows.extra_end) =
              Window(d->batch.extra.receive_time_ns, d->batch.extra.rows, start_ns, end_ns);
          if (d->rows.basic_end == d->rows.basic_begin &&
              d->rows.extra_end == d->rows.extra_begin) {
            continue;
          }
          std::unique_lock<std::mutex> lock(mutex);
          changed.wait(lock, [&] { return stop || ready.size() < kInFlight; });
          stopped = stop;
          if (!stopped) ready.push_back(std::move(d));
          changed.notify_all();
        }
        if (stopped) break;
      }
    } catch (...) {
      std::lock_guard<std::mutex> lock(mutex);
      failure = std::current_exception();
    }
    std::lock_guard<std::mutex> lock(mutex);
    done = true;
    changed.notify_all();
  });

  std::exception_ptr caller_failure;
  for (;;) {
    std::unique_ptr<Decoded> d;
    {
      std::unique_lock<std::mutex> lock(mutex);
      changed.wait(lock, [&] { return done || !ready.empty(); });
      if (ready.empty()) break;
      d = std::move(ready.front());
      ready.pop_front();
      changed.notify_all();
    }
    try {
      on_batch(d->batch, d->rows);
    } catch (...) {
      caller_failure = std::current_exception();
      std::lock_guard<std::mutex> lock(mutex);
      stop = true;
      changed.notify_all();
      break;
    }
  }
  worker.join();
  if (caller_failure) std::rethrow_exception(caller_failure);
  if (failure) std::rethrow_exception(failure);
}

}  // namespace orbalt::kvt_recording
