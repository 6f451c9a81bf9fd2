// Key expressions.
#pragma once

#include <string>
#include <string_view>

#include "zenoh/api/base.hxx"

struct OrbzKeyExpr;

namespace zenoh {

/// A canonical key expression.
class KeyExpr {
 public:
  /// Builds a key expression from `key_expr`, canonizing it when `autocanonize` is set. A text
  /// zenoh rejects fails with "Failed to construct KeyExpr from: " + text.
  explicit KeyExpr(std::string_view key_expr, bool autocanonize = true, ZResult* err = nullptr);
  ~KeyExpr();
  KeyExpr(KeyExpr&& other) noexcept;
  KeyExpr& operator=(KeyExpr&& other) noexcept;
  KeyExpr(const KeyExpr&) = delete;
  KeyExpr& operator=(const KeyExpr&) = delete;

  /// The canonical text; empty when construction failed with a result slot.
  std::string_view as_string_view() const;

  const OrbzKeyExpr* handle() const { return handle_; }

 private:
  OrbzKeyExpr* handle_ = nullptr;
};

}  // namespace zenoh
