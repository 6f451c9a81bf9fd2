#include "support/hex.hpp"

#include <fstream>
#include <sstream>
#include <stdexcept>

namespace orbalt::testing {

std::vector<std::uint8_t> FromHex(const std::string& hex) {
  std::vector<std::uint8_t> out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  }
  return out;
}

std::string ToHex(const std::vector<std::uint8_t>& bytes) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (auto b : bytes) {
    out += digits[b >> 4];
    out += digits[b & 0xf];
  }
  return out;
}

const std::map<std::string, std::string>& ReferenceVectors() {
  static const std::map<std::string, std::string> vectors = [] {
    std::map<std::string, std::string> v;
    std::ifstream in(ORBALTKVT_REFERENCE_VECTORS);
    if (!in) throw std::runtime_error("cannot open " ORBALTKVT_REFERENCE_VECTORS);
    std::string line;
    while (std::getline(in, line)) {
      std::istringstream fields(line);
      std::string name, hex;
      fields >> name >> hex;
      if (!name.empty()) v[name] = hex;
    }
    return v;
  }();
  return vectors;
}

}  // namespace orbalt::testing
