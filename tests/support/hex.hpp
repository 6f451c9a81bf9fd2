// Hex helpers and the reference encodings made by zenoh.ext.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "zenoh.hxx"

namespace orbalt::testing {

std::vector<std::uint8_t> FromHex(const std::string& hex);
std::string ToHex(const std::vector<std::uint8_t>& bytes);
inline zenoh::Bytes BytesFromHex(const std::string& hex) { return zenoh::Bytes(FromHex(hex)); }

/// The encodings that zenoh.ext produced at build time, by name.
const std::map<std::string, std::string>& ReferenceVectors();

}  // namespace orbalt::testing
