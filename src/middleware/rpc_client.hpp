// Typed, blocking request/reply over a Zenoh query.
#pragma once

#include <chrono>
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
      session_->get(
          key_expr, "", [state](const zenoh::Reply& r) { state->OnReply(r); },
          [state] { state->OnDrop(); }, std::move(options));
    } catch (...) {
      return false;
    }

    std::unique_lock<std::mutex> state_lock(state->state_mutex);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    state->cv.wait_until(state_lock, deadline, [&state] { return state->done; });
    if (state->has_reply) reply = std::move(state->reply);
    return state->has_reply;
  }

  /// The state of one call, shared by the calling thread and the query's two handlers so that it
  /// outlives whichever lets go last; a reply that comes after the caller gave up lands here and
  /// is freed with it. Goes from waiting to done exactly once; a stored reply is never replaced.
  struct RequestState {
    std::mutex state_mutex;
    std::condition_variable cv;  ///< notified whenever `done` is set
    Rep reply{};
    bool done = false;
    bool has_reply = false;

    /// Reply handler, once per reply on a transport thread. Error replies and replies that do
    /// not decode are dropped; the first reply that decodes is stored.
    void OnReply(const zenoh::Reply& r) noexcept {
      if (!r.is_ok()) return;
      try {
        Rep decoded = zenoh::ext::deserialize<Rep>(r.get_ok().get_payload());
        std::lock_guard<std::mutex> lock(state_mutex);
        if (done && has_reply) return;
        reply = std::move(decoded);
        done = true;
        has_reply = true;
        cv.notify_all();
      } catch (...) {
        // Not an answer; the query may still bring a good one.
      }
    }

    /// Drop handler, once after the last reply: the query has ended.
    void OnDrop() noexcept {
      try {
        std::lock_guard<std::mutex> lock(state_mutex);
        done = true;
        cv.notify_all();
      } catch (...) {
        // Only a failing lock lands here; the caller then runs into its deadline.
      }
    }
  };

 private:
  // Far beyond any sensible wait, yet small enough that adding it to the steady clock cannot
  // overflow.
  static constexpr double kMaxTimeoutMs = 1e12;

  static std::int64_t ToMilliseconds(double timeout_s) {
    const double ms = timeout_s * 1000.0;
    if (!(ms > 0.0)) return 0;  // also NaN; a negative field would mean an endless query
    if (ms > kMaxTimeoutMs) return static_cast<std::int64_t>(kMaxTimeoutMs);
    return static_cast<std::int64_t>(ms);
  }

  std::mutex mutex_;
  std::shared_ptr<zenoh::Session> session_;
  std::string key_expr_;
};

}  // namespace orbalt::zenoh_mdw
