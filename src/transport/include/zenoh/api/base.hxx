// Result codes and the exception of the zenoh C++ layer.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace zenoh {

/// zenoh-c style result: 0 is success, any other value a failure code.
using ZResult = std::int8_t;

inline constexpr ZResult Z_OK = 0;
inline constexpr ZResult Z_EINVAL = -1;
inline constexpr ZResult Z_ENULL = -5;
inline constexpr ZResult Z_EDESERIALIZE = -7;
inline constexpr ZResult Z_EGENERIC = -128;

/// Failure of a zenoh operation; the text is the message followed by the result code,
/// e.g. "Deserialization failure(Error code: -7 )".
class ZException : public std::runtime_error {
 public:
  ZException(const std::string& message, ZResult err)
      : std::runtime_error(message + "(Error code: " + std::to_string(err) + " )"), e(err) {}

  /// The result code that caused the failure.
  ZResult e;
};

namespace detail {

/// Reports a failure: stores the code in `err` when given, throws otherwise.
inline void report(ZResult code, ZResult* err, const char* message) {
  if (err != nullptr) {
    *err = code;
  } else {
    throw ZException(message, code);
  }
}

inline void report(ZResult code, ZResult* err, const std::string& message) {
  if (err != nullptr) {
    *err = code;
  } else {
    throw ZException(message, code);
  }
}

}  // namespace detail
}  // namespace zenoh
