// The zenoh serialization format: little-endian scalars, bool as one byte (0 or 1), sequence
// lengths as unsigned LEB128 of at most 10 bytes, strings as a length and UTF-8 bytes, sequences
// and fixed arrays as a length and their elements, tuples and structures as their fields.
//
// Structures join in through two hooks found by argument-dependent lookup:
//   bool __zenoh_deserialize_with_deserializer(zenoh::ext::Deserializer&, T&, zenoh::ZResult*);
//   bool __zenoh_serialize_with_serializer(zenoh::ext::Serializer&, const T&, zenoh::ZResult*);
// With a null result slot a failure throws zenoh::ZException; otherwise the code is stored in the
// slot and the hook returns false.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "zenoh/api/base.hxx"
#include "zenoh/api/bytes.hxx"

namespace zenoh::ext {

inline constexpr const char* kDeserializationFailure = "Deserialization failure";
inline constexpr const char* kSequenceLengthFailure =
    "Deserialization failure:: Failed to read sequence length";
inline constexpr const char* kIncorrectSequenceSize = "Incorrect sequence size";
inline constexpr const char* kTrailingBytes =
    "Payload contains more bytes than required for deserialization";

namespace detail {

/// Whether `data` is well-formed UTF-8 (no overlong forms, no surrogates, at most U+10FFFF).
bool is_valid_utf8(const std::uint8_t* data, std::size_t size);

}  // namespace detail

/// Reads values in order from a payload. The payload must outlive the deserializer.
class Deserializer {
 public:
  explicit Deserializer(const Bytes& bytes)
      : cur_(bytes.data()), end_(bytes.data() + bytes.size()) {}
  Deserializer(const std::uint8_t* data, std::size_t size) : cur_(data), end_(data + size) {}

  /// Decodes one value of type T; see the file comment for the error modes.
  template <class T>
  T deserialize(ZResult* err = nullptr);

  /// Whether every byte has been read.
  bool is_done() const { return cur_ == end_; }
  std::size_t remaining() const { return static_cast<std::size_t>(end_ - cur_); }

  // Primitive reads; each returns Z_OK or Z_EDESERIALIZE and leaves the position unchanged on
  // failure.
  template <class S>
  ZResult read_scalar(S& value) {
    static_assert(std::is_arithmetic_v<S> && !std::is_same_v<S, bool>);
    if (remaining() < sizeof(S)) return Z_EDESERIALIZE;
    std::memcpy(&value, cur_,
                sizeof(S));  // the wire is little-endian, like every host we build for
    cur_ += sizeof(S);
    return Z_OK;
  }

  ZResult read_bool(bool& value) {
    if (cur_ == end_ || *cur_ > 1) return Z_EDESERIALIZE;
    value = *cur_++ == 1;
    return Z_OK;
  }

  // Unsigned LEB128 of a 64-bit value: padded (overlong) forms are read like the short ones, and
  // the tenth byte may only carry bit 63, so a value that does not fit 64 bits, or an eleventh
  // byte, is an error rather than being cut down.
  ZResult read_sequence_length(std::size_t& length) {
    std::uint64_t v = 0;
    const std::uint8_t* p = cur_;
    for (int i = 0; i < 10; ++i) {
      if (p == end_) return Z_EDESERIALIZE;
      const std::uint8_t b = *p++;
      if (i < 9) {
        v |= static_cast<std::uint64_t>(b & 0x7f) << (7 * i);
      } else if (b > 0x01) {
        return Z_EDESERIALIZE;
      } else {
        v |= static_cast<std::uint64_t>(b) << 63;
      }
      if ((b & 0x80) == 0) {
        if (v > std::numeric_limits<std::size_t>::max()) return Z_EDESERIALIZE;
        length = static_cast<std::size_t>(v);
        cur_ = p;
        return Z_OK;
      }
    }
    return Z_EDESERIALIZE;  // unreachable: the tenth byte never continues
  }

  ZResult read_string(std::string& value) {
    const std::uint8_t* start = cur_;
    std::size_t length = 0;
    if (read_sequence_length(length) != Z_OK || remaining() < length ||
        !detail::is_valid_utf8(cur_, length)) {
      cur_ = start;
      return Z_EDESERIALIZE;
    }
    value.assign(reinterpret_cast<const char*>(cur_), length);
    cur_ += length;
    return Z_OK;
  }

  /// Reads `count` little-endian scalars straight into `out`.
  template <class S>
  ZResult read_scalars(S* out, std::size_t count) {
    if (remaining() / sizeof(S) < count) return Z_EDESERIALIZE;
    if (count == 0) return Z_OK;  // `out` may be null then, which memcpy must not see
    std::memcpy(out, cur_, count * sizeof(S));
    cur_ += count * sizeof(S);
    return Z_OK;
  }

