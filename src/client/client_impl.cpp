#include "client/client_impl.hpp"

#include <spdlog/spdlog.h>

#include "client/serial_number.hpp"
#include "messages/kvt_constants.hpp"

namespace orbalt::kvt {

Client::Impl::Impl(const std::string& robot_sn, bool verbose) : verbose_(verbose) {
  if (verbose_) {
    spdlog::info("| | | | | | | | | |  Orbalt KVT {}  | | | | | | | | | |",
                 kvt_impl::kClientVersion);
  }
  const std::string serial_number = kvt_impl::NormalizeSerialNumber(robot_sn);
  (void)serial_number;
}

Client::Impl::~Impl() = default;

}  // namespace orbalt::kvt
