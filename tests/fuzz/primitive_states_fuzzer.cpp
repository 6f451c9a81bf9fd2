// Primitive-state entries (one per input line) grouped and typed for the dual-arm layout, and
// the typing of one value text (the whole input). Only the documented exceptions may leave.
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <variant>

#include "client/primitive_states_parser.hpp"
#include "fuzz/fuzz_support.hpp"
#include "support/dual_arm_layout.hpp"

using orbalt::kvt_impl::ParsePrimitiveStates;
using orbalt::kvt_impl::TypePrimitiveValue;

namespace {

bool HasSpace(const std::string& text) {
  return text.find_first_of(" \t\n\v\f\r") != std::string::npos;
}

void CheckTyped(const std::variant<int, double, std::string>& value) {
  if (const auto* word = std::get_if<std::string>(&value)) ORBALTKVT_FUZZ_CHECK(!HasSpace(*word));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  try {
    CheckTyped(TypePrimitiveValue(text));
  } catch (const std::out_of_range&) {
  }

  const auto& layout = orbalt::testing::dual_arm::kNames;
  try {
    const auto parsed = ParsePrimitiveStates(orbalt::fuzz::Lines(data, size), layout);
    for (const auto& [group, states] : parsed) {
      ORBALTKVT_FUZZ_CHECK(layout.count(group) == 1);
      ORBALTKVT_FUZZ_CHECK(states.names_and_values.count("jointGroup") == 0);
      ORBALTKVT_FUZZ_CHECK(states.names_and_values.count("primitiveName") == 0);
      ORBALTKVT_FUZZ_CHECK(!HasSpace(states.pt_name));
      for (const auto& entry : states.names_and_values) {
        ORBALTKVT_FUZZ_CHECK(!entry.first.empty());
        CheckTyped(entry.second);
      }
    }
  } catch (const std::runtime_error&) {  // malformed entries
  } catch (const std::invalid_argument&) {
  } catch (const std::out_of_range&) {
  } catch (const std::bad_variant_access&) {
  }
  return 0;
}
