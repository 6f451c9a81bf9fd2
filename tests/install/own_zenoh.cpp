// The program's own zenoh::Subscriber<void>, as a program that also uses another Zenoh C++ API
// has one. The library's private transport layer has a class of that name too; were it exported,
// the dynamic linker would bind the library's calls to this definition instead.
#include "own_zenoh.hpp"

namespace zenoh {

int Subscriber<void>::destroyed = 0;

Subscriber<void>::~Subscriber() { ++destroyed; }

}  // namespace zenoh
