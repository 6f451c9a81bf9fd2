// A data-service reply as the request/reply client decodes it. A reply that decodes is encoded
// again, field by field in wire order, and must decode to the same values.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz/fuzz_support.hpp"
#include "messages/rpc_messages.hpp"

using orbalt::zenoh_msgs::kvt_msg::RPCReply;

namespace {

template <class T>
void Put(zenoh::ext::Serializer& s, const T& field) {
  ORBALTKVT_FUZZ_CHECK(zenoh::ext::__zenoh_serialize_with_serializer(s, field, nullptr));
}

zenoh::Bytes Encode(const RPCReply& r) {
  zenoh::ext::Serializer s;
  Put(s, r.request_id);
  Put(s, r.success);
  Put(s, r.joint_groups);
  Put(s, r.int_container);
  Put(s, r.string_container);
  Put(s, r.float_container);
  Put(s, r.float2d_container);
  return std::move(s).finish();
}

// Floats compare by their bits: a NaN from the robot must come back as the same NaN.
bool SameBits(const std::vector<float>& a, const std::vector<float>& b) {
  return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * 4) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  RPCReply reply;
  try {
    reply = zenoh::ext::deserialize<RPCReply>(zenoh::Bytes::view(data, size));
  } catch (const zenoh::ZException& e) {
    ORBALTKVT_FUZZ_CHECK(e.e == zenoh::Z_EDESERIALIZE);
    return 0;
  }
  const zenoh::Bytes again = Encode(reply);
  ORBALTKVT_FUZZ_CHECK(again.size() <= size);  // our lengths are the shortest form
  const auto copy = zenoh::ext::deserialize<RPCReply>(again);
  ORBALTKVT_FUZZ_CHECK(copy.request_id == reply.request_id && copy.success == reply.success);
  ORBALTKVT_FUZZ_CHECK(copy.joint_groups == reply.joint_groups);
  ORBALTKVT_FUZZ_CHECK(copy.int_container == reply.int_container);
  ORBALTKVT_FUZZ_CHECK(copy.string_container == reply.string_container);
  ORBALTKVT_FUZZ_CHECK(SameBits(copy.float_container, reply.float_container));
  ORBALTKVT_FUZZ_CHECK(copy.float2d_container.size() == reply.float2d_container.size());
  for (std::size_t i = 0; i < copy.float2d_container.size(); ++i) {
    ORBALTKVT_FUZZ_CHECK(SameBits(copy.float2d_container[i], reply.float2d_container[i]));
  }
  return 0;
}
