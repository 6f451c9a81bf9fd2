// A basic stream sample as the subscriber decodes it, then every reader of the basic stream.
#include <cstddef>
#include <cstdint>
#include <utility>

#include "fuzz/fuzz_support.hpp"
#include "fuzz/stream_readers.hpp"
#include "messages/stream_messages.hpp"
#include "stream/data_stream_access.hpp"

using orbalt::zenoh_msgs::kvt_msg::AllBasicStreamData;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  orbalt::fuzz::SilenceLogs();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  AllBasicStreamData sample;
  try {
    sample = zenoh::ext::deserialize<AllBasicStreamData>(zenoh::Bytes::view(data, size));
  } catch (const zenoh::ZException& e) {
    ORBALTKVT_FUZZ_CHECK(e.e == zenoh::Z_EDESERIALIZE);
    return 0;
  }
  const std::size_t blocks = sample.cartesian_data.size();
  const bool counts_agree = blocks == sample.joint_group_indices.size();

  orbalt::kvt_impl::DataStream stream;
  orbalt::kvt_impl::DataStreamTestAccess::PublishBasic(stream, std::move(sample));
  orbalt::fuzz::ReadGroups(stream, true);
  for (const auto& layout : orbalt::fuzz::Layouts()) {
    const auto states = stream.GetRobotStates(layout.names, layout.start_ids, layout.dofs);
    ORBALTKVT_FUZZ_CHECK(counts_agree || states.empty());
    for (const auto& [group, s] : states) {
      orbalt::fuzz::CheckSlice(layout, group, s.q);
      orbalt::fuzz::CheckSlice(layout, group, s.temperature);
    }
    for (const auto& [group, v] :
         stream.GetMultiContactForces(layout.names, layout.start_ids, layout.dofs)) {
      orbalt::fuzz::CheckSlice(layout, group, v);
    }
    for (const auto& [group, v] :
         stream.GetMultiContactPositions(layout.names, layout.start_ids, layout.dofs)) {
      orbalt::fuzz::CheckSlice(layout, group, v);
    }
  }
  static_cast<void>(stream.GetSystemState());
  static_cast<void>(stream.GetSafetyBoardState());
  static_cast<void>(stream.GetSafetyInputs());
  static_cast<void>(stream.IsEstopReleased());
  static_cast<void>(stream.IsEnablingDeviceOn());
  static_cast<void>(stream.GetDigitalInput());
  static_cast<void>(stream.GetDigitalOutput());
  return 0;
}
