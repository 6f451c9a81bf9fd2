/// @file
/// State of the motion primitive running on one joint group.
#pragma once

#include <map>
#include <string>
#include <variant>

namespace orbalt::kvt {

/// The state of the primitive running on one joint group.
struct PrimitiveStates {
  std::string pt_name;  ///< name of the primitive
  /// The primitive's state variables by name, typed as integer, real or text.
  std::map<std::string, std::variant<int, double, std::string>> names_and_values;
};

}  // namespace orbalt::kvt
