// A queue of at most `capacity` entries that makes room by dropping its oldest entry.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <utility>

namespace orbalt::kvt_impl {

/// Not synchronised: its owner guards it.
template <class T>
class BoundedQueue {
 public:
  explicit BoundedQueue(std::size_t capacity) : capacity_(capacity == 0 ? 1 : capacity) {}

  /// Appends `entry`; when the queue is full its oldest entry is dropped first, and counted.
  void Push(T&& entry) {
    if (entries_.size() >= capacity_) {
      entries_.pop_front();
      ++dropped_;
    }
    entries_.push_back(std::move(entry));
  }

  /// Moves up to `max` entries (0: all), oldest first, to the end of `out`.
  void Take(std::deque<T>& out, std::size_t max) {
    const std::size_t n = (max != 0 && max < entries_.size()) ? max : entries_.size();
    if (n == entries_.size() && out.empty()) {
      out.swap(entries_);  // the common case: no entry is moved one by one
      return;
    }
    for (std::size_t i = 0; i < n; ++i) {
      out.push_back(std::move(entries_.front()));
      entries_.pop_front();
    }
  }

  bool empty() const { return entries_.empty(); }
  std::size_t size() const { return entries_.size(); }
  std::uint64_t dropped() const { return dropped_; }

 private:
  std::size_t capacity_;
  std::deque<T> entries_;
  std::uint64_t dropped_ = 0;
};

}  // namespace orbalt::kvt_impl