 private:
  const std::uint8_t* cur_;
  const std::uint8_t* end_;
};

// --- decoding hooks for the standard types ------------------------------------------------

template <class S, std::enable_if_t<std::is_arithmetic_v<S> && !std::is_same_v<S, bool>, int> = 0>
inline bool __zenoh_deserialize_with_deserializer(Deserializer& d, S& value, ZResult* err) {
  const ZResult r = d.read_scalar(value);
  if (r != Z_OK) {
    zenoh::detail::report(r, err, kDeserializationFailure);
    return false;
  }
  return true;
}

inline bool __zenoh_deserialize_with_deserializer(Deserializer& d, bool& value, ZResult* err) {
  const ZResult r = d.read_bool(value);
  if (r != Z_OK) {
    zenoh::detail::report(r, err, kDeserializationFailure);
    return false;
  }
  return true;
}

inline bool __zenoh_deserialize_with_deserializer(Deserializer& d, std::string& value,
                                                  ZResult* err) {
  const ZResult r = d.read_string(value);
  if (r != Z_OK) {
    zenoh::detail::report(r, err, kDeserializationFailure);
    return false;
  }
  return true;
}

template <class T, std::size_t N>
bool __zenoh_deserialize_with_deserializer(Deserializer& d, std::array<T, N>& value, ZResult* err);
template <class T, class A>
bool __zenoh_deserialize_with_deserializer(Deserializer& d, std::vector<T, A>& value, ZResult* err);
template <class A, class B>
bool __zenoh_deserialize_with_deserializer(Deserializer& d, std::pair<A, B>& value, ZResult* err);

namespace detail {

/// Reads a sequence length for a sequence or fixed array.
inline bool read_length(Deserializer& d, std::size_t& length, ZResult* err) {
  const ZResult r = d.read_sequence_length(length);
  if (r != Z_OK) {
    zenoh::detail::report(r, err, kSequenceLengthFailure);
    return false;
  }
  return true;
}

/// Rejects a sequence length that the remaining bytes cannot hold, before anything is reserved:
/// every element takes at least one byte, so a hostile length cannot make us allocate more than
/// the payload's size worth of elements.
inline bool check_length_fits(Deserializer& d, std::size_t length, std::size_t min_element_size,
                              ZResult* err) {
  if (length > d.remaining() / min_element_size) {
    zenoh::detail::report(Z_EDESERIALIZE, err, kDeserializationFailure);
    return false;
  }
  return true;
}

template <class T>
constexpr std::size_t min_wire_size() {
  if constexpr (std::is_arithmetic_v<T>) {
    return sizeof(T);
  } else {
    return 1;
  }
}

template <class T>
constexpr bool is_bulk_scalar() {
  return std::is_arithmetic_v<T> && !std::is_same_v<T, bool>;
}

}  // namespace detail

template <class T, std::size_t N>
bool __zenoh_deserialize_with_deserializer(Deserializer& d, std::array<T, N>& value, ZResult* err) {
  std::size_t length = 0;
  if (!detail::read_length(d, length, err)) return false;
  if (length != N) {
    zenoh::detail::report(Z_EDESERIALIZE, err, kIncorrectSequenceSize);
    return false;
  }
  if constexpr (detail::is_bulk_scalar<T>()) {
    if (d.read_scalars(value.data(), N) != Z_OK) {
      zenoh::detail::report(Z_EDESERIALIZE, err, kDeserializationFailure);
      return false;
    }
  } else {
    for (auto& element : value) {
      if (!__zenoh_deserialize_with_deserializer(d, element, err)) return false;
    }
  }
  return true;
}

template <class T, class A>
bool __zenoh_deserialize_with_deserializer(Deserializer& d, std::vector<T, A>& value,
                                           ZResult* err) {
  std::size_t length = 0;
  if (!detail::read_length(d, length, err)) return false;
  if constexpr (detail::is_bulk_scalar<T>()) {
    if (!detail::check_length_fits(d, length, sizeof(T), err)) return false;
    // Read in place, reusing the vector's memory: the read cannot fail once the length fits.
    value.resize(length);
    d.read_scalars(value.data(), length);
  } else {
    if (!detail::check_length_fits(d, length, detail::min_wire_size<T>(), err)) return false;
    std::vector<T, A> fresh;
    // An element can be far larger in memory than its least wire size (a structure of fixed
    // arrays), so reserve no more than the payload's size; a longer sequence grows as its
    // elements actually decode.
    fresh.reserve(std::min(length, d.remaining() / sizeof(T) + 1));
    for (std::size_t i = 0; i < length; ++i) {
      T element{};
      if (!__zenoh_deserialize_with_deserializer(d, element, err)) return false;
      fresh.push_back(std::move(element));
    }
    value = std::move(fresh);
  }
  return true;
}

template <class A, class B>
bool __zenoh_deserialize_with_deserializer(Deserializer& d, std::pair<A, B>& value, ZResult* err) {
  return __zenoh_deserialize_with_deserializer(d, value.first, err) &&
         __zenoh_deserialize_with_deserializer(d, value.second, err);
}

template <class T>
T Deserializer::deserialize(ZResult* err) {
  T value{};
  __zenoh_deserialize_with_deserializer(*this, value, err);
  return value;
}

/// Decodes a whole payload as one T; bytes left over after T are a failure.
template <class T>
T deserialize(const Bytes& bytes, ZResult* err = nullptr) {
  Deserializer d(bytes);
  if (err != nullptr) *err = Z_OK;
  T value{};
  if (!__zenoh_deserialize_with_deserializer(d, value, err)) return value;
  if (!d.is_done()) zenoh::detail::report(Z_EDESERIALIZE, err, kTrailingBytes);
  return value;
}

// --- encoding ---------------------------------------------------------------------------

/// Appends values in order to a growing payload.
class Serializer {
 public:
  Serializer() = default;

