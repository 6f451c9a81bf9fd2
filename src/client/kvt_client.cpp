#include "client/kvt_client.hpp"

#include <spdlog/spdlog.h>

#include <chrono>
#include <stdexcept>
#include <thread>

namespace orbalt::kvt_impl {

namespace {

constexpr int kProbes = 3;
// A probe that finds no data service yet ends as soon as its query does, which right after the
// session opened is usually because discovery is still under way. Each probe is therefore given
// its whole reply budget before the next one starts, so the search lasts about three seconds at
// most, as it would against a robot that never answers.
constexpr auto kProbeBudget = std::chrono::milliseconds(1000);

}  // namespace

KVTClient::KVTClient(bool verbose) : verbose_(verbose) {}

KVTClient::~KVTClient() { spdlog::info(">>>>> Orbalt KVT exited <<<<<"); }

ObrState KVTClient::InitMiddleware(const std::string& serial_number) {
  const std::string sn = serial_number;
  spdlog::debug("[orbalt::kvt::Client] Starting communication services ...");
  auto state = data_stream_.Init(realtime_node_, sn);
  if (state.value >= FAULT) return state;
  state = data_rpc_.Init(reliable_node_, sn);
  if (state.value >= FAULT) return state;
  spdlog::debug("[orbalt::kvt::Client] Communication services started");
  return _MakeObrState(OK);
}

void KVTClient::Init(const std::string& serial_number) {
  if (InitMiddleware(serial_number).value != OK) {
    throw std::runtime_error("[orbalt::kvt::Client] Failed to start communication services");
  }
  if (verbose_) spdlog::info("[orbalt::kvt::Client] Searching for [{}] ...", serial_number);

  for (int probe = 0; probe < kProbes; ++probe) {
    const auto started = std::chrono::steady_clock::now();
    if (IsConnected()) {
      spdlog::info("[orbalt::kvt::Client] Connected to the robot");
      return;
    }
    if (probe + 1 < kProbes) std::this_thread::sleep_until(started + kProbeBudget);
  }
  throw std::runtime_error(
      "[orbalt::kvt::Client] Failed to connect to [" + serial_number +
      "]. Please check that: a) Ethernet connection with the target robot is established; b) The "
      "specified serial number of the target robot is correct; c) No firewall is active or this "
      "KVT program is whitelisted; d) KVT version is compatible with the target robot's software "
      "version");
}

bool KVTClient::IsConnected() { return data_rpc_.IsConnected(); }

}  // namespace orbalt::kvt_impl
