#include "orbalt/kvt/sample_stream.hpp"

#include <deque>
#include <mutex>

#include "client/client_impl.hpp"
#include "middleware/nodes.hpp"
#include "stream/column_conversion.hpp"
#include "stream/sample_conversion.hpp"
#include "stream/sample_intake.hpp"

namespace orbalt::kvt {

namespace {

/// The client's layout: each group its first sample listed, with the start ID and DoF fetched
/// for it.
JointLayout LayoutOf(const Client::Impl& client) {
  JointLayout layout;
  for (const auto& entry : client.joint_groups_) {
    const auto start_id = client.start_ids_.find(entry.first);
    const auto dof = client.dofs_.find(entry.first);
    if (start_id != client.start_ids_.end() && dof != client.dofs_.end()) {
      layout.emplace(entry.first, GroupLayout{start_id->second, dof->second});
    }
  }
  return layout;
}

// Decodes bytes the intake has decoded once already, into `message`, reusing its memory.
template <class Message>
void Decode(const std::vector<std::uint8_t>& payload, Message& message) {
  zenoh::ext::Deserializer d(payload.data(), payload.size());
  zenoh::ZResult result = zenoh::Z_OK;
  zenoh_msgs::kvt_msg::__zenoh_deserialize_with_deserializer(d, message, &result);
}

}  // namespace

class __attribute__((visibility("hidden"))) SampleStream::Impl {
 public:
  Impl(const Client::Impl& client, const SampleStreamOptions& options)
      : serial_number_(client.serial_number_),
        layout_(LayoutOf(client)),
        conversion_(layout_),
        columns_(layout_),
        keep_payloads_(options.keep_payloads),
        intake_(options.capacity, options.max_latency) {
    intake_.Start(node_, serial_number_);
  }

  SampleBatch Next(std::chrono::milliseconds timeout, std::size_t max_samples) {
    std::lock_guard<std::mutex> reader(reader_mutex_);
    basic_.clear();
    extra_.clear();
    intake_.Take(basic_, extra_, max_samples, std::chrono::steady_clock::now() + timeout);
    SampleBatch batch;
    batch.basic.resize(basic_.size());
    for (std::size_t i = 0; i < basic_.size(); ++i) {
      // The intake queued only samples that decode.
      Decode(basic_[i].payload, basic_message_);
      conversion_.ToBasic(basic_message_, basic_[i].receive_time_ns, batch.basic[i]);
      if (keep_payloads_) batch.basic[i].payload = std::move(basic_[i].payload);
    }
    batch.extra.resize(extra_.size());
    for (std::size_t i = 0; i < extra_.size(); ++i) {
      Decode(extra_[i].payload, extra_message_);
      conversion_.ToExtra(extra_message_, extra_[i].timestamp, extra_[i].receive_time_ns,
                          batch.extra[i]);
      if (keep_payloads_) batch.extra[i].payload = std::move(extra_[i].payload);
    }
    return batch;
  }

  bool NextColumns(std::chrono::milliseconds timeout, ColumnBatch& out, std::size_t max_samples) {
    std::lock_guard<std::mutex> reader(reader_mutex_);
    basic_.clear();
    extra_.clear();
    intake_.Take(basic_, extra_, max_samples, std::chrono::steady_clock::now() + timeout);
    columns_.Clear(out.basic);
    columns_.Clear(out.extra);
    kvt_impl::ColumnConversion::Reserve(out.basic, basic_.size());
    kvt_impl::ColumnConversion::Reserve(out.extra, extra_.size());
    for (const kvt_impl::BasicArrival& a : basic_) {
      Decode(a.payload, basic_message_);
      columns_.AppendBasic(&basic_message_, a.receive_time_ns, out.basic);
      if (keep_payloads_) {
        kvt_impl::ColumnConversion::AppendPayload(a.payload.data(), a.payload.size(), out.basic);
      }
    }
    for (const kvt_impl::ExtraArrival& a : extra_) {
      Decode(a.payload, extra_message_);
      columns_.AppendExtra(&extra_message_, a.timestamp, a.receive_time_ns, out.extra);
      if (keep_payloads_) {
        kvt_impl::ColumnConversion::AppendPayload(a.payload.data(), a.payload.size(), out.extra);
      }
    }
    kvt_impl::ColumnConversion::Finish(out.basic);
    kvt_impl::ColumnConversion::Finish(out.extra);
    return !out.empty();
  }

  const std::string serial_number_;
  const JointLayout layout_;
  const kvt_impl::SampleConversion conversion_;
  const kvt_impl::ColumnConversion columns_;
  const bool keep_payloads_;
  // Decoded into again and again by the reader.
  zenoh_msgs::kvt_msg::AllBasicStreamData basic_message_;
  zenoh_msgs::kvt_msg::AllExtraStreamData extra_message_;
  // Declared before the intake: the session outlives the subscriptions.
  zenoh_mdw::RealtimeNode node_;
  kvt_impl::SampleIntake intake_;
  std::mutex reader_mutex_;
  std::deque<kvt_impl::BasicArrival> basic_;
  std::deque<kvt_impl::ExtraArrival> extra_;
};

SampleStream::SampleStream(const Client& client, SampleStreamOptions options)
    : pimpl_(std::make_unique<Impl>(*client.pimpl_, options)) {}

SampleStream::~SampleStream() = default;

SampleBatch SampleStream::next(std::chrono::milliseconds timeout, std::size_t max_samples) {
  return pimpl_->Next(timeout, max_samples);
}

bool SampleStream::next_columns(std::chrono::milliseconds timeout, ColumnBatch& out,
                                std::size_t max_samples) {
  return pimpl_->NextColumns(timeout, out, max_samples);
}

void SampleStream::interrupt() { pimpl_->intake_.Interrupt(); }

StreamCounters SampleStream::basic_counters() const { return pimpl_->intake_.BasicCounters(); }

StreamCounters SampleStream::extra_counters() const { return pimpl_->intake_.ExtraCounters(); }

const JointLayout& SampleStream::layout() const { return pimpl_->layout_; }

const std::string& SampleStream::serial_number() const { return pimpl_->serial_number_; }

}  // namespace orbalt::kvt
