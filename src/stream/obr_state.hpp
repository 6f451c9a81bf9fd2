// General state codes returned by start-up and request operations.
#pragma once

#include <cstdint>

namespace orbalt::kvt_impl {

/// General outcome codes, spaced 100000 apart; compared by value.
enum ObrGeneralState : std::int32_t {
  OK = 100000,
  WARNING = 200000,
  FAULT = 300000,
  CRITICAL_FAULT = 400000,
};

/// Gives state values their names and messages.
class ObrStateCategory {
 public:
  virtual ~ObrStateCategory() = default;
  virtual const char* name() const noexcept = 0;
  virtual const char* message(int value) const noexcept = 0;
};

/// The category of the general states: name "General"; messages "OK", "Warning", "Fault",
/// "Critical fault" and "(unrecognized)" for any other value. A single immutable instance.
const ObrStateCategory& ObrGeneralStateCategory();

/// An outcome: a code and the category that interprets it.
struct ObrState {
  std::int32_t value = OK;
  const ObrStateCategory* category = nullptr;
};

/// Pairs `code` with the general category.
ObrState _MakeObrState(ObrGeneralState code);

}  // namespace orbalt::kvt_impl
