#include "client/configuration_score.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

using namespace orbalt::kvt_impl;
using orbalt::kvt::JointGroup;

TEST(ConfigurationScore, AnchorsOfTheFirstScore) {
  EXPECT_EQ(FirstConfigurationScore(0.0), 0.0);
  EXPECT_EQ(FirstConfigurationScore(0.08), 20.0);
  EXPECT_EQ(FirstConfigurationScore(0.15), 40.0);
  EXPECT_NEAR(FirstConfigurationScore(0.22), 100.0, 1e-9);
  EXPECT_EQ(FirstConfigurationScore(0.5), 100.0);  // limited
  EXPECT_EQ(FirstConfigurationScore(1e300), 100.0);
  EXPECT_EQ(FirstConfigurationScore(0.04), 10.0);
  EXPECT_NEAR(FirstConfigurationScore(0.115), 30.0, 1e-9);
}

TEST(ConfigurationScore, AnchorsOfTheSecondScore) {
  EXPECT_EQ(SecondConfigurationScore(0.0), 0.0);
  EXPECT_EQ(SecondConfigurationScore(0.08), 20.0);
  EXPECT_EQ(SecondConfigurationScore(0.3), 40.0);
  EXPECT_EQ(SecondConfigurationScore(0.75), 100.0);
  EXPECT_EQ(SecondConfigurationScore(2.0), 100.0);
  EXPECT_NEAR(SecondConfigurationScore(0.19), 30.0, 1e-9);
}

TEST(ConfigurationScore, NegativeAndNotANumberScoreZero) {
  for (double x : {-1e-12, -0.5, -std::numeric_limits<double>::infinity(),
                   std::numeric_limits<double>::quiet_NaN()}) {
    EXPECT_EQ(FirstConfigurationScore(x), 0.0) << x;
    EXPECT_EQ(SecondConfigurationScore(x), 0.0) << x;
  }
}

TEST(ConfigurationScore, MiddleBandUsesTheComputedDivisor) {
  // (x - 0.08) / (0.15 - 0.08) * 20 + 20 with the subtraction done in double.
  const double x = 0.1;
  EXPECT_EQ(FirstConfigurationScore(x), (x - 0.08) / (0.15 - 0.08) * 20 + 20);
  EXPECT_EQ(SecondConfigurationScore(x), (x - 0.08) / (0.3 - 0.08) * 20 + 20);
}

TEST(ConfigurationScore, ScoresValuesTwoAndFiveOfEachGroup) {
  const auto scores = ConfigurationScores({
      {JointGroup::ARM_2, {9, 9, 0.15, 9, 9, 0.75}},
      {JointGroup::ARM_1, {9, 9, 0.0, 9, 9, 0.3}},
  });
  ASSERT_EQ(scores.size(), 2u);
  EXPECT_EQ(scores.begin()->first, JointGroup::ARM_1);
  EXPECT_EQ(scores.at(JointGroup::ARM_1), (std::pair<double, double>{0.0, 40.0}));
  EXPECT_EQ(scores.at(JointGroup::ARM_2), (std::pair<double, double>{40.0, 100.0}));
  EXPECT_TRUE(ConfigurationScores({}).empty());
}

}  // namespace
