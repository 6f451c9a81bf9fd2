#include "stream/obr_state.hpp"

namespace orbalt::kvt_impl {

namespace {

class ObrGeneralStateCategoryImpl : public ObrStateCategory {
 public:
  const char* name() const noexcept override { return "General"; }
  const char* message(int value) const noexcept override {
    switch (value) {
      case OK:
        return "OK";
      case WARNING:
        return "Warning";
      case FAULT:
        return "Fault";
      case CRITICAL_FAULT:
        return "Critical fault";
      default:
        return "(unrecognized)";
    }
  }
};

}  // namespace

const ObrStateCategory& ObrGeneralStateCategory() {
  static const ObrGeneralStateCategoryImpl instance;
  return instance;
}

ObrState _MakeObrState(ObrGeneralState code) {
  return ObrState{static_cast<std::int32_t>(code), &ObrGeneralStateCategory()};
}

}  // namespace orbalt::kvt_impl
