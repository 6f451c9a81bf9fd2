#include "stream/data_stream.hpp"

#include <spdlog/spdlog.h>

#include <functional>

#include "messages/kvt_constants.hpp"
#include "stream/stream_log.hpp"

namespace orbalt::kvt_impl {

using zenoh_msgs::kvt_msg::AllBasicStreamData;
using zenoh_msgs::kvt_msg::AllExtraStreamData;

DataStream::~DataStream() {
  // After these two resets no callback can run on this object any more.
  basic_sub_.reset();
  extra_sub_.reset();
  // A reader may still be inside its section; let it leave before the members go.
  std::scoped_lock wait_for_readers(basic_mutex_, extra_mutex_);
}

ObrState DataStream::Init(const zenoh_mdw::RealtimeNode& node, const std::string& serial_number) {
  const std::string basic_topic = kTopicPrefix + serial_number + "/basic_stream_data";
  spdlog::debug(stream_log::kCreatingSubscriber, basic_topic);
  basic_sub_ = std::make_shared<zenoh_mdw::Subscriber<AllBasicStreamData>>(
      node.session_, std::bind(&DataStream::BasicSubCallback, this), basic_rx_, basic_topic);

  const std::string extra_topic = kTopicPrefix + serial_number + "/extra_stream_data";
  spdlog::debug(stream_log::kCreatingSubscriber, extra_topic);
  extra_sub_ = std::make_shared<zenoh_mdw::Subscriber<AllExtraStreamData>>(
      node.session_, std::bind(&DataStream::ExtraSubCallback, this), extra_rx_, extra_topic);

  return _MakeObrState(OK);
}

void DataStream::BasicSubCallback() {
  std::lock_guard<std::mutex> lock(basic_mutex_);
  basic_latest_ = basic_rx_;
}

void DataStream::ExtraSubCallback() {
  std::lock_guard<std::mutex> lock(extra_mutex_);
  extra_latest_ = extra_rx_;
}

}  // namespace orbalt::kvt_impl
