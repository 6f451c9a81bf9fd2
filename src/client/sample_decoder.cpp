#include "orbalt/kvt/sample_decoder.hpp"

#include "stream/sample_conversion.hpp"
#include "zenoh.hxx"

namespace orbalt::kvt {

class __attribute__((visibility("hidden"))) SampleDecoder::Impl {
 public:
  explicit Impl(const JointLayout& layout) : layout_(layout), conversion_(layout_) {}

  const JointLayout layout_;
  const kvt_impl::SampleConversion conversion_;
  std::pair<std::int32_t, std::int32_t> basic_timestamp_{};
};

SampleDecoder::SampleDecoder(const JointLayout& layout)
    : pimpl_(std::make_unique<Impl>(layout)) {}
SampleDecoder::~SampleDecoder() = default;
SampleDecoder::SampleDecoder(SampleDecoder&&) noexcept = default;
SampleDecoder& SampleDecoder::operator=(SampleDecoder&&) noexcept = default;

const JointLayout& SampleDecoder::layout() const { return pimpl_->layout_; }

bool SampleDecoder::decode_basic(const std::uint8_t* data, std::size_t size,
                                 std::int64_t receive_time_ns, BasicSample& out) {
  zenoh::ZResult result = zenoh::Z_OK;
  const auto message = zenoh::ext::deserialize<zenoh_msgs::kvt_msg::AllBasicStreamData>(
      zenoh::Bytes::view(data, size), &result);
  if (result != zenoh::Z_OK) return false;
  pimpl_->conversion_.ToBasic(message, receive_time_ns, out);
  pimpl_->basic_timestamp_ = out.timestamp;
  return true;
}

bool SampleDecoder::decode_extra(const std::uint8_t* data, std::size_t size,
                                 std::int64_t receive_time_ns, ExtraSample& out) {
  zenoh::ZResult result = zenoh::Z_OK;
  const auto message = zenoh::ext::deserialize<zenoh_msgs::kvt_msg::AllExtraStreamData>(
      zenoh::Bytes::view(data, size), &result);
  if (result != zenoh::Z_OK) return false;
  pimpl_->conversion_.ToExtra(message, pimpl_->basic_timestamp_, receive_time_ns, out);
  return true;
}

}  // namespace orbalt::kvt
