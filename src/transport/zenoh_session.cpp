// The zenoh C++ layer over the Rust transport shim.
#include <exception>
#include <new>

#include "orbaltkvt_zshim.h"
#include "tsan.hpp"
#include "zenoh.hxx"

namespace zenoh {

namespace {

// Handlers live on the heap until the shim releases them through the drop callback; nothing may
// escape into the shim, so the trampolines swallow what the handlers throw.
//
// The shim hands the context to its own threads through synchronisation that thread
// sanitizers cannot see, so the order is stated: the context is published before it enters the
// shim, every callback starts after that and ends before the drop.
struct Handoff {
  void Publish() const { detail::HandoffRelease(this); }
  void Enter() const { detail::HandoffAcquire(this); }
  void Leave() const { detail::HandoffRelease(this); }
  void Collect() const { detail::HandoffAcquire(this); }
};

struct SubscriberContext : Handoff {
  SubscriberContext(Session::SampleHandler s, Session::DropHandler d)
      : on_sample(std::move(s)), on_drop(std::move(d)) {}
  Session::SampleHandler on_sample;
  Session::DropHandler on_drop;
};

struct QueryContext : Handoff {
  QueryContext(Session::ReplyHandler r, Session::DropHandler d)
      : on_reply(std::move(r)), on_drop(std::move(d)) {}
  Session::ReplyHandler on_reply;
  Session::DropHandler on_drop;
};

extern "C" void sample_trampoline(void* ctx, const std::uint8_t* data, std::size_t len) {
  auto* c = static_cast<SubscriberContext*>(ctx);
  c->Enter();
  try {
    c->on_sample(Sample(Bytes::view(data, len)));
  } catch (...) {
  }
  c->Leave();
}

extern "C" void subscriber_drop_trampoline(void* ctx) {
  auto* c = static_cast<SubscriberContext*>(ctx);
  c->Collect();
  try {
    if (c->on_drop) c->on_drop();
  } catch (...) {
  }
  delete c;
}

extern "C" void reply_trampoline(void* ctx, bool is_ok, const std::uint8_t* data, std::size_t len) {
  auto* c = static_cast<QueryContext*>(ctx);
  c->Enter();
  try {
    c->on_reply(Reply(is_ok, Bytes::view(data, len)));
  } catch (...) {
  }
  c->Leave();
}

extern "C" void query_drop_trampoline(void* ctx) {
  auto* c = static_cast<QueryContext*>(ctx);
  c->Collect();
  try {
    if (c->on_drop) c->on_drop();
  } catch (...) {
  }
  delete c;
}

}  // namespace

// --- Config -------------------------------------------------------------------------------

Config Config::create_default(ZResult* err) {
  Config config;
  const ZResult r = orbz_config_default(&config.handle_);
  if (r != Z_OK) {
    config.handle_ = nullptr;
    detail::report(r, err, "Failed to create default configuration");
  } else if (err != nullptr) {
    *err = Z_OK;
  }
  return config;
}

Config::~Config() { orbz_config_drop(handle_); }

Config& Config::operator=(Config&& other) noexcept {
  if (this != &other) {
    orbz_config_drop(handle_);
    handle_ = std::exchange(other.handle_, nullptr);
  }
  return *this;
}

// --- KeyExpr ------------------------------------------------------------------------------

KeyExpr::KeyExpr(std::string_view key_expr, bool autocanonize, ZResult* err) {
  // Canonization is always on in the shim; a canonical text is left as it is either way.
  (void)autocanonize;
  const ZResult r =
      orbz_keyexpr_from_substr_autocanonize(key_expr.data(), key_expr.size(), &handle_);
  if (r != Z_OK) {
    handle_ = nullptr;
    detail::report(r, err, "Failed to construct KeyExpr from: " + std::string(key_expr));
  } else if (err != nullptr) {
    *err = Z_OK;
  }
}

KeyExpr::~KeyExpr() { orbz_keyexpr_drop(handle_); }

KeyExpr::KeyExpr(KeyExpr&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}

KeyExpr& KeyExpr::operator=(KeyExpr&& other) noexcept {
  if (this != &other) {
    orbz_keyexpr_drop(handle_);
    handle_ = std::exchange(other.handle_, nullptr);
  }
  return *this;
}

std::string_view KeyExpr::as_string_view() const {
  const char* text = nullptr;
  std::size_t len = 0;
  if (handle_ == nullptr || orbz_keyexpr_as_str(handle_, &text, &len) != Z_OK) return {};
  return {text, len};
}

// --- Subscriber ---------------------------------------------------------------------------

Subscriber<void>::~Subscriber() { orbz_subscriber_drop(handle_); }

Subscriber<void>& Subscriber<void>::operator=(Subscriber&& other) noexcept {
  if (this != &other) {
    orbz_subscriber_drop(handle_);
    handle_ = std::exchange(other.handle_, nullptr);
  }
  return *this;
}

// --- Session ------------------------------------------------------------------------------

Session Session::open(Config&& config, SessionOptions&& options, ZResult* err) {
  (void)options;
  OrbzSession* handle = nullptr;
  const ZResult r = orbz_open(&handle, config.release());
  if (r != Z_OK) {
    detail::report(r, err, "Failed to open session");
    return Session(nullptr);
  }
  if (err != nullptr) *err = Z_OK;
  return Session(handle);
}

Session::~Session() { orbz_session_drop(handle_); }

Session& Session::operator=(Session&& other) noexcept {
  if (this != &other) {
    orbz_session_drop(handle_);
    handle_ = std::exchange(other.handle_, nullptr);
  }
  return *this;
}

Subscriber<void> Session::declare_subscriber(const KeyExpr& key_expr, SampleHandler on_sample,
                                             DropHandler on_drop, SubscriberOptions&& options,
                                             ZResult* err) const {
  // The shim subscribes with the default origin; that is the only one in use here.
  if (options.allowed_origin != Locality::ANY) {
    detail::report(Z_EINVAL, err, "Failed to declare Subscriber");
    return Subscriber<void>(nullptr);
  }
  auto* ctx = new SubscriberContext(std::move(on_sample), std::move(on_drop));
  ctx->Publish();
  OrbzSubscriber* handle = nullptr;
  const ZResult r = orbz_declare_subscriber(handle_, key_expr.handle(), &sample_trampoline,
                                            &subscriber_drop_trampoline, ctx, &handle);
  if (r != Z_OK) {
    detail::report(r, err, "Failed to declare Subscriber");
    return Subscriber<void>(nullptr);
  }
  if (err != nullptr) *err = Z_OK;
  return Subscriber<void>(handle);
}

void Session::get(const KeyExpr& key_expr, const std::string& parameters, ReplyHandler on_reply,
                  DropHandler on_drop, GetOptions&& options, ZResult* err) const {
  auto* ctx = new QueryContext(std::move(on_reply), std::move(on_drop));
  ctx->Publish();
  // The shim issues every query with these settings, the ones the library uses.
  const bool supported =
      options.target == QueryTarget::BEST_MATCHING &&
      options.consolidation == ConsolidationMode::AUTO && options.priority == Priority::DATA &&
      options.congestion_control == CongestionControl::BLOCK && !options.is_express &&
      (!options.payload || options.encoding == Encoding::ZENOH_SERIALIZED);
  if (!supported) {
    query_drop_trampoline(ctx);
    detail::report(Z_EINVAL, err, "Failed to perform get operation");
    return;
  }
  const std::uint8_t* data = options.payload ? options.payload->data() : nullptr;
  const std::size_t size = options.payload ? options.payload->size() : 0;
  const ZResult r = orbz_get(handle_, key_expr.handle(), parameters.c_str(), data, size,
                             options.timeout_ms, &reply_trampoline, &query_drop_trampoline, ctx);
  if (r != Z_OK) {
    detail::report(r, err, "Failed to perform get operation");
    return;
  }
  if (err != nullptr) *err = Z_OK;
}

void Session::put(const KeyExpr& key_expr, const Bytes& payload, ZResult* err) const {
  const ZResult r = orbz_put(handle_, key_expr.handle(), payload.data(), payload.size());
  if (r != Z_OK) {
    detail::report(r, err, "Failed to perform put operation");
    return;
  }
  if (err != nullptr) *err = Z_OK;
}

}  // namespace zenoh
