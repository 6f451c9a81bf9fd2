// Constants shared by the client, stream and RPC code.
#pragma once

namespace orbalt::kvt_impl {

/// First part of every per-robot key expression; the normalized serial number and a topic
/// suffix follow.
inline constexpr const char* kTopicPrefix = "orbalt/robot/";

/// The only data-service version this client accepts.
inline constexpr const char* kClientVersion = "v2.1";

}  // namespace orbalt::kvt_impl
