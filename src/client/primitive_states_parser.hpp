// Turns the robot's primitive-state text entries into records per joint group.
#pragma once

#include <map>
#include <string>
#include <variant>
#include <vector>

#include "orbalt/kvt/joint_group.hpp"
#include "orbalt/kvt/primitive_states.hpp"

namespace orbalt::kvt_impl {

/// Types the first white-space-delimited word of `value_text`: an `int` for an optional '-'
/// followed by digits only, a `double` for any other word that reads whole as a number, the word
/// itself otherwise; the empty string when there is no word.
/// @throw std::out_of_range for an integer beyond 32 bits.
std::variant<int, double, std::string> TypePrimitiveValue(const std::string& value_text);

/// Groups `entries` (name=value texts, each section opened by a "jointGroup=<value>" marker)
/// into one record per joint group in ascending group order. Every marker must name a group of
/// `joint_groups`, once; each section must hold "jointGroup" and "primitiveName".
/// @throw std::runtime_error with a "[orbalt::kvt::Client::primitive_states] " text for
///        malformed entries; std::invalid_argument, std::out_of_range or std::bad_variant_access
///        from the conversions.
std::map<kvt::JointGroup, kvt::PrimitiveStates> ParsePrimitiveStates(
    const std::vector<std::string>& entries,
    const std::map<kvt::JointGroup, std::string>& joint_groups);

}  // namespace orbalt::kvt_impl
