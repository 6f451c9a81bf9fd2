#include "client/configuration_score.hpp"

#include <algorithm>

namespace orbalt::kvt_impl {

namespace {

constexpr double kLowerBound = 0.08;

// The bands are tested from the top; any comparison with NaN is false, so NaN scores 0. The
// middle-band divisor is the double result of the subtraction, not the decimal literal, so the
// band edges meet exactly.
double Score(double x, double upper_bound, double upper_span) {
  if (x >= upper_bound) {
    return std::min((x - upper_bound) / upper_span * 60 + 40, 100.0);
  }
  if (x >= kLowerBound) {
    return (x - kLowerBound) / (upper_bound - kLowerBound) * 20 + 20;
  }
  if (x >= 0) {
    return x / kLowerBound * 20;
  }
  return 0;
}

}  // namespace

double FirstConfigurationScore(double x) { return Score(x, 0.15, 0.07); }

double SecondConfigurationScore(double x) { return Score(x, 0.3, 0.45); }

std::map<kvt::JointGroup, std::pair<double, double>> ConfigurationScores(
    const std::map<kvt::JointGroup, std::array<double, 6>>& manipulability) {
  std::map<kvt::JointGroup, std::pair<double, double>> scores;
  for (const auto& [group, m] : manipulability) {
    scores[group] = {FirstConfigurationScore(m[2]), SecondConfigurationScore(m[5])};
  }
  return scores;
}

}  // namespace orbalt::kvt_impl
