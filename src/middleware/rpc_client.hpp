// Typed, blocking request/reply over a Zenoh query.
#pragma once

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "zenoh.hxx"

namespace orbalt::zenoh_mdw {

/// Sends one `Req` as the payload of a Zenoh query on a fixed key expression and waits a bounded
/// time for the first reply that decodes as a `Rep`.
///
/// `Req` is encoded through `zenoh::ext::Serializer` and `Rep` decoded through
/// `zenoh::ext::deserialize` (a reply with bytes left over does not decode). `Rep` must be
/// default-constructible and move-assignable.
///
/// @note Thread-safe: calls run strictly one after another; a second caller blocks until the
/// first call has returned.
template <class Req, class Rep>
class RpcClient {
 public:
  /// Stores `session` and `key_expr`; nothing is declared or sent.
  RpcClient(std::shared_ptr<zenoh::Session> session, std::string key_expr)
      : session_(std::move(session)), key_expr_(std::move(key_expr)) {}

  RpcClient(const RpcClient&) = delete;
  RpcClient& operator=(const RpcClient&) = delete;
  RpcClient(RpcClient&&) = delete;
  RpcClient& operator=(RpcClient&&) = delete;

  /// Sends `request` and waits up to `timeout_s` seconds for a reply.
  ///
  /// Error replies and replies that do not decode are ignored; the first reply that decodes is
  /// taken, whatever it says. The wait ends early when the query ends without such a reply. The
  /// query itself is issued with the same timeout in whole milliseconds; 0 (also for a negative
  /// or non-finite `timeout_s`) leaves it at the session's default, and then the call does not
  /// wait at all.
  ///
  /// @param request sent as the query payload
  /// @param reply replaced by the accepted reply; untouched when the result is false
  /// @param timeout_s how long to wait, in seconds
  /// @return whether a reply was accepted in time. False as well when the key expression is
  /// invalid or the query cannot be issued; nothing is logged.
  /// @throw zenoh::ZException when `request` cannot be encoded (the client stays usable)
  bool SendRequestAndGetReply(const Req& request, Rep& reply, double timeout_s) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto state = std::make_shared<RequestState>();
    const std::int64_t timeout_ms = ToMilliseconds(timeout_s);

    zenoh::ext::Serializer serializer;
    serializer.serialize(request);

    zenoh::GetOptions options;
    options.target = zenoh::QueryTarget::BEST_MATCHING;
    options.priority = zenoh::Priority::DATA;
    options.congestion_control = zenoh::CongestionControl::BLOCK;
    options.is_express = false;
    options.payload = std::move(serializer).finish();
    options.encoding = zenoh::Encoding::ZENOH_SERIALIZED;
    options.timeout_ms = static_cast<std::uint64_t>(timeout_ms);

    if (!session_) return false;
    try {
      const zenoh::KeyExpr key_expr(key_expr_);
      // Each handler keeps its own share of the state, so replies that come after this call gave
      // up land in a state nobody reads any more.
      session_->get(
          key_expr, "", [state](const zenoh::Reply& r) { OnReply(*state, r); },
          [state] { OnDrop(*state); }, std::move(options));
    } catch (...) {
      return false;
    }

    std::unique_lock<std::mutex> state_lock(state->state_mutex);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    state->cv.wait_until(state_lock, deadline, [&state] { return state->done; });
    if (state->has_reply) reply = std::move(state->reply);
    return state->has_reply;
  }

 private:
  struct RequestState {
    std::mutex state_mutex;
    std::condition_variable cv;
    Rep reply{};
    bool done = false;
    bool has_reply = false;
  };

  // Far beyond any sensible wait, yet small enough that adding it to the steady clock cannot
  // overflow.
  static constexpr double kMaxTimeoutMs = 1e12;

  static std::int64_t ToMilliseconds(double timeout_s) {
    const double ms = timeout_s * 1000.0;
    if (!(ms > 0.0)) return 0;  // also NaN; a negative field would mean an endless query
    if (ms > kMaxTimeoutMs) return static_cast<std::int64_t>(kMaxTimeoutMs);
    return static_cast<std::int64_t>(ms);
  }

  static void OnReply(RequestState& state, const zenoh::Reply& r) noexcept {
    if (!r.is_ok()) return;
    try {
      Rep decoded = zenoh::ext::deserialize<Rep>(r.get_ok().get_payload());
      std::lock_guard<std::mutex> lock(state.state_mutex);
      if (state.done && state.has_reply) return;
      state.reply = std::move(decoded);
      state.done = true;
      state.has_reply = true;
      state.cv.notify_all();
    } catch (...) {
      // A reply that does not decode is not an answer; the query may still bring a good one.
    }
  }

  static void OnDrop(RequestState& state) noexcept {
    try {
      std::lock_guard<std::mutex> lock(state.state_mutex);
      state.done = true;
      state.cv.notify_all();
    } catch (...) {
      // Only a failing lock can land here; the waiter then runs into its deadline.
    }
  }

  std::mutex mutex_;
  std::shared_ptr<zenoh::Session> session_;
  std::string key_expr_;
};

}  // namespace orbalt::zenoh_mdw
