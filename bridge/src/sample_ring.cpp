#include "sample_ring.hpp"

#include <algorithm>
#include <limits>

namespace orbalt::kvt_bridge {

namespace {

template <typename T>
std::size_t Bytes(const std::vector<T>& v) {
  return v.capacity() * sizeof(T);
}

// Copies sized to the rows: the reused batch's buffers may have grown far larger.
PayloadRows Rows(const kvt::StreamColumns& s) {
  PayloadRows r;
  if (s.rows == 0) return r;
  r.receive_time_ns.assign(s.receive_time_ns.begin(), s.receive_time_ns.begin() + s.rows);
  r.robot_time_ns.assign(s.robot_time_ns.begin(), s.robot_time_ns.begin() + s.rows);
  if (s.payload_offsets.size() == s.rows + 1) {
    r.offsets.assign(s.payload_offsets.begin(), s.payload_offsets.end());
    r.bytes.assign(s.payload_bytes.begin(),
                   s.payload_bytes.begin() + static_cast<std::ptrdiff_t>(s.payload_offsets.back()));
  } else {
    r.offsets.assign(s.rows + 1, 0);  // no payloads kept: rows without bytes
  }
  return r;
}

void Span(const PayloadRows& r, std::int64_t& oldest, std::int64_t& newest) {
  for (std::int64_t t : r.robot_time_ns) {
    oldest = std::min(oldest, t);
    newest = std::max(newest, t);
  }
}

}  // namespace

std::size_t PayloadRows::footprint() const {
  return Bytes(bytes) + Bytes(offsets) + Bytes(receive_time_ns) + Bytes(robot_time_ns);
}

SampleRing::SampleRing(std::size_t max_bytes) : max_bytes_(max_bytes) {}

void SampleRing::push(const kvt::ColumnBatch& batch) {
  if (batch.empty()) return;
  auto chunk = std::make_shared<PayloadChunk>();
  chunk->basic = Rows(batch.basic);
  chunk->extra = Rows(batch.extra);
  Entry e;
  e.bytes = sizeof(PayloadChunk) + chunk->basic.footprint() + chunk->extra.footprint();
  e.oldest_ns = std::numeric_limits<std::int64_t>::max();
  e.newest_ns = std::numeric_limits<std::int64_t>::min();
  Span(chunk->basic, e.oldest_ns, e.newest_ns);
  Span(chunk->extra, e.oldest_ns, e.newest_ns);
  e.chunk = std::move(chunk);
  bytes_ += e.bytes;
  entries_.push_back(std::move(e));
  while (bytes_ > max_bytes_ && entries_.size() > 1) {
    const Entry& old = entries_.front();
    evicted_ += old.chunk->basic.rows() + old.chunk->extra.rows();
    bytes_ -= old.bytes;
    entries_.pop_front();
  }
}

void SampleRing::trim(std::int64_t keep_from_ns) {
  while (entries_.size() > 1 && entries_.front().newest_ns < keep_from_ns) {
    bytes_ -= entries_.front().bytes;
    entries_.pop_front();
  }
}

}  // namespace orbalt::kvt_bridge