  template <class T>
  void serialize(const T& value, ZResult* err = nullptr);

  template <class S>
  ZResult write_scalar(S value) {
    static_assert(std::is_arithmetic_v<S> && !std::is_same_v<S, bool>);
    const auto* p = reinterpret_cast<const std::uint8_t*>(&value);
    buffer_.insert(buffer_.end(), p, p + sizeof(S));
    return Z_OK;
  }

  ZResult write_bool(bool value) {
    buffer_.push_back(value ? 1 : 0);
    return Z_OK;
  }

  ZResult write_sequence_length(std::size_t length) {
    std::uint64_t v = length;
    do {
      std::uint8_t b = v & 0x7f;
      v >>= 7;
      if (v != 0) b |= 0x80;
      buffer_.push_back(b);
    } while (v != 0);
    return Z_OK;
  }

  ZResult write_string(const std::string& value) {
    write_sequence_length(value.size());
    buffer_.insert(buffer_.end(), value.begin(), value.end());
    return Z_OK;
  }

  /// Hands out the payload; the serializer is empty afterwards.
  Bytes finish() && { return Bytes(std::move(buffer_)); }
  Bytes finish() & { return Bytes(std::exchange(buffer_, {})); }

 private:
  std::vector<std::uint8_t> buffer_;
};

template <class S, std::enable_if_t<std::is_arithmetic_v<S> && !std::is_same_v<S, bool>, int> = 0>
inline bool __zenoh_serialize_with_serializer(Serializer& s, const S& value, ZResult* err) {
  const ZResult r = s.write_scalar(value);
  if (r != Z_OK) {
    zenoh::detail::report(r, err, "Failed to serialize");
    return false;
  }
  return true;
}

inline bool __zenoh_serialize_with_serializer(Serializer& s, const bool& value, ZResult* err) {
  const ZResult r = s.write_bool(value);
  if (r != Z_OK) {
    zenoh::detail::report(r, err, "Failed to serialize bool");
    return false;
  }
  return true;
}

inline bool __zenoh_serialize_with_serializer(Serializer& s, const std::string& value,
                                              ZResult* err) {
  const ZResult r = s.write_string(value);
  if (r != Z_OK) {
    zenoh::detail::report(r, err, "Failed to serialize string");
    return false;
  }
  return true;
}

template <class T, class A>
bool __zenoh_serialize_with_serializer(Serializer& s, const std::vector<T, A>& value, ZResult* err);
template <class T, std::size_t N>
bool __zenoh_serialize_with_serializer(Serializer& s, const std::array<T, N>& value, ZResult* err);

namespace detail {

/// A sequence or fixed array: its length, then its elements.
template <class Container>
bool serialize_sequence(Serializer& s, const Container& value, ZResult* err) {
  const ZResult r = s.write_sequence_length(value.size());
  if (r != Z_OK) {
    zenoh::detail::report(r, err, "Failed to serialize sequence length");
    return false;
  }
  for (const auto& element : value) {
    if (!__zenoh_serialize_with_serializer(s, element, err)) return false;
  }
  return true;
}

}  // namespace detail

template <class T, class A>
bool __zenoh_serialize_with_serializer(Serializer& s, const std::vector<T, A>& value,
                                       ZResult* err) {
  return detail::serialize_sequence(s, value, err);
}

template <class T, std::size_t N>
bool __zenoh_serialize_with_serializer(Serializer& s, const std::array<T, N>& value, ZResult* err) {
  return detail::serialize_sequence(s, value, err);
}

template <class T>
void Serializer::serialize(const T& value, ZResult* err) {
  if (err != nullptr) *err = Z_OK;
  __zenoh_serialize_with_serializer(*this, value, err);
}

/// Encodes one value as a whole payload.
template <class T>
Bytes serialize(const T& value, ZResult* err = nullptr) {
  Serializer s;
  s.serialize(value, err);
  return std::move(s).finish();
}

}  // namespace zenoh::ext
