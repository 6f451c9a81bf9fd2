#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace orbalt::kvt_bridge {

/// The robot clock's offset and drift against the host's: host = robot + offset_ns + drift *
/// (robot - t0_robot_ns), all in ns.
struct ClockEstimate {
  std::int64_t offset_ns = 0;    ///< host minus robot time at robot time t0_robot_ns
  double drift = 0.0;            ///< host ns per robot ns, minus 1
  std::int64_t t0_robot_ns = 0;  ///< the first sample's robot time
  std::uint64_t samples = 0;     ///< samples it was made from; 0: no estimate
};

/// Estimates the robot's clock against the host's receive times while a recording runs, from
/// the lower envelope of (receive time - robot time): delays only ever add, so the samples that
/// met the least delay mark the clocks' relation (E. Olson, "A passive solution to the sensor
/// synchronization problem", 2010). It keeps only the smallest delay of each interval of robot
/// time (16 ms at first, doubled whenever more than 4096 are kept: at most 64 KiB whatever the
/// length) and makes the estimate as the tools do when a file lacks one: the Theil-Sen slope of
/// up to 256 envelope points, under all of them but the lowest 2 %. A robot time earlier than
/// the first one (the robot restarted its clock) starts over.
///
/// Not thread safe.
class ClockEstimator {
 public:
  void Add(std::int64_t robot_time_ns, std::int64_t receive_time_ns);
  ClockEstimate Estimate() const;

 private:
  struct Low {
    std::int64_t x;    // robot time since t0
    std::int64_t lag;  // receive - robot
  };
  std::int64_t t0_ = 0;
  std::int64_t interval_ = 0;
  std::uint64_t samples_ = 0;
  std::vector<Low> lows_;  // one per interval of robot time, in order
};

}  // namespace orbalt::kvt_bridge
