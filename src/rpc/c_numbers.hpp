// Numbers in the robot's reply texts, read the same whatever locale the host program set.
#pragma once

#include <string>

namespace orbalt::kvt_impl {

/// `std::stoi(text)` as it behaves in the "C" locale: leading white space skipped, optional sign,
/// decimal digits, the rest ignored.
/// @throw std::invalid_argument "stoi" when no digits lead; std::out_of_range "stoi" beyond the
///        range of `int`.
/// @note Thread-safe; independent of the process locale (setlocale, std::locale::global).
int StoiC(const std::string& text);

/// `std::stod(text)` as it behaves in the "C" locale: '.' is the decimal point; hexadecimal
/// forms, "inf" and "nan" are read as strtod reads them; the rest is ignored.
/// @throw std::invalid_argument "stod" when no number leads; std::out_of_range "stod" when the
///        value overflows or underflows.
/// @note Thread-safe; independent of the process locale (setlocale, std::locale::global).
double StodC(const std::string& text);

}  // namespace orbalt::kvt_impl
