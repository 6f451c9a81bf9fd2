// UTF-8 validation for the string decoder.
#include <cstddef>
#include <cstdint>

#include "zenoh/api/ext/serialization.hxx"

namespace zenoh::ext::detail {

bool is_valid_utf8(const std::uint8_t* data, std::size_t size) {
  std::size_t i = 0;
  while (i < size) {
    const std::uint8_t b = data[i];
    if (b < 0x80) {
      ++i;
      continue;
    }
    std::size_t n = 0;
    std::uint32_t cp = 0;
    std::uint32_t min = 0;
    if ((b & 0xE0) == 0xC0) {
      n = 1, cp = b & 0x1F, min = 0x80;
    } else if ((b & 0xF0) == 0xE0) {
      n = 2, cp = b & 0x0F, min = 0x800;
    } else if ((b & 0xF8) == 0xF0) {
      n = 3, cp = b & 0x07, min = 0x10000;
    } else {
      return false;
    }
    if (size - i <= n) return false;
    for (std::size_t k = 1; k <= n; ++k) {
      const std::uint8_t c = data[i + k];
      if ((c & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (c & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += n + 1;
  }
  return true;
}

}  // namespace zenoh::ext::detail
