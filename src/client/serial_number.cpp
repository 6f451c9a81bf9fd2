#include "client/serial_number.hpp"

#include <stdexcept>
#include <vector>

namespace orbalt::kvt_impl {

namespace {

constexpr const char* kInvalidSerialNumber =
    "[orbalt::kvt::Client] Format of the provided robot serial number is invalid";

// The normalized serial number becomes a chunk of every key expression of the robot; these
// characters would turn it into a wildcard, a second chunk or reserved syntax, so that one
// client could subscribe to, and query, other robots.
constexpr const char* kKeyExpressionSyntax = "*$/?#";

bool IsAsciiAlnum(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

}  // namespace

std::string NormalizeSerialNumber(const std::string& robot_sn) {
  if (robot_sn.empty() || robot_sn.find('_') != std::string::npos) {
    throw std::invalid_argument(kInvalidSerialNumber);
  }
  const auto p = robot_sn.rfind('-');
  if (p == std::string::npos || p == 0 || p == robot_sn.size() - 1 ||
      robot_sn.find_first_of(kKeyExpressionSyntax, p + 1) != std::string::npos) {
    throw std::invalid_argument(kInvalidSerialNumber);
  }

  std::vector<std::string> tokens;
  std::string token;
  for (std::size_t i = 0; i < p; ++i) {
    const char c = robot_sn[i];
    if (IsAsciiAlnum(c)) {
      token += c;
    } else if (c == ' ' || c == '-') {
      if (token.empty()) throw std::invalid_argument(kInvalidSerialNumber);
      tokens.push_back(std::move(token));
      token.clear();
    } else {
      throw std::invalid_argument(kInvalidSerialNumber);
    }
  }
  if (token.empty()) throw std::invalid_argument(kInvalidSerialNumber);
  tokens.push_back(std::move(token));

  std::string normalized;
  for (const auto& t : tokens) {
    normalized += t;
    normalized += '-';
  }
  normalized += robot_sn.substr(p + 1);
  return normalized;
}

}  // namespace orbalt::kvt_impl
