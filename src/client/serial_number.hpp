// Validation and normalization of robot serial numbers.
#pragma once

#include <string>

namespace orbalt::kvt_impl {

/// Validates `robot_sn` and returns its normalized form: the prefix tokens joined with '-', then
/// '-', then the suffix unchanged.
///
/// The serial number is a prefix and a suffix split at its last '-', both non-empty, with no '_'
/// anywhere. The prefix is ASCII letters and digits in tokens separated by single spaces or '-';
/// the suffix holds none of the key-expression characters '*', '$', '/', '?' and '#'.
///
/// @throw std::invalid_argument "[orbalt::kvt::Client] Format of the provided robot serial number
///        is invalid"
std::string NormalizeSerialNumber(const std::string& robot_sn);

}  // namespace orbalt::kvt_impl
