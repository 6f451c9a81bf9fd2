#include "messages/rpc_messages.hpp"

#include "messages/serdetail.hpp"

namespace orbalt::zenoh_msgs::kvt_msg {

namespace {

bool WriteUint16(zenoh::ext::Serializer& s, std::uint16_t value, zenoh::ZResult* err) {
  const zenoh::ZResult r = s.write_scalar(value);
  if (r != zenoh::Z_OK) {
    zenoh::detail::report(r, err, "Failed to serialize uint16_t");
    return false;
  }
  return true;
}

}  // namespace

bool __zenoh_serialize_with_serializer(zenoh::ext::Serializer& s, const RPCRequest& request,
                                       zenoh::ZResult* err) {
  if (!WriteUint16(s, request.request_id, err)) return false;
  const zenoh::ZResult r = s.write_sequence_length(request.joint_groups.size());
  if (r != zenoh::Z_OK) {
    zenoh::detail::report(r, err, "Failed to serialize sequence length");
    return false;
  }
  for (const std::uint16_t group : request.joint_groups) {
    if (!WriteUint16(s, group, err)) return false;
  }
  return true;
}

bool __zenoh_deserialize_with_deserializer(zenoh::ext::Deserializer& d, RPCReply& reply,
                                           zenoh::ZResult* err) {
  using serdetail::Des;
  using zenoh::ext::__zenoh_deserialize_with_deserializer;
  return __zenoh_deserialize_with_deserializer(d, reply.request_id, err) &&
         __zenoh_deserialize_with_deserializer(d, reply.success, err) &&
         Des(d, reply.joint_groups, err) &&
         __zenoh_deserialize_with_deserializer(d, reply.int_container, err) &&
         __zenoh_deserialize_with_deserializer(d, reply.string_container, err) &&
         Des(d, reply.float_container, err) &&
         __zenoh_deserialize_with_deserializer(d, reply.float2d_container, err);
}

}  // namespace orbalt::zenoh_msgs::kvt_msg
