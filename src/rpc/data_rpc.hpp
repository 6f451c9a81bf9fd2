// The client side of the robot's data service.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "messages/rpc_messages.hpp"
#include "middleware/nodes.hpp"
#include "middleware/rpc_client.hpp"
#include "orbalt/kvt/joint_group.hpp"
#include "orbalt/kvt/plan_info.hpp"
#include "stream/obr_state.hpp"

namespace orbalt::kvt_impl {

/// Fills `info` from the eight texts of a plan-info reply: six texts as they are, then the
/// velocity scale and the waiting-for-step flag as numbers. Malformed replies are logged at
/// error level. When the number texts do not convert, the text fields have been replaced
/// already.
/// @return `OK`, or `FAULT` for a list that is not eight long or numbers that do not convert
ObrState ConvertPlanInfo(const std::vector<std::string>& list, kvt::PlanInfo& info);

/// Request/reply operations against the data service on "orbalt/robot/" + serial number + "/rpc".
///
/// Every request operation returns `OK` (100000) on success and `FAULT` (300000) on any failure,
/// and writes its outputs only where stated. Transport failures and rejected replies are logged at
/// debug level, malformed replies at error level, on the default logger. An operation called
/// before `Init` fails the same way (the probe returns false).
///
/// @note Thread-safe: the operations may be called from any thread; they run one after another,
/// so a call may block behind another for up to that call's timeout. A call that runs while
/// `Init` replaces the client finishes on the client it started with.
class DataRpc {
 public:
  using RpcClientType =
      zenoh_mdw::RpcClient<zenoh_msgs::kvt_msg::RPCRequest, zenoh_msgs::kvt_msg::RPCReply>;

  DataRpc() = default;
  virtual ~DataRpc() = default;
  DataRpc(const DataRpc&) = delete;
  DataRpc& operator=(const DataRpc&) = delete;

  /// Creates the request/reply client on the node's session for the robot `serial_number`
  /// (already normalized), replacing any earlier one. Nothing is sent.
  /// @return always `OK`
  ObrState Init(const zenoh_mdw::ReliableNode& node, const std::string& serial_number);

  /// Probes the service (request id 0, 1.0 s): it is reachable when it answers id 0 with
  /// `success` false.
  bool IsConnected() const;

  /// Asks for a list of numbers (2.0 s). On success `values` holds exactly the reply's floats,
  /// widened to double.
  ObrState RequestFloatList(std::uint16_t request_id, std::vector<double>& values) const;

  /// Asks for a list of texts (2.0 s). On success `values` holds exactly the reply's strings.
  ObrState RequestStringList(std::uint16_t request_id, std::vector<std::string>& values) const;

  /// Asks for the service's version text (request id 1); fails when the reply has no string.
  ObrState RequestKVTVersion(std::string& version) const;

  /// Asks for the start ID and number of degrees of freedom of `joint_groups` (request id 10,
  /// 2.0 s). On success both maps are replaced by the reply's rows, which are not compared with
  /// the groups asked about; a group listed twice keeps its last row.
  /// @param start_ids index of each group's first joint in the full-DoF sequences
  /// @param dofs number of joints of each group
  ObrState RequestStartIdAndDoF(const std::vector<kvt::JointGroup>& joint_groups,
                                std::map<kvt::JointGroup, std::uint32_t>& start_ids,
                                std::map<kvt::JointGroup, std::uint64_t>& dofs) const;

  /// Asks for the plan information (request id 4, 2.0 s). When the number texts do not convert,
  /// the text fields have been replaced already and the result is `FAULT`.
  ObrState RequestPlanInfo(kvt::PlanInfo& info) const;

  /// Asks for six manipulability values per joint group (request id 9, 2.0 s). `values` is
  /// replaced; when a row is too short the result is `FAULT` and the rows before it stay.
  ObrState RequestManipulability(std::map<kvt::JointGroup, std::array<double, 6>>& values) const;

  /// Asks for the primitive-state entries, name=value texts, unparsed (request id 3, 2.0 s).
  ObrState RequestPtStates(std::vector<std::string>& entries) const;

 private:
  // Sends `request` and applies the checks shared by every operation; false means failed and
  // already logged.
  bool Call(const zenoh_msgs::kvt_msg::RPCRequest& request, zenoh_msgs::kvt_msg::RPCReply& reply,
            double timeout_s, bool expect_success) const;

  std::shared_ptr<RpcClientType> rpc_client_;
};

}  // namespace orbalt::kvt_impl
