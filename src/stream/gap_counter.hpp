// Samples a robot sent that never arrived, told from the steps between its timestamps.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>

namespace orbalt::kvt_impl {

/// Counts the samples missing between consecutive robot timestamps. The sample period is the
/// smallest step seen so far; when a smaller one shows up, the count is redone from every step
/// seen (kept as a histogram, which stays tiny for a steady stream). A step that follows
/// `pause_ns` or more of host time without a sample is a pause of the robot, not a gap. A
/// timestamp that goes back (a restarted robot) starts the count from there.
class GapCounter {
 public:
  explicit GapCounter(std::int64_t pause_ns = 250'000'000) : pause_ns_(pause_ns) {}

  /// Takes one sample's robot time and host receive time, both in nanoseconds.
  void Add(std::int64_t robot_ns, std::int64_t host_ns) {
    if (has_last_ && robot_ns > last_robot_ns_) {
      const std::int64_t step = robot_ns - last_robot_ns_;
      const bool paused = host_ns - last_host_ns_ >= pause_ns_ && step > 2 * period_ns_;
      if (!paused) {
        // Jitter could make every step a new value; past the cap, only known steps are kept.
        if (steps_.size() < kMaxSteps || steps_.count(step) != 0) ++steps_[step];
        if (period_ns_ == 0 || step < period_ns_) {
          period_ns_ = step;
          gaps_ = 0;
          for (const auto& [s, n] : steps_) gaps_ += n * Missing(s);
        } else {
          gaps_ += Missing(step);
        }
      }
    }
    has_last_ = true;
    last_robot_ns_ = robot_ns;
    last_host_ns_ = host_ns;
  }

  std::uint64_t gaps() const { return gaps_; }

 private:
  std::uint64_t Missing(std::int64_t step) const {
    // Rounded, so that jitter in the robot's clock does not count as a sample.
    const std::int64_t periods = (step + period_ns_ / 2) / period_ns_;
    return periods > 1 ? static_cast<std::uint64_t>(periods - 1) : 0;
  }

  static constexpr std::size_t kMaxSteps = 4096;

  std::int64_t pause_ns_;
  std::int64_t period_ns_ = 0;
  std::int64_t last_robot_ns_ = 0;
  std::int64_t last_host_ns_ = 0;
  bool has_last_ = false;
  std::uint64_t gaps_ = 0;
  std::map<std::int64_t, std::uint64_t> steps_;
};

}  // namespace orbalt::kvt_impl
