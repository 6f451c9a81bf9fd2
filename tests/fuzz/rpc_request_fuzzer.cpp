// The request encoder, both ways round:
// - the input read as an encoded request (uint16 id, sequence of uint16) is encoded again by the
//   library and decodes to the same request; when the input's length prefix was the shortest
//   form, the bytes are the input's;
// - the input taken as a request (first two bytes the id, the rest the groups) is encoded and
//   decodes back to itself, in exactly 2 + length prefix + 2 * groups bytes.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz/fuzz_support.hpp"
#include "messages/rpc_messages.hpp"

using orbalt::zenoh_msgs::kvt_msg::RPCRequest;

namespace {

std::size_t PrefixSize(std::size_t length) {
  std::size_t n = 1;
  for (; length >= 0x80; length >>= 7) ++n;
  return n;
}

zenoh::Bytes Encode(const RPCRequest& request) {
  zenoh::ext::Serializer s;
  ORBALTKVT_FUZZ_CHECK(__zenoh_serialize_with_serializer(s, request, nullptr));
  return std::move(s).finish();
}

// The server's reading of a request; false when `bytes` is not exactly one request.
bool Decode(const std::uint8_t* data, std::size_t size, RPCRequest& request) {
  zenoh::ext::Deserializer d(data, size);
  zenoh::ZResult err = zenoh::Z_OK;
  return zenoh::ext::__zenoh_deserialize_with_deserializer(d, request.request_id, &err) &&
         zenoh::ext::__zenoh_deserialize_with_deserializer(d, request.joint_groups, &err) &&
         d.is_done();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  RPCRequest read;
  if (Decode(data, size, read)) {
    const zenoh::Bytes again = Encode(read);
    RPCRequest back;
    ORBALTKVT_FUZZ_CHECK(Decode(again.data(), again.size(), back));
    ORBALTKVT_FUZZ_CHECK(back.request_id == read.request_id &&
                         back.joint_groups == read.joint_groups);
    ORBALTKVT_FUZZ_CHECK(again.size() <= size);
    if (again.size() == size) ORBALTKVT_FUZZ_CHECK(std::memcmp(again.data(), data, size) == 0);
  }

  RPCRequest made;
  if (size >= 2) std::memcpy(&made.request_id, data, 2);
  for (std::size_t i = 2; i + 1 < size; i += 2) {
    std::uint16_t group = 0;
    std::memcpy(&group, data + i, 2);
    made.joint_groups.push_back(group);
  }
  const zenoh::Bytes encoded = Encode(made);
  ORBALTKVT_FUZZ_CHECK(encoded.size() ==
                       2 + PrefixSize(made.joint_groups.size()) + 2 * made.joint_groups.size());
  RPCRequest back;
  ORBALTKVT_FUZZ_CHECK(Decode(encoded.data(), encoded.size(), back));
  ORBALTKVT_FUZZ_CHECK(back.request_id == made.request_id &&
                       back.joint_groups == made.joint_groups);
  return 0;
}
