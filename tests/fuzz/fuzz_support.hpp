// What the fuzz targets share: a silent default logger, checks that abort (so libFuzzer keeps
// the input) and the text framing of the targets that read lists of texts.
#pragma once

#include <spdlog/spdlog.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace orbalt::fuzz {

[[noreturn]] inline void Fail(const char* condition, const char* file, int line) {
  std::fprintf(stderr, "fuzz check failed: %s (%s:%d)\n", condition, file, line);
  std::abort();
}

/// The library logs malformed data at error level; formatting those lines would only slow the
/// run down.
inline void SilenceLogs() { spdlog::set_level(spdlog::level::off); }

/// The input as a list of texts, one per line; an empty input is an empty list, and a final
/// newline ends one more, empty, text.
inline std::vector<std::string> Lines(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> lines;
  if (size == 0) return lines;
  const char* p = reinterpret_cast<const char*>(data);
  const char* end = p + size;
  const char* start = p;
  for (; p != end; ++p) {
    if (*p == '\n') {
      lines.emplace_back(start, p);
      start = p + 1;
    }
  }
  lines.emplace_back(start, end);
  return lines;
}

}  // namespace orbalt::fuzz

#define ORBALTKVT_FUZZ_CHECK(condition) \
  ((condition) ? (void)0 : ::orbalt::fuzz::Fail(#condition, __FILE__, __LINE__))
