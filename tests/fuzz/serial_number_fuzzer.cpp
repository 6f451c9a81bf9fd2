// The serial-number rule: a malformed number fails with the one text; a normalized number is a
// fixed point of the rule, has no space or '_', and keeps the suffix after its last '-'.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>

#include "client/serial_number.hpp"
#include "fuzz/fuzz_support.hpp"

using orbalt::kvt_impl::NormalizeSerialNumber;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string sn(reinterpret_cast<const char*>(data), size);
  std::string normalized;
  try {
    normalized = NormalizeSerialNumber(sn);
  } catch (const std::invalid_argument& e) {
    ORBALTKVT_FUZZ_CHECK(std::strcmp(e.what(),
                                     "[orbalt::kvt::Client] Format of the provided robot serial "
                                     "number is invalid") == 0);
    return 0;
  }
  ORBALTKVT_FUZZ_CHECK(NormalizeSerialNumber(normalized) == normalized);
  ORBALTKVT_FUZZ_CHECK(normalized.size() == sn.size());
  ORBALTKVT_FUZZ_CHECK(normalized.find('_') == std::string::npos);
  const auto last = normalized.rfind('-');
  ORBALTKVT_FUZZ_CHECK(last != std::string::npos && last == sn.rfind('-'));
  ORBALTKVT_FUZZ_CHECK(normalized.compare(last, std::string::npos, sn, last) == 0);
  ORBALTKVT_FUZZ_CHECK(normalized.find(' ') == std::string::npos || normalized.find(' ') > last);
  return 0;
}
