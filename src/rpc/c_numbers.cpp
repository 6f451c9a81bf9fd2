#include "rpc/c_numbers.hpp"

#include <locale.h>
#include <stdlib.h>

#include <cerrno>
#include <climits>
#include <new>
#include <stdexcept>

namespace orbalt::kvt_impl {

namespace {

// strtol and strtod follow LC_NUMERIC (and LC_CTYPE for the white space), which a host program
// may have set to a locale with a decimal comma; their _l forms take a locale of their own.
locale_t CLocale() {
  static const locale_t c = [] {
    const locale_t l = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    if (l == static_cast<locale_t>(nullptr)) throw std::bad_alloc();
    return l;
  }();
  return c;
}

// Like the standard conversions, leave errno as it was unless the conversion set it.
class SavedErrno {
 public:
  SavedErrno() : saved_(errno) { errno = 0; }
  ~SavedErrno() {
    if (errno == 0) errno = saved_;
  }
  SavedErrno(const SavedErrno&) = delete;
  SavedErrno& operator=(const SavedErrno&) = delete;

 private:
  int saved_;
};

}  // namespace

int StoiC(const std::string& text) {
  const locale_t c = CLocale();
  SavedErrno guard;
  const char* begin = text.c_str();
  char* end = nullptr;
  const long value = strtol_l(begin, &end, 10, c);
  if (end == begin) throw std::invalid_argument("stoi");
  if (errno == ERANGE || value < INT_MIN || value > INT_MAX) throw std::out_of_range("stoi");
  return static_cast<int>(value);
}

double StodC(const std::string& text) {
  const locale_t c = CLocale();
  SavedErrno guard;
  const char* begin = text.c_str();
  char* end = nullptr;
  const double value = strtod_l(begin, &end, c);
  if (end == begin) throw std::invalid_argument("stod");
  if (errno == ERANGE) throw std::out_of_range("stod");
  return value;
}

}  // namespace orbalt::kvt_impl
