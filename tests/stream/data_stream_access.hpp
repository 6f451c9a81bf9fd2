// Lets tests publish samples into a DataStream without a robot and look at its subscriptions.
#pragma once

#include <utility>

#include "stream/data_stream.hpp"

namespace orbalt::kvt_impl {

class DataStreamTestAccess {
 public:
  /// Runs the basic sample path from the receive buffer on; only for an object without
  /// subscriptions.
  static void PublishBasic(DataStream& stream, zenoh_msgs::kvt_msg::AllBasicStreamData sample) {
    stream.basic_rx_ = std::move(sample);
    stream.BasicSubCallback();
  }
  static void PublishExtra(DataStream& stream, zenoh_msgs::kvt_msg::AllExtraStreamData sample) {
    stream.extra_rx_ = std::move(sample);
    stream.ExtraSubCallback();
  }
  /// The buffer the basic subscriber decodes into (benchmarks wire their own subscriber to it).
  static zenoh_msgs::kvt_msg::AllBasicStreamData& BasicBuffer(DataStream& stream) {
    return stream.basic_rx_;
  }
  static bool Subscribed(const DataStream& stream, bool basic) {
    return basic ? stream.basic_sub_ != nullptr : stream.extra_sub_ != nullptr;
  }
};

}  // namespace orbalt::kvt_impl
