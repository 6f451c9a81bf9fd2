#include "client/client_impl.hpp"

#include <spdlog/spdlog.h>

#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

#include "client/kvt_client.hpp"
#include "client/primitive_states_parser.hpp"
#include "client/serial_number.hpp"
#include "messages/kvt_constants.hpp"

namespace orbalt::kvt {

namespace {

constexpr auto kStreamSettleTime = std::chrono::milliseconds(100);
constexpr int kPrimitiveStateAttempts = 6;

}  // namespace

Client::Impl::Impl(const std::string& robot_sn, bool verbose) : verbose_(verbose) {
  if (verbose_) {
    spdlog::info("| | | | | | | | | |  Orbalt KVT {}  | | | | | | | | | |",
                 kvt_impl::kClientVersion);
  }
  const std::string serial_number = kvt_impl::NormalizeSerialNumber(robot_sn);
  serial_number_ = serial_number;

  kvt_client_ = std::make_shared<kvt_impl::KVTClient>(verbose_);
  kvt_client_->Init(serial_number);

  std::string version;
  if (kvt_client_->data_rpc().RequestKVTVersion(version).value != kvt_impl::OK) {
    throw std::runtime_error("[orbalt::kvt::Client] Failed to sync KVT server version");
  }
  if (version != kvt_impl::kClientVersion) {
    throw std::logic_error(
        "[orbalt::kvt::Client] Version of this client is incompatible with robot [" +
        serial_number + "]");
  }

  // Gives the stream subscriptions time to receive their first samples; sleep_for resumes after
  // a signal for the remaining time.
  std::this_thread::sleep_for(kStreamSettleTime);
  joint_groups_ = kvt_client_->data_stream().GetJointGroups(true);

  std::vector<JointGroup> all_groups;
  for (int v = 0; v <= 5; ++v) {
    const auto group = static_cast<JointGroup>(v);
    if (kJointGroupNames.count(group) != 0) all_groups.push_back(group);
  }
  if (all_groups.size() + 1 != kJointGroupNames.size()) {
    throw std::logic_error("[orbalt::kvt::Client] Number of all joint groups is wrong");
  }
  if (kvt_client_->data_rpc().RequestStartIdAndDoF(all_groups, start_ids_, dofs_).value !=
      kvt_impl::OK) {
    throw std::runtime_error(
        "[orbalt::kvt::Client] Failed to obtain robot start ID and DoF information");
  }

  if (verbose_) {
    for (const auto& [group, dof] : dofs_) {
      spdlog::info("[orbalt::kvt::Client] Joint group: {}, DoF: {}", kJointGroupNames.at(group),
                   dof);
    }
    spdlog::info("[orbalt::kvt::Client] Initialization complete");
  }
}

Client::Impl::~Impl() = default;

std::map<JointGroup, PrimitiveStates> Client::Impl::primitive_states() const {
  std::vector<std::string> entries;
  for (int attempt = 1;; ++attempt) {
    entries.clear();
    if (kvt_client_->data_rpc().RequestPtStates(entries).value != kvt_impl::OK) {
      throw std::runtime_error("[orbalt::kvt::Client::primitive_states] No reply from the robot");
    }
    if (entries.empty()) return {};
    const bool corrupted =
        std::any_of(entries.begin(), entries.end(), [](const auto& e) { return e.empty(); });
    if (!corrupted) break;
    if (attempt == kPrimitiveStateAttempts) {
      throw std::runtime_error(
          "[orbalt::kvt::Client::primitive_states] Still received corrupted data after several "
          "attempts");
    }
  }
  return kvt_impl::ParsePrimitiveStates(entries, joint_groups_);
}

}  // namespace orbalt::kvt
