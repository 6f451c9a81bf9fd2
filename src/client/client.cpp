#include "orbalt/kvt/client.hpp"

#include "client/client_impl.hpp"

namespace orbalt::kvt {

Client::Client(const std::string& robot_sn, bool verbose)
    : pimpl_(std::make_unique<Impl>(robot_sn, verbose)) {}

Client::~Client() = default;

}  // namespace orbalt::kvt
