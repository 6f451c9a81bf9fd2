// Configuration scores from manipulability values.
#pragma once

#include <array>
#include <map>
#include <utility>

#include "orbalt/kvt/joint_group.hpp"

namespace orbalt::kvt_impl {

/// Score in [0, 100] of manipulability value 2 of a group: 0 at 0, 20 at 0.08, 40 at 0.15,
/// 100 from 0.22 on; piecewise linear between; 0 for a negative or not-a-number value.
double FirstConfigurationScore(double x);

/// Score in [0, 100] of manipulability value 5 of a group: 0 at 0, 20 at 0.08, 40 at 0.3,
/// 100 from 0.75 on; piecewise linear between; 0 for a negative or not-a-number value.
double SecondConfigurationScore(double x);

/// Per group, the pair (first score of values[2], second score of values[5]).
std::map<kvt::JointGroup, std::pair<double, double>> ConfigurationScores(
    const std::map<kvt::JointGroup, std::array<double, 6>>& manipulability);

}  // namespace orbalt::kvt_impl
