// One bare zenoh query of the robot's request/reply service, without the library's RPC client:
// the reference the benchmarks put next to the library's own figures.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "messages/rpc_messages.hpp"
#include "zenoh.hxx"

namespace orbalt::bench {

class RawQuery {
 public:
  RawQuery(std::shared_ptr<zenoh::Session> session, std::string key, std::uint16_t request_id,
           std::uint64_t timeout_ms)
      : session_(std::move(session)), key_(std::move(key)), timeout_ms_(timeout_ms) {
    zenoh::ext::Serializer s;
    s.serialize(orbalt::zenoh_msgs::kvt_msg::RPCRequest{request_id, {}});
    payload_ = std::move(s).finish();
  }

  // Sends one query; `took` is the time until a good reply was in hand (or the query ended).
  // Returns once the query has ended, so the next one never overlaps it; false without a reply.
  bool Run(std::chrono::nanoseconds& took) {
    using namespace std::chrono_literals;
    struct State {
      std::mutex m;
      std::condition_variable cv;
      std::vector<std::uint8_t> reply;
      bool replied = false;
      bool ended = false;
    };
    auto state = std::make_shared<State>();
    zenoh::GetOptions options;
    options.payload = payload_;
    options.encoding = zenoh::Encoding::ZENOH_SERIALIZED;
    options.timeout_ms = timeout_ms_;
    const auto start = std::chrono::steady_clock::now();
    session_->get(
        zenoh::KeyExpr(key_), "",
        [state](const zenoh::Reply& r) {
          if (!r.is_ok()) return;
          std::lock_guard<std::mutex> lock(state->m);
          state->reply = r.get_ok().get_payload().as_vector();
          state->replied = true;
          state->cv.notify_all();
        },
        [state] {
          std::lock_guard<std::mutex> lock(state->m);
          state->ended = true;
          state->cv.notify_all();
        },
        std::move(options));
    std::unique_lock<std::mutex> lock(state->m);
    state->cv.wait_for(lock, 3s, [&] { return state->replied || state->ended; });
    took = std::chrono::steady_clock::now() - start;
    // Let the query finish before the next one starts, outside the timing.
    state->cv.wait_for(lock, 3s, [&] { return state->ended; });
    return state->replied;
  }

 private:
  std::shared_ptr<zenoh::Session> session_;
  std::string key_;
  std::uint64_t timeout_ms_;
  zenoh::Bytes payload_;
};

}  // namespace orbalt::bench
