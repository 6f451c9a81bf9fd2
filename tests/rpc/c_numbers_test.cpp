// Reply numbers read as the "C" locale reads them, whatever locale the host program set.
#include "rpc/c_numbers.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/comma_locale.hpp"

namespace {

using orbalt::kvt_impl::StodC;
using orbalt::kvt_impl::StoiC;

// What a conversion gave: its value's bits or its exception's type and text.
std::string Outcome(const std::function<double()>& convert) {
  try {
    const double v = convert();
    if (std::isnan(v)) return std::string("nan") + (std::signbit(v) ? "-" : "+");
    std::uint64_t bits = 0;  // not printf: that follows the locale too
    std::memcpy(&bits, &v, sizeof(v));
    return std::to_string(bits);
  } catch (const std::invalid_argument& e) {
    return std::string("invalid_argument: ") + e.what();
  } catch (const std::out_of_range& e) {
    return std::string("out_of_range: ") + e.what();
  }
}

// clang-format off
const std::vector<std::string> kIntTexts = {
    "0", "1", "-7", "+7", " 12", "\t\n\v\f\r 12", "12abc", "12 34", "abc", "", "-", "+",
    "2147483647", "2147483648", "-2147483648", "-2147483649", "99999999999",
    "-99999999999999999999", "0x10", "010", "1.5", "1,5", " +0", "- 1", "\xc2\xa0" "1", "1e3",
    "\xd9\xa3", "00000000000000000000000042"};

const std::vector<std::string> kDoubleTexts = {
    "0.5", "0,5", "1,234.5", "1.234,5", "1e3", ".5", "5.", "+7", "-0", "  0.25x", "\n-2.5e-3",
    "inf", "-INF", "Infinity", "infinit", "nan", "-nan", "NaN(123)", "nan(", "0x1p-2", "0X1.8P1",
    "0x", "0x.p1", "1e400", "-1e400", "1e-400", "4.9e-324", "2.2e-308", "", "abc", "-", ".", "e5",
    "1e", "1e+", "1.2.3", "\xc2\xa0" "1", "1 000", "0.1234567890123456789012345678901234567890",
    "1_000"};
// clang-format on

// Both conversions give what std::stoi and std::stod give in the "C" locale, in any locale.
TEST(CNumbers, MatchTheStandardConversionsOfTheCLocale) {
  std::vector<std::string> reference;
  for (const auto& t : kIntTexts) {
    const std::string expected = Outcome([&] { return std::stoi(t); });
    EXPECT_EQ(Outcome([&] { return StoiC(t); }), expected) << "'" << t << "'";
    reference.push_back(expected);
  }
  for (const auto& t : kDoubleTexts) {
    const std::string expected = Outcome([&] { return std::stod(t); });
    EXPECT_EQ(Outcome([&] { return StodC(t); }), expected) << "'" << t << "'";
    reference.push_back(expected);
  }
  // errno is left alone unless the conversion failed for range.
  errno = EINTR;
  StodC("0.5");
  StoiC("5");
  EXPECT_EQ(errno, EINTR);

  ORBALTKVT_REQUIRE_COMMA_LOCALE();
  orbalt::testing::CommaLocale comma;
  ASSERT_EQ(std::stod("0.5"), 0.0) << "the locale does not change the standard conversion";
  std::size_t i = 0;
  for (const auto& t : kIntTexts) {
    EXPECT_EQ(Outcome([&] { return StoiC(t); }), reference[i++]) << "'" << t << "'";
  }
  for (const auto& t : kDoubleTexts) {
    EXPECT_EQ(Outcome([&] { return StodC(t); }), reference[i++]) << "'" << t << "'";
  }
}

}  // namespace
