// The implementation behind orbalt::kvt::Client.
#pragma once

#include <string>

#include "orbalt/kvt/client.hpp"

namespace orbalt::kvt {

class Client::Impl {
 public:
  /// Runs the whole start-up sequence on the caller's thread; throws when any step fails.
  Impl(const std::string& robot_sn, bool verbose);
  virtual ~Impl();

  Impl(const Impl&) = delete;
  Impl& operator=(const Impl&) = delete;

 private:
  bool verbose_ = false;
};

}  // namespace orbalt::kvt
