// Handles through which the stream intake and the RPC service reach the session.
#pragma once

#include <memory>

#include "middleware/shared_session.hpp"

namespace orbalt::zenoh_mdw {

/// Node for the stream subscriptions.
struct RealtimeNode {
  std::shared_ptr<zenoh::Session> session_ = GetSharedZenohSession();
};

/// Node for request/reply traffic.
struct ReliableNode {
  std::shared_ptr<zenoh::Session> session_ = GetSharedZenohSession();
};

}  // namespace orbalt::zenoh_mdw
