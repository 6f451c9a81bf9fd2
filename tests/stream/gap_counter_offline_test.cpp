#include "stream/gap_counter.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace {

using orbalt::kvt_impl::GapCounter;

constexpr std::int64_t kMs = 1'000'000;

struct Case {
  const char* what;
  std::vector<std::pair<std::int64_t, std::int64_t>> samples;  // robot ns, host ns
  std::uint64_t gaps;
};

TEST(GapCounter, CountsSamplesMissingBetweenRobotTimestamps) {
  const Case cases[] = {
      {"steady", {{0, 0}, {kMs, kMs}, {2 * kMs, 2 * kMs}}, 0},
      {"one missing", {{0, 0}, {kMs, kMs}, {3 * kMs, 3 * kMs}}, 1},
      {"jitter is not a gap", {{0, 0}, {kMs, kMs}, {2 * kMs + kMs / 3, 2 * kMs}}, 0},
      // The first step is two periods; once a single period shows up it is recounted.
      {"recount on a smaller period", {{0, 0}, {2 * kMs, 2 * kMs}, {3 * kMs, 3 * kMs}}, 1},
      {"a pause of the robot", {{0, 0}, {kMs, kMs}, {900 * kMs, 900 * kMs}}, 0},
      {"late but not paused", {{0, 0}, {kMs, kMs}, {10 * kMs, 100 * kMs}}, 8},
      {"a restart goes back", {{0, 0}, {kMs, kMs}, {-5 * kMs, 2 * kMs}, {-4 * kMs, 3 * kMs}}, 0},
      {"repeated timestamp", {{0, 0}, {kMs, kMs}, {kMs, 2 * kMs}, {2 * kMs, 3 * kMs}}, 0},
  };
  for (const auto& c : cases) {
    GapCounter counter;
    for (const auto& [robot, host] : c.samples) counter.Add(robot, host);
    EXPECT_EQ(counter.gaps(), c.gaps) << c.what;
  }
}

}  // namespace
