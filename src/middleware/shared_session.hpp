// The process-wide Zenoh session.
#pragma once

#include <memory>

#include "zenoh.hxx"

namespace orbalt::zenoh_mdw {

/// Returns shared ownership of the open process-wide session, opening it from Zenoh's default
/// configuration when no holder is left. Thread-safe: concurrent first calls open one session.
///
/// @throw zenoh::ZException "Failed to create default configuration" or "Failed to open session"
std::shared_ptr<zenoh::Session> GetSharedZenohSession();

}  // namespace orbalt::zenoh_mdw
