#pragma once

namespace zenoh {

template <class T>
class Subscriber;

template <>
class Subscriber<void> {
 public:
  ~Subscriber();
  static int destroyed;
};

}  // namespace zenoh
