#include "orbalt/kvt/sample_decoder.hpp"

#include <vector>

#include "orbalt/kvt/sample_columns.hpp"
#include "stream/column_conversion.hpp"
#include "stream/record_fields.hpp"
#include "stream/sample_conversion.hpp"
#include "zenoh.hxx"

namespace orbalt::kvt {

class __attribute__((visibility("hidden"))) SampleDecoder::Impl {
 public:
  explicit Impl(const JointLayout& layout)
      : layout_(layout), conversion_(layout_), columns_(layout_) {}

  // Decodes into `message`, reusing it; false when the bytes are not such a message.
  template <class Message>
  static bool DecodeInto(const std::uint8_t* data, std::size_t size, Message& message) {
    zenoh::ext::Deserializer d(data, size);
    zenoh::ZResult result = zenoh::Z_OK;
    return zenoh_msgs::kvt_msg::__zenoh_deserialize_with_deserializer(d, message, &result) &&
           d.is_done();
  }

  void Decode(const Payload* basic, std::size_t basic_count, const Payload* extra,
              std::size_t extra_count, ColumnBatch& out, bool every_joint) {
    if (out.basic.rows == 0) columns_.Clear(out.basic);
    if (out.extra.rows == 0) columns_.Clear(out.extra);
    kvt_impl::ColumnConversion::Reserve(out.basic, out.basic.rows + basic_count);
    kvt_impl::ColumnConversion::Reserve(out.extra, out.extra.rows + extra_count);
    std::vector<std::int64_t> basic_times(basic_count), extra_times(extra_count);
    for (std::size_t i = 0; i < basic_count; ++i) basic_times[i] = basic[i].receive_time_ns;
    for (std::size_t i = 0; i < extra_count; ++i) extra_times[i] = extra[i].receive_time_ns;
    ForEachByReceiveTime(
        basic_times.data(), basic_count, extra_times.data(), extra_count,
        [&](std::size_t i) {
          const bool ok = DecodeInto(basic[i].data, basic[i].size, basic_message_);
          const auto* message = ok ? &basic_message_ : nullptr;
          columns_.AppendBasic(message, basic[i].receive_time_ns, out.basic);
          if (every_joint) kvt_impl::ColumnConversion::AppendEveryJoint(message, out.basic);
          if (ok) basic_timestamp_ = kvt_impl::RecordTimestamp(basic_message_.timestamp);
        },
        [&](std::size_t j) {
          const bool ok = DecodeInto(extra[j].data, extra[j].size, extra_message_);
          const auto* message = ok ? &extra_message_ : nullptr;
          columns_.AppendExtra(message, basic_timestamp_, extra[j].receive_time_ns, out.extra);
          if (every_joint) kvt_impl::ColumnConversion::AppendEveryJoint(message, out.extra);
        });
    kvt_impl::ColumnConversion::Finish(out.basic);
    kvt_impl::ColumnConversion::Finish(out.extra);
  }

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
  const kvt_impl::ColumnConversion columns_;
  std::pair<std::int32_t, std::int32_t> basic_timestamp_{};
  // Reused from sample to sample.
  zenoh_msgs::kvt_msg::AllBasicStreamData basic_message_;
  zenoh_msgs::kvt_msg::AllExtraStreamData extra_message_;
};

SampleDecoder::SampleDecoder(const JointLayout& layout) : pimpl_(std::make_unique<Impl>(layout)) {}
SampleDecoder::~SampleDecoder() = default;
SampleDecoder::SampleDecoder(SampleDecoder&&) noexcept = default;
SampleDecoder& SampleDecoder::operator=(SampleDecoder&&) noexcept = default;

const JointLayout& SampleDecoder::layout() const { return pimpl_->layout_; }

void SampleDecoder::decode(const Payload* basic, std::size_t basic_count, const Payload* extra,
                           std::size_t extra_count, ColumnBatch& out, bool every_joint) {
  pimpl_->Decode(basic, basic_count, extra, extra_count, out, every_joint);
}

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
