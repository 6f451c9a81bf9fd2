// The implementation behind orbalt::kvt::Client.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "orbalt/kvt/client.hpp"

namespace orbalt::kvt_impl {
class KVTClient;
}

namespace orbalt::kvt {

// A nested class takes its enclosing class's visibility; the implementation is not exported.
class __attribute__((visibility("hidden"))) Client::Impl {
 public:
  /// Runs the whole start-up sequence on the caller's thread; throws when any step fails.
  Impl(const std::string& robot_sn, bool verbose);
  virtual ~Impl();

  Impl(const Impl&) = delete;
  Impl& operator=(const Impl&) = delete;

  /// Fetches the primitive-state entries (retrying while the list holds empty entries) and
  /// parses them per joint group.
  std::map<JointGroup, PrimitiveStates> primitive_states() const;

  std::shared_ptr<kvt_impl::KVTClient> kvt_client_;
  bool verbose_ = false;
  std::string serial_number_;  ///< normalized
  std::map<JointGroup, std::uint32_t> start_ids_;
  std::map<JointGroup, std::uint64_t> dofs_;
  std::map<JointGroup, std::string> joint_groups_;
};

}  // namespace orbalt::kvt
