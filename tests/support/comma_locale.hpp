// A host program's decimal-comma locale, set for the C library and the C++ streams alike.
#pragma once

#include <clocale>
#include <locale>
#include <stdexcept>
#include <string>

namespace orbalt::testing {

class CommaLocale {
 public:
  static constexpr const char* kName = "de_DE.UTF-8";

  /// Whether the locale is installed (scripts/setup generates it).
  static bool Available() {
    try {
      std::locale probe(kName);
      return std::use_facet<std::numpunct<char>>(probe).decimal_point() == ',';
    } catch (const std::runtime_error&) {
      return false;
    }
  }

  CommaLocale() : c_(std::setlocale(LC_ALL, nullptr)), cpp_(std::locale()) {
    if (std::setlocale(LC_ALL, kName) == nullptr)
      throw std::runtime_error("no locale " + std::string(kName));
    std::locale::global(std::locale(kName));
  }
  ~CommaLocale() {
    std::locale::global(cpp_);
    std::setlocale(LC_ALL, c_.c_str());
  }
  CommaLocale(const CommaLocale&) = delete;
  CommaLocale& operator=(const CommaLocale&) = delete;

 private:
  std::string c_;
  std::locale cpp_;
};

}  // namespace orbalt::testing

#define ORBALTKVT_REQUIRE_COMMA_LOCALE()                        \
  if (!orbalt::testing::CommaLocale::Available())               \
  GTEST_SKIP() << "the " << orbalt::testing::CommaLocale::kName \
               << " locale is not installed; scripts/setup generates it"
