// Configuration, session, subscriber and query, shaped after the zenoh C++ API.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "zenoh/api/base.hxx"
#include "zenoh/api/bytes.hxx"
#include "zenoh/api/keyexpr.hxx"

struct OrbzConfig;
struct OrbzSession;
struct OrbzSubscriber;

namespace zenoh {

enum class QueryTarget : std::uint8_t { BEST_MATCHING = 0, ALL = 1, ALL_COMPLETE = 2 };
enum class Priority : std::uint8_t {
  REAL_TIME = 1,
  INTERACTIVE_HIGH = 2,
  INTERACTIVE_LOW = 3,
  DATA_HIGH = 4,
  DATA = 5,
  DATA_LOW = 6,
  BACKGROUND = 7
};
enum class CongestionControl : std::uint8_t { BLOCK = 0, DROP = 1 };
enum class ConsolidationMode : std::int8_t { AUTO = -1, NONE = 0, MONOTONIC = 1, LATEST = 2 };
enum class Locality : std::uint8_t { ANY = 0, SESSION_LOCAL = 1, REMOTE = 2 };

/// Payload encodings in use.
enum class Encoding : std::uint8_t { ZENOH_SERIALIZED };

/// One received sample; its payload is lent for the duration of the callback.
class Sample {
 public:
  explicit Sample(Bytes payload) : payload_(std::move(payload)) {}
  const Bytes& get_payload() const { return payload_; }

 private:
  Bytes payload_;
};

/// The error part of an error reply.
class ReplyError {
 public:
  explicit ReplyError(Bytes payload) : payload_(std::move(payload)) {}
  const Bytes& get_payload() const { return payload_; }

 private:
  Bytes payload_;
};

/// One reply to a query: a sample, or an error.
class Reply {
 public:
  Reply(bool ok, Bytes payload)
      : ok_(ok),
        sample_(ok ? std::move(payload) : Bytes{}),
        error_(ok ? Bytes{} : std::move(payload)) {}
  bool is_ok() const { return ok_; }
  const Sample& get_ok() const { return sample_; }
  const ReplyError& get_err() const { return error_; }

 private:
  bool ok_;
  Sample sample_;
  ReplyError error_;
};

/// The default configuration; consumed by `Session::open`.
class Config {
 public:
  /// Fails with "Failed to create default configuration".
  static Config create_default(ZResult* err = nullptr);
  ~Config();
  Config(Config&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
  Config& operator=(Config&& other) noexcept;
  Config(const Config&) = delete;
  Config& operator=(const Config&) = delete;

  OrbzConfig* release() { return std::exchange(handle_, nullptr); }

 private:
  Config() = default;
  OrbzConfig* handle_ = nullptr;
};

/// A declared subscriber; destroying it undeclares the subscription.
template <class T>
class Subscriber;

template <>
class Subscriber<void> {
 public:
  explicit Subscriber(OrbzSubscriber* handle) : handle_(handle) {}
  ~Subscriber();
  Subscriber(Subscriber&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
  Subscriber& operator=(Subscriber&& other) noexcept;
  Subscriber(const Subscriber&) = delete;
  Subscriber& operator=(const Subscriber&) = delete;

 private:
  OrbzSubscriber* handle_ = nullptr;
};

/// Options of `Session::open`; none are in use.
struct SessionOptions {};

/// Options of `Session::declare_subscriber`.
struct SubscriberOptions {
  Locality allowed_origin = Locality::ANY;
};

/// Options of `Session::get`, starting from the library defaults.
struct GetOptions {
  QueryTarget target = QueryTarget::BEST_MATCHING;
  ConsolidationMode consolidation = ConsolidationMode::AUTO;
  Priority priority = Priority::DATA;
  CongestionControl congestion_control = CongestionControl::BLOCK;
  bool is_express = false;
  std::optional<Bytes> payload;
  std::optional<Encoding> encoding;
  /// 0 keeps the session's default query timeout.
  std::uint64_t timeout_ms = 0;
};

/// An open session. Closing happens when the object is destroyed.
class Session {
 public:
  using SessionOptions = zenoh::SessionOptions;
  using SubscriberOptions = zenoh::SubscriberOptions;
  using GetOptions = zenoh::GetOptions;

  using SampleHandler = std::function<void(const Sample&)>;
  using ReplyHandler = std::function<void(const Reply&)>;
  using DropHandler = std::function<void()>;

  /// Opens a session; fails with "Failed to open session".
  static Session open(Config&& config, SessionOptions&& options = {}, ZResult* err = nullptr);
  ~Session();
  Session(Session&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
  Session& operator=(Session&& other) noexcept;
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  /// Declares a subscriber. `on_sample` may run on several zenoh threads at once; `on_drop` runs
  /// once when zenoh releases the handlers. Neither may throw. Fails with
  /// "Failed to declare Subscriber".
  Subscriber<void> declare_subscriber(const KeyExpr& key_expr, SampleHandler on_sample,
                                      DropHandler on_drop, SubscriberOptions&& options = {},
                                      ZResult* err = nullptr) const;

  /// Issues a query. `on_reply` runs once per reply, `on_drop` exactly once after the last
  /// reply, also when the query cannot be issued. Neither may throw. Fails with
  /// "Failed to perform get operation".
  void get(const KeyExpr& key_expr, const std::string& parameters, ReplyHandler on_reply,
           DropHandler on_drop, GetOptions&& options = {}, ZResult* err = nullptr) const;

  /// Publishes one zenoh-serialized sample. Fails with "Failed to perform put operation".
  void put(const KeyExpr& key_expr, const Bytes& payload, ZResult* err = nullptr) const;

 private:
  explicit Session(OrbzSession* handle) : handle_(handle) {}
  OrbzSession* handle_ = nullptr;
};

}  // namespace zenoh
