// Payload bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace zenoh {

/// A payload: either owned bytes or a view of bytes that the transport lends for the duration of
/// a callback (what a sample or a reply hands out).
class Bytes {
 public:
  Bytes() = default;
  explicit Bytes(std::vector<std::uint8_t> data)
      : storage_(std::move(data)), data_(storage_.data()), size_(storage_.size()) {}

  /// A view of `size` bytes at `data`; the bytes must outlive the view.
  static Bytes view(const std::uint8_t* data, std::size_t size) {
    Bytes b;
    b.data_ = data;
    b.size_ = size;
    return b;
  }

  Bytes(const Bytes& other) : Bytes(other.as_vector()) {}
  Bytes& operator=(const Bytes& other) {
    if (this != &other) *this = Bytes(other.as_vector());
    return *this;
  }
  Bytes(Bytes&& other) noexcept { *this = std::move(other); }
  Bytes& operator=(Bytes&& other) noexcept {
    if (this == &other) return *this;
    const bool owned = other.data_ == other.storage_.data();
    storage_ = std::move(other.storage_);
    data_ = owned ? storage_.data() : other.data_;
    size_ = other.size_;
    other.storage_.clear();
    other.data_ = nullptr;
    other.size_ = 0;
    return *this;
  }

  const std::uint8_t* data() const { return data_; }
  std::size_t size() const { return size_; }
  std::vector<std::uint8_t> as_vector() const {
    return data_ == nullptr ? std::vector<std::uint8_t>{}
                            : std::vector<std::uint8_t>(data_, data_ + size_);
  }

 private:
  std::vector<std::uint8_t> storage_;
  const std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace zenoh
