#include "rpc/data_rpc.hpp"

#include <spdlog/spdlog.h>

#include <cstddef>
#include <exception>
#include <memory>
#include <utility>

#include "messages/kvt_constants.hpp"
#include "rpc/c_numbers.hpp"

namespace orbalt::kvt_impl {

namespace {

using zenoh_msgs::kvt_msg::RPCReply;
using zenoh_msgs::kvt_msg::RPCRequest;

constexpr double kProbeTimeoutS = 1.0;
constexpr double kRequestTimeoutS = 2.0;
constexpr const char* kRpcSuffix = "/rpc";

constexpr std::size_t kPlanInfoSize = 8;
constexpr std::size_t kManipulabilityRowSize = 8;
constexpr std::size_t kManipulabilityFirstValue = 2;

ObrState Ok() { return _MakeObrState(OK); }
ObrState Fault() { return _MakeObrState(FAULT); }

RPCRequest MakeRequest(std::uint16_t request_id) {
  RPCRequest request;
  request.request_id = request_id;
  return request;
}

// A DoF travels as a float; converting one that is negative, not finite or beyond uint64 would be
// undefined, so such a row cannot be taken.
bool IsValidDoF(float dof) { return dof >= 0.0f && dof < 0x1p64f; }

}  // namespace

ObrState DataRpc::Init(const zenoh_mdw::ReliableNode& node, const std::string& serial_number) {
  const std::string topic = std::string(kTopicPrefix) + serial_number + kRpcSuffix;
  spdlog::debug("[orbalt::kvt::Client] Creating RPC client on topic: {}", topic);
  std::atomic_store(&rpc_client_, std::make_shared<RpcClientType>(node.session_, topic));
  return Ok();
}

bool DataRpc::Call(const RPCRequest& request, RPCReply& reply, double timeout_s,
                   bool expect_success) const {
  // A concurrent Init may swap the client; this call keeps the one it started with.
  const auto client = std::atomic_load(&rpc_client_);
  if (!client) {
    spdlog::debug("[orbalt::kvt::DataRpc] RPC client not initialized, request_id={}",
                  request.request_id);
    return false;
  }
  if (!client->SendRequestAndGetReply(request, reply, timeout_s)) {
    spdlog::debug("Failed to send remote call or server reply timeout");
    return false;
  }
  if (reply.success != expect_success || reply.request_id != request.request_id) {
    spdlog::debug("Remote procedure failed");
    return false;
  }
  return true;
}

bool DataRpc::IsConnected() const {
  RPCReply reply;
  // The service answers the probe with success false: that is how it is recognised.
  return Call(MakeRequest(zenoh_msgs::kvt_msg::kRpcConnectionProbe), reply, kProbeTimeoutS, false);
}

ObrState DataRpc::RequestFloatList(std::uint16_t request_id, std::vector<double>& values) const {
  RPCReply reply;
  if (!Call(MakeRequest(request_id), reply, kRequestTimeoutS, true)) return Fault();
  values.assign(reply.float_container.begin(), reply.float_container.end());
  return Ok();
}

ObrState DataRpc::RequestStringList(std::uint16_t request_id,
                                    std::vector<std::string>& values) const {
  RPCReply reply;
  if (!Call(MakeRequest(request_id), reply, kRequestTimeoutS, true)) return Fault();
  if (spdlog::should_log(spdlog::level::debug)) {
    spdlog::debug(
        "[orbalt::kvt::DataRpc] RPC reply request_id={} success={} string_container_size={}",
        reply.request_id, reply.success, reply.string_container.size());
    for (std::size_t i = 0; i < reply.string_container.size(); ++i) {
      spdlog::debug("[orbalt::kvt::DataRpc] string_container[{}] = {}", i,
                    reply.string_container[i]);
    }
  }
  values = std::move(reply.string_container);
  return Ok();
}

ObrState DataRpc::RequestKVTVersion(std::string& version) const {
  std::vector<std::string> list;
  if (RequestStringList(zenoh_msgs::kvt_msg::kRpcKVTVersion, list).value != OK) return Fault();
  if (list.empty()) return Fault();
  version = list.front();
  spdlog::debug("Received KVT server version = {}", version);
  return Ok();
}

ObrState DataRpc::RequestStartIdAndDoF(const std::vector<kvt::JointGroup>& joint_groups,
                                       std::map<kvt::JointGroup, std::uint32_t>& start_ids,
                                       std::map<kvt::JointGroup, std::uint64_t>& dofs) const {
  RPCRequest request = MakeRequest(zenoh_msgs::kvt_msg::kRpcStartIdAndDoF);
  request.joint_groups.reserve(joint_groups.size());
  for (const kvt::JointGroup group : joint_groups) {
    request.joint_groups.push_back(static_cast<std::uint16_t>(group));
  }
  RPCReply reply;
  if (!Call(request, reply, kRequestTimeoutS, true)) return Fault();

  const std::size_t n = reply.int_container.size();
  if (reply.joint_groups.size() != n || reply.float_container.size() != n) {
    spdlog::error(
        "Malformed start ID reply: size mismatch between joint_groups, int_container, and "
        "float_container");
    return Fault();
  }
  // Checked before anything is written, so a bad row leaves both maps as they were.
  for (const float dof : reply.float_container) {
    if (!IsValidDoF(dof)) {
      spdlog::error("Malformed start ID reply: invalid DoF value [{}]", dof);
      return Fault();
    }
  }
  start_ids.clear();
  dofs.clear();
  for (std::size_t i = 0; i < n; ++i) {
    const auto group = static_cast<kvt::JointGroup>(reply.joint_groups[i]);
    start_ids[group] = static_cast<std::uint32_t>(reply.int_container[i]);
    dofs[group] = static_cast<std::uint64_t>(reply.float_container[i]);
  }
  return Ok();
}

ObrState ConvertPlanInfo(const std::vector<std::string>& list, kvt::PlanInfo& info) {
  if (list.size() != kPlanInfoSize) {
    spdlog::error("[orbalt::kvt::Client] Size of plan info container is incorrect");
    return Fault();
  }
  info.pt_name = list[0];
  info.node_name = list[1];
  info.node_path = list[2];
  info.node_path_time_period = list[3];
  info.node_path_number = list[4];
  info.assigned_plan_name = list[5];
  try {
    info.velocity_scale = StodC(list[6]);
    info.waiting_for_step = StoiC(list[7]) != 0;
  } catch (const std::exception& e) {
    spdlog::error("Invalid PlanInfo string conversion: {}", e.what());
    return Fault();
  }
  return Ok();
}

ObrState DataRpc::RequestPlanInfo(kvt::PlanInfo& info) const {
  std::vector<std::string> list;
  if (RequestStringList(zenoh_msgs::kvt_msg::kRpcPlanInfo, list).value != OK) return Fault();
  return ConvertPlanInfo(list, info);
}

ObrState DataRpc::RequestManipulability(
    std::map<kvt::JointGroup, std::array<double, 6>>& values) const {
  RPCReply reply;
  if (!Call(MakeRequest(zenoh_msgs::kvt_msg::kRpcManipulability), reply, kRequestTimeoutS, true)) {
    return Fault();
  }
  if (reply.joint_groups.size() != reply.float2d_container.size()) {
    spdlog::error(
        "Malformed manipulability reply: size mismatch between joint_groups and "
        "float2d_container");
    return Fault();
  }
  values.clear();
  for (std::size_t i = 0; i < reply.float2d_container.size(); ++i) {
    const std::vector<float>& row = reply.float2d_container[i];
    if (row.size() < kManipulabilityRowSize) {
      spdlog::error(
          "Malformed manipulability reply: packed vector size [{}], expecting at least [{}]",
          row.size(), kManipulabilityRowSize);
      return Fault();
    }
    std::array<double, 6> group_values{};
    for (std::size_t k = 0; k < group_values.size(); ++k) {
      group_values[k] = row[kManipulabilityFirstValue + k];
    }
    values[static_cast<kvt::JointGroup>(reply.joint_groups[i])] = group_values;
  }
  return Ok();
}

ObrState DataRpc::RequestPtStates(std::vector<std::string>& entries) const {
  return RequestStringList(zenoh_msgs::kvt_msg::kRpcPtStates, entries);
}

}  // namespace orbalt::kvt_impl
