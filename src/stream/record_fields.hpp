// Conversions from stream message fields to public record fields; the fields themselves are
// listed in orbalt/kvt/record_fields.hpp.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "orbalt/kvt/record_fields.hpp"

namespace orbalt::kvt_impl {

/// Widens every float of `source` into `target`.
template <std::size_t N>
void Widen(const std::array<float, N>& source, std::array<double, N>& target) {
  for (std::size_t i = 0; i < N; ++i) target[i] = source[i];
}

/// Widens every float of `source` into `target`, which takes its size.
inline void Widen(const std::vector<float>& source, std::vector<double>& target) {
  target.assign(source.begin(), source.end());
}

/// The records' timestamp pair keeps the bits of the wire's unsigned second component; what
/// the two numbers mean is the robot's business.
inline std::pair<std::int32_t, std::int32_t> RecordTimestamp(
    const std::pair<std::int32_t, std::uint32_t>& timestamp) {
  return {timestamp.first, static_cast<std::int32_t>(timestamp.second)};
}

}  // namespace orbalt::kvt_impl
