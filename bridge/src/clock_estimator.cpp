#include "clock_estimator.hpp"

#include <algorithm>
#include <cmath>

namespace orbalt::kvt_bridge {

namespace {

// The envelope starts at a point per 16 ms of robot time; past kKept points neighbours are
// merged and the interval doubles, so a recording of any length keeps a few thousand.
constexpr std::int64_t kFirstInterval = 16'000'000;
constexpr std::size_t kKept = 4096;
constexpr std::size_t kPoints = 256;  // the envelope's points the line is fit to, at most
constexpr double kBelow = 0.02;       // the share of the envelope left under the line

// numpy's default (linear) quantile of `v`, which it sorts.
double Quantile(std::vector<double>& v, double q) {
  std::sort(v.begin(), v.end());
  const double at = q * static_cast<double>(v.size() - 1);
  const auto i = static_cast<std::size_t>(at);
  if (i + 1 >= v.size()) return v.back();
  return v[i] + (at - static_cast<double>(i)) * (v[i + 1] - v[i]);
}

}  // namespace

void ClockEstimator::Add(std::int64_t robot_time_ns, std::int64_t receive_time_ns) {
  if (samples_ == 0 || robot_time_ns < t0_) {
    t0_ = robot_time_ns;
    samples_ = 0;
    interval_ = kFirstInterval;
    lows_.clear();
  }
  ++samples_;
  const std::int64_t x = robot_time_ns - t0_;
  const std::int64_t lag = receive_time_ns - robot_time_ns;
  if (!lows_.empty() && x / interval_ == lows_.back().x / interval_) {
    if (lag < lows_.back().lag) lows_.back() = {x, lag};
  } else if (lows_.empty() || x > lows_.back().x) {
    lows_.push_back({x, lag});
  }
  if (lows_.size() > kKept) {
    // Twice the interval: of two neighbours in the same new interval the lower stays.
    interval_ *= 2;
    std::size_t kept = 0;
    for (std::size_t i = 0; i < lows_.size(); ++i) {
      const Low l = lows_[i];
      if (kept > 0 && l.x / interval_ == lows_[kept - 1].x / interval_) {
        if (l.lag < lows_[kept - 1].lag) lows_[kept - 1] = l;
      } else {
        lows_[kept++] = l;
      }
    }
    lows_.resize(kept);
  }
}

ClockEstimate ClockEstimator::Estimate() const {
  ClockEstimate out;
  out.t0_robot_ns = t0_;
  out.samples = samples_;
  if (lows_.empty()) return out;
  std::int64_t lag0 = lows_.front().lag;
  for (const Low& l : lows_) lag0 = std::min(lag0, l.lag);
  // At most kPoints envelope points: the lowest of each run of consecutive intervals.
  std::vector<double> ex, ey;
  const std::size_t n = lows_.size();
  const std::size_t groups = std::min(n, kPoints);
  for (std::size_t g = 0; g < groups; ++g) {
    const std::size_t a = g * n / groups, b = (g + 1) * n / groups;
    const Low* low = &lows_[a];
    for (std::size_t i = a; i < b; ++i) {
      if (lows_[i].lag < low->lag) low = &lows_[i];
    }
    ex.push_back(static_cast<double>(low->x));
    ey.push_back(static_cast<double>(low->lag - lag0));
  }
  std::vector<double> slopes;
  for (std::size_t i = 0; i < ex.size(); ++i) {
    for (std::size_t j = i + 1; j < ex.size(); ++j) {
      if (ex[j] > ex[i]) slopes.push_back((ey[j] - ey[i]) / (ex[j] - ex[i]));
    }
  }
  double slope = 0.0;
  if (!slopes.empty()) {
    // The median, as numpy takes it: the mean of the middle two of an even count.
    std::sort(slopes.begin(), slopes.end());
    const std::size_t m = slopes.size() / 2;
    slope = slopes.size() % 2 ? slopes[m] : (slopes[m - 1] + slopes[m]) / 2;
  }
  std::vector<double> residuals(ex.size());
  for (std::size_t i = 0; i < ex.size(); ++i) residuals[i] = ey[i] - slope * ex[i];
  out.offset_ns = lag0 + std::llround(Quantile(residuals, kBelow));
  out.drift = slope;
  return out;
}

}  // namespace orbalt::kvt_bridge
