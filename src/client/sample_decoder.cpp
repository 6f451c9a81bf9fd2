#include "orbalt/kvt/sample_decoder.hpp"

#include "stream/sample_conversion.hpp"
#include "zenoh.hxx"

namespace orbalt::kvt {

class __attribute__((visibility("hidden"))) SampleDecoder::Impl {
 public:
  explicit Impl(const JointLayout& layout) : layout_(layout), conversion_(layout_) {}

  bool Basic(const std::uint8_t* data, std::size_t size, std::int64_t receive_time_ns,
             BasicSample& out, RobotStates* every_joint) {
    zenoh::ZResult result = zenoh::Z_OK;
    const auto message = zenoh::ext::deserialize<zenoh_msgs::kvt_msg::AllBasicStreamData>(
        zenoh::Bytes::view(data, size), &result);
    if (result != zenoh::Z_OK) return false;
    conversion_.ToBasic(message, receive_time_ns, out);
    basic_timestamp_ = out.timestamp;
    if (every_joint != nullptr) kvt_impl::SampleConversion::ToEveryJoint(message, *every_joint);
    return true;
  }

  bool Extra(const std::uint8_t* data, std::size_t size, std::int64_t receive_time_ns,
             ExtraSample& out, RobotActions* every_joint) {
    zenoh::ZResult result = zenoh::Z_OK;
    const auto message = zenoh::ext::deserialize<zenoh_msgs::kvt_msg::AllExtraStreamData>(
        zenoh::Bytes::view(data, size), &result);
    if (result != zenoh::Z_OK) return false;
    conversion_.ToExtra(message, basic_timestamp_, receive_time_ns, out);
    if (every_joint != nullptr) {
      kvt_impl::SampleConversion::ToEveryJoint(message, basic_timestamp_, *every_joint);
    }
    return true;
  }

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
  return pimpl_->Basic(data, size, receive_time_ns, out, nullptr);
}

bool SampleDecoder::decode_basic(const std::uint8_t* data, std::size_t size,
                                 std::int64_t receive_time_ns, BasicSample& out,
                                 RobotStates& every_joint) {
  return pimpl_->Basic(data, size, receive_time_ns, out, &every_joint);
}

bool SampleDecoder::decode_extra(const std::uint8_t* data, std::size_t size,
                                 std::int64_t receive_time_ns, ExtraSample& out) {
  return pimpl_->Extra(data, size, receive_time_ns, out, nullptr);
}

bool SampleDecoder::decode_extra(const std::uint8_t* data, std::size_t size,
                                 std::int64_t receive_time_ns, ExtraSample& out,
                                 RobotActions& every_joint) {
  return pimpl_->Extra(data, size, receive_time_ns, out, &every_joint);
}

}  // namespace orbalt::kvt
