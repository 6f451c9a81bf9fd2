#include "orbalt/kvt/client.hpp"

#include <stdexcept>

#include "client/client_impl.hpp"
#include "client/configuration_score.hpp"
#include "client/kvt_client.hpp"

namespace orbalt::kvt {

Client::Client(const std::string& robot_sn, bool verbose)
    : pimpl_(std::make_unique<Impl>(robot_sn, verbose)) {}

Client::~Client() = default;

bool Client::connected() const { return pimpl_->kvt_client_->IsConnected(); }

std::map<JointGroup, std::string> Client::groups() const {
  return pimpl_->kvt_client_->data_stream().GetJointGroups(true);
}

std::map<JointGroup, RobotStates> Client::states() const {
  return pimpl_->kvt_client_->data_stream().GetRobotStates(pimpl_->joint_groups_,
                                                           pimpl_->start_ids_, pimpl_->dofs_);
}

std::map<JointGroup, RobotActions> Client::actions() const {
  return pimpl_->kvt_client_->data_stream().GetRobotActions(pimpl_->joint_groups_,
                                                            pimpl_->start_ids_, pimpl_->dofs_);
}

std::map<JointGroup, PrimitiveStates> Client::primitive_states() const {
  return pimpl_->primitive_states();
}

std::map<JointGroup, std::pair<double, double>> Client::configuration_score() const {
  std::map<JointGroup, std::array<double, 6>> manipulability;
  if (pimpl_->kvt_client_->data_rpc().RequestManipulability(manipulability).value != kvt_impl::OK) {
    throw std::runtime_error("[orbalt::kvt::Model::configuration_score] No reply from the robot");
  }
  return kvt_impl::ConfigurationScores(manipulability);
}

PlanInfo Client::plan_info() const {
  PlanInfo info{};
  if (pimpl_->kvt_client_->data_rpc().RequestPlanInfo(info).value != kvt_impl::OK) {
    throw std::runtime_error("[orbalt::kvt::Client] plan_info: No reply from the robot");
  }
  return info;
}

bool Client::estop_released() const { return pimpl_->kvt_client_->data_stream().IsEstopReleased(); }

bool Client::enabling_device_on() const {
  return pimpl_->kvt_client_->data_stream().IsEnablingDeviceOn();
}

std::array<bool, 20> Client::digital_inputs() const {
  return pimpl_->kvt_client_->data_stream().GetDigitalInput();
}

std::array<bool, 20> Client::digital_outputs() const {
  return pimpl_->kvt_client_->data_stream().GetDigitalOutput();
}

}  // namespace orbalt::kvt
