// An extra stream sample as the subscriber decodes it, then the readers of the extra stream.
#include <cstddef>
#include <cstdint>
#include <utility>

#include "fuzz/fuzz_support.hpp"
#include "fuzz/stream_readers.hpp"
#include "messages/stream_messages.hpp"
#include "stream/data_stream_access.hpp"

using orbalt::zenoh_msgs::kvt_msg::AllExtraStreamData;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  orbalt::fuzz::SilenceLogs();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  AllExtraStreamData sample;
  try {
    sample = zenoh::ext::deserialize<AllExtraStreamData>(zenoh::Bytes::view(data, size));
  } catch (const zenoh::ZException& e) {
    ORBALTKVT_FUZZ_CHECK(e.e == zenoh::Z_EDESERIALIZE);
    return 0;
  }
  const bool counts_agree = sample.cartesian_data.size() == sample.joint_group_indices.size();

  orbalt::kvt_impl::DataStream stream;
  orbalt::kvt_impl::DataStreamTestAccess::PublishExtra(stream, std::move(sample));
  orbalt::fuzz::ReadGroups(stream, false);
  for (const auto& layout : orbalt::fuzz::Layouts()) {
    const auto actions = stream.GetRobotActions(layout.names, layout.start_ids, layout.dofs);
    ORBALTKVT_FUZZ_CHECK(counts_agree || actions.empty());
    for (const auto& [group, a] : actions) {
      orbalt::fuzz::CheckSlice(layout, group, a.q_d);
      orbalt::fuzz::CheckSlice(layout, group, a.tau_d);
    }
  }
  return 0;
}
