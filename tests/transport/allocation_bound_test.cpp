// What decoding a sequence may allocate: never more than the payload could describe, however
// small each element is on the wire.
#include <gtest/gtest.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <vector>

#include "zenoh.hxx"

namespace {

std::size_t largest_allocation = 0;

template <class T>
struct Recording : std::allocator<T> {
  template <class U>
  struct rebind {
    using other = Recording<U>;
  };
  Recording() = default;
  template <class U>
  Recording(const Recording<U>&) {}
  T* allocate(std::size_t n) {
    if (n * sizeof(T) > largest_allocation) largest_allocation = n * sizeof(T);
    return std::allocator<T>::allocate(n);
  }
};

// A sequence of fixed arrays (28 bytes each in memory, at least 1 on the wire) whose length
// the payload can hold only as one byte per element: the bytes are zeros, so the first element
// already fails to decode.
TEST(SequenceAllocation, IsBoundedByThePayloadNotByTheAnnouncedLength) {
  constexpr std::size_t kLength = 100000;
  std::vector<std::uint8_t> payload = {0xa0, 0x8d, 0x06};  // 100000 as a length prefix
  payload.resize(payload.size() + kLength, 0);
  largest_allocation = 0;
  using Blocks = std::vector<std::array<float, 7>, Recording<std::array<float, 7>>>;
  zenoh::ZResult err = zenoh::Z_OK;
  zenoh::ext::deserialize<Blocks>(zenoh::Bytes(payload), &err);
  EXPECT_EQ(err, zenoh::Z_EDESERIALIZE);
  std::printf("largest allocation for a %zu-byte payload: %zu bytes\n", payload.size(),
              largest_allocation);
  EXPECT_LE(largest_allocation, payload.size() + sizeof(std::array<float, 7>));
}

}  // namespace
