// The request and reply of the robot data service, and the request ids it knows.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "zenoh.hxx"

namespace orbalt::zenoh_msgs::kvt_msg {

/// Request ids of the data service; what each reply carries is fixed per id.
inline constexpr std::uint16_t kRpcConnectionProbe = 0;
inline constexpr std::uint16_t kRpcKVTVersion = 1;
inline constexpr std::uint16_t kRpcPtStates = 3;
inline constexpr std::uint16_t kRpcPlanInfo = 4;
inline constexpr std::uint16_t kRpcManipulability = 9;
inline constexpr std::uint16_t kRpcStartIdAndDoF = 10;

/// One request to the data service.
struct RPCRequest {
  std::uint16_t request_id = 0;
  /// `JointGroup` values as uint16 (UNKNOWN travels as 65535); empty except for start IDs.
  std::vector<std::uint16_t> joint_groups;
};

/// One reply of the data service. The meaning of the containers depends on `request_id` only;
/// row i of the per-group containers belongs to `joint_groups[i]`.
struct RPCReply {
  std::uint16_t request_id = 0;
  bool success = false;
  std::vector<std::uint16_t> joint_groups;
  std::vector<std::int32_t> int_container;
  std::vector<std::string> string_container;
  std::vector<float> float_container;
  std::vector<std::vector<float>> float2d_container;
};

/// Encodes `request`: `request_id`, then `joint_groups` as a sequence of uint16.
///
/// With a null `err` a failure throws `zenoh::ZException` ("Failed to serialize uint16_t" or
/// "Failed to serialize sequence length"); otherwise its code is stored in `*err` and the result
/// is false.
bool __zenoh_serialize_with_serializer(zenoh::ext::Serializer& s, const RPCRequest& request,
                                       zenoh::ZResult* err);

/// Decodes the fields of `reply` in declaration order; `zenoh::ext::deserialize<RPCReply>` adds
/// the check that nothing follows `float2d_container`.
///
/// With a null `err` a failure throws `zenoh::ZException`; otherwise its code is stored in `*err`
/// and the result is false. `reply` is partly written after a failure.
bool __zenoh_deserialize_with_deserializer(zenoh::ext::Deserializer& d, RPCReply& reply,
                                           zenoh::ZResult* err);

}  // namespace orbalt::zenoh_msgs::kvt_msg
