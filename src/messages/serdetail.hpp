// Field decoders of the messages.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "zenoh.hxx"

namespace orbalt::zenoh_msgs::serdetail {

/// Decodes one field of type T from `d` into `field`.
///
/// Sequences replace the field's content only when the whole sequence decoded; a fixed array
/// must be announced with exactly its size. With a null `err` a failure throws
/// `zenoh::ZException`; otherwise its code is stored in `*err` and the result is false.
template <class T>
bool Des(zenoh::ext::Deserializer& d, T& field, zenoh::ZResult* err = nullptr);

template <>
inline bool Des(zenoh::ext::Deserializer& d, std::array<float, 6>& field, zenoh::ZResult* err) {
  return zenoh::ext::__zenoh_deserialize_with_deserializer(d, field, err);
}

template <>
inline bool Des(zenoh::ext::Deserializer& d, std::vector<float>& field, zenoh::ZResult* err) {
  return zenoh::ext::__zenoh_deserialize_with_deserializer(d, field, err);
}

template <>
inline bool Des(zenoh::ext::Deserializer& d, std::vector<std::uint16_t>& field,
                zenoh::ZResult* err) {
  return zenoh::ext::__zenoh_deserialize_with_deserializer(d, field, err);
}

}  // namespace orbalt::zenoh_msgs::serdetail
