// Stream-message payloads made by eclipse-zenoh and the simulator's encoder
// (messages/stream_vectors.py), fetched once per test run.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/hex.hpp"
#include "support/subprocess.hpp"

namespace orbalt::testing {

/// Payloads by name; throws when the script cannot be run or a name is unknown.
inline const std::vector<std::uint8_t>& StreamVector(const std::string& name) {
  static const std::map<std::string, std::vector<std::uint8_t>> vectors = [] {
    ChildProcess script({PythonInterpreter(), ORBALTKVT_TESTS_DIR "/messages/stream_vectors.py"});
    std::map<std::string, std::vector<std::uint8_t>> v;
    std::string line;
    while (script.ReadLine(line, std::chrono::seconds(30)) && line != "end") {
      const auto space = line.find(' ');
      v[line.substr(0, space)] = FromHex(line.substr(space + 1));
    }
    if (line != "end") throw std::runtime_error("stream_vectors.py did not finish");
    return v;
  }();
  return vectors.at(name);
}

inline zenoh::Bytes StreamPayload(const std::string& name) {
  return zenoh::Bytes(StreamVector(name));
}

}  // namespace orbalt::testing
