// The plan-info texts (one per input line) converted as a reply's are.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/fuzz_support.hpp"
#include "rpc/data_rpc.hpp"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  orbalt::fuzz::SilenceLogs();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto texts = orbalt::fuzz::Lines(data, size);
  orbalt::kvt::PlanInfo info;
  const auto result = orbalt::kvt_impl::ConvertPlanInfo(texts, info).value;
  ORBALTKVT_FUZZ_CHECK(result == orbalt::kvt_impl::OK || result == orbalt::kvt_impl::FAULT);
  if (texts.size() != 8) {
    ORBALTKVT_FUZZ_CHECK(result == orbalt::kvt_impl::FAULT && info.pt_name.empty());
    return 0;
  }
  // The texts are taken whatever the numbers turn out to be.
  ORBALTKVT_FUZZ_CHECK(info.pt_name == texts[0] && info.node_name == texts[1] &&
                       info.node_path == texts[2] && info.node_path_time_period == texts[3] &&
                       info.node_path_number == texts[4] && info.assigned_plan_name == texts[5]);
  return 0;
}
