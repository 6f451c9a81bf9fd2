// The connection orchestrator: everything that talks to one robot.
#pragma once

#include <string>

#include "middleware/nodes.hpp"
#include "rpc/data_rpc.hpp"
#include "stream/data_stream.hpp"
#include "stream/obr_state.hpp"

namespace orbalt::kvt_impl {

/// Owns the two nodes on the shared session, the stream intake and the RPC service of one
/// robot, starts both services and waits until the robot's data service answers.
///
/// Construction opens no topic and sends nothing. `Init` runs once, on the caller's thread.
/// `IsConnected` may be called from several threads.
class KVTClient {
 public:
  /// @throw zenoh::ZException when the shared session cannot be opened.
  explicit KVTClient(bool verbose);
  /// Logs the exit line, then stops the RPC service and the stream intake.
  virtual ~KVTClient();

  KVTClient(const KVTClient&) = delete;
  KVTClient& operator=(const KVTClient&) = delete;

  /// Starts the stream intake, then the RPC service, on the robot `serial_number`'s topics.
  ObrState InitMiddleware(const std::string& serial_number);

  /// Starts both services and probes the robot up to three times.
  /// @throw std::runtime_error when a service cannot be started or the robot does not answer.
  void Init(const std::string& serial_number);

  /// One probe of the robot's data service (up to 1 s); nothing is cached.
  bool IsConnected();

  DataStream& data_stream() { return data_stream_; }
  DataRpc& data_rpc() { return data_rpc_; }

 private:
  zenoh_mdw::ReliableNode reliable_node_;
  zenoh_mdw::RealtimeNode realtime_node_;
  DataStream data_stream_;
  DataRpc data_rpc_;
  bool verbose_;
};

}  // namespace orbalt::kvt_impl
