// Typed stream subscriber: decodes every sample of one topic into its owner's buffer.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "middleware/tsan_annotations.hpp"
#include "zenoh.hxx"

namespace orbalt::zenoh_mdw {

/// Subscribes to one topic on a Zenoh session, decodes every sample there as a T (through
/// `zenoh::ext::deserialize<T>`), moves it into the owner's `buffer` and then calls `notify`.
///
/// Samples that fail to decode are dropped silently: the buffer keeps its content and `notify`
/// is not called. Anything `notify` throws is swallowed; the subscription stays in force.
///
/// Samples are handled on Zenoh's threads. Zenoh may run the handler for one subscription on
/// several threads at once, so the step from the buffer write through `notify` is serialised
/// per subscriber; decoding runs outside that section. `notify` may therefore rely on the buffer
/// holding the sample it is told about.
///
/// Create with `std::make_shared`; the object is neither copied nor moved. The buffer and
/// whatever `notify` uses must outlive the object; once the destructor has returned, neither is
/// touched again, even by a handler that was already running.
template <class T>
class Subscriber {
 public:
  /// Declares the subscription; samples may arrive before the constructor returns.
  ///
  /// @param session the session to subscribe on; used during construction only
  /// @param notify called after each sample has been placed in `buffer`
  /// @param buffer where each decoded sample is moved
  /// @param topic key expression text; canonized before use
  /// @throw zenoh::ZException "Failed to construct KeyExpr from: " + topic for an invalid topic,
  ///        "Failed to declare Subscriber" when Zenoh refuses the declaration
  Subscriber(std::shared_ptr<zenoh::Session> session, std::function<void()> notify, T& buffer,
             const std::string& topic)
      : topic_(topic), intake_(std::make_shared<Intake>(std::move(notify), buffer)) {
    const zenoh::KeyExpr key_expr(topic_, true);
    subscriber_.emplace(session->declare_subscriber(
        key_expr, [intake = intake_](const zenoh::Sample& sample) { intake->Handle(sample); },
        [] {}, zenoh::SubscriberOptions{zenoh::Locality::ANY}));
  }

  /// Undeclares the subscription, then waits for a handler that is still inside its buffer
  /// write or `notify` and keeps any later one out.
  ~Subscriber() {
    subscriber_.reset();
    intake_->Close();
  }

  Subscriber(const Subscriber&) = delete;
  Subscriber& operator=(const Subscriber&) = delete;
  Subscriber(Subscriber&&) = delete;
  Subscriber& operator=(Subscriber&&) = delete;

 private:
  // Shared with the sample handler, which Zenoh may still hold (and run) after undeclaring.
  class Intake {
   public:
    Intake(std::function<void()> notify, T& buffer) : notify_(std::move(notify)), buffer_(buffer) {}

    void Handle(const zenoh::Sample& sample) noexcept {
      try {
        T message = Decode(sample.get_payload());
        std::lock_guard<std::mutex> lock(mutex_);
        if (closed_) return;
        buffer_ = std::move(message);
        notify_();
      } catch (...) {
        // A bad sample or a failing owner must not end the subscription or reach Zenoh.
      }
    }

    static T Decode(const zenoh::Bytes& payload) {
      // The payload was written by the transport's own, uninstrumented threads; the message is
      // still private to this thread.
      const TsanIgnoreAccesses lent_payload;
      return zenoh::ext::deserialize<T>(payload);
    }

    void Close() noexcept {
      std::function<void()> released;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        closed_ = true;
        released.swap(notify_);
      }
    }

   private:
    std::mutex mutex_;
    bool closed_ = false;
    std::function<void()> notify_;
    T& buffer_;
  };

  std::string topic_;
  std::optional<zenoh::Subscriber<void>> subscriber_;
  std::shared_ptr<Intake> intake_;
};

}  // namespace orbalt::zenoh_mdw
