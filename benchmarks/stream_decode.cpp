// Cost of one stream sample on its way to the caller: decoding the payload, publishing it as the
// newest sample, and converting it into per-group records or into columns. The sample has the simulator's
// dual-arm shape: 16 joints in five groups (ALL, ARMS, ARM_1, ARM_2, EXT_AXIS).
//
//   build/benchmarks/stream_decode [--benchmark_repetitions=5]
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "messages/stream_messages.hpp"
#include "orbalt/kvt/sample_decoder.hpp"
#include "stream/column_conversion.hpp"
#include "stream/data_stream.hpp"
#include "stream/data_stream_access.hpp"
#include "support/dual_arm_layout.hpp"
#include "zenoh.hxx"

namespace {

using orbalt::kvt::JointGroup;
using orbalt::kvt_impl::DataStream;
using orbalt::kvt_impl::DataStreamTestAccess;
using orbalt::zenoh_msgs::kvt_msg::AllBasicStreamData;
using orbalt::zenoh_msgs::kvt_msg::AllExtraStreamData;
using orbalt::zenoh_msgs::kvt_msg::BasicCartesianData;
using orbalt::zenoh_msgs::kvt_msg::ExtraCartesianData;

using orbalt::testing::dual_arm::kIndices;
using orbalt::testing::dual_arm::kJoints;

using orbalt::testing::dual_arm::kDofs;
using orbalt::testing::dual_arm::kNames;
using orbalt::testing::dual_arm::kStarts;

std::vector<float> Wave(float phase) {
  std::vector<float> v(kJoints);
  for (std::size_t j = 0; j < kJoints; ++j) v[j] = std::sin(phase + 0.7f * j);
  return v;
}

template <std::size_t N>
std::array<float, N> Block(float phase) {
  std::array<float, N> a{};
  for (std::size_t e = 0; e < N; ++e) a[e] = std::cos(phase + 0.3f * e);
  return a;
}

// The wire form, field by field, written with the zenoh serializer.
zenoh::Bytes EncodeBasicSample() {
  zenoh::ext::Serializer s;
  s.serialize(std::uint16_t{7});
  s.serialize(std::int16_t{12});
  s.serialize(true);
  s.serialize(true);
  s.serialize(std::array<bool, 8>{true, true, true, true, true, true, true, true});
  s.serialize(std::array<bool, 20>{});
  s.serialize(std::array<bool, 20>{});
  s.serialize(kIndices);
  for (int f = 0; f < 9; ++f) s.serialize(Wave(static_cast<float>(f)));
  for (int f = 0; f < 2; ++f) {
    std::vector<std::array<float, 3>> vectors(kJoints);
    for (std::size_t j = 0; j < kJoints; ++j) vectors[j] = Block<3>(static_cast<float>(f + j));
    s.serialize(vectors);
  }
  s.write_sequence_length(kIndices.size());
  for (std::size_t k = 0; k < kIndices.size(); ++k) {
    const float p = static_cast<float>(k);
    s.serialize(Block<7>(p));
    s.serialize(Block<7>(p + 1));
    for (int c = 0; c < 5; ++c) s.serialize(Block<6>(p + 2 + c));
  }
  s.serialize(std::int32_t{1700000000});
  s.serialize(std::uint32_t{123456789});
  return std::move(s).finish();
}

zenoh::Bytes EncodeExtraSample() {
  zenoh::ext::Serializer s;
  s.serialize(kIndices);
  for (int f = 0; f < 3; ++f) s.serialize(Wave(static_cast<float>(f)));
  s.write_sequence_length(kIndices.size());
  for (std::size_t k = 0; k < kIndices.size(); ++k) {
    const float p = static_cast<float>(k);
    s.serialize(Block<7>(p));
    s.serialize(Block<6>(p + 1));
    s.serialize(Block<6>(p + 2));
  }
  return std::move(s).finish();
}

const zenoh::Bytes& BasicPayload() {
  static const zenoh::Bytes payload = EncodeBasicSample();
  return payload;
}

const zenoh::Bytes& ExtraPayload() {
  static const zenoh::Bytes payload = EncodeExtraSample();
  return payload;
}

orbalt::kvt::JointLayout Layout() {
  orbalt::kvt::JointLayout layout;
  for (const auto& [group, start] : kStarts) layout[group] = {start, kDofs.at(group)};
  return layout;
}

// A stream without subscriptions holding one basic and one extra sample.
DataStream& Stream() {
  static DataStream* stream = [] {
    auto* s = new DataStream;
    DataStreamTestAccess::PublishBasic(*s,
                                       zenoh::ext::deserialize<AllBasicStreamData>(BasicPayload()));
    DataStreamTestAccess::PublishExtra(*s,
                                       zenoh::ext::deserialize<AllExtraStreamData>(ExtraPayload()));
    return s;
  }();
  return *stream;
}

void DecodeBasic(benchmark::State& state) {
  // Decoded from a view, as the subscriber does with the payload zenoh lends it.
  const auto view = zenoh::Bytes::view(BasicPayload().data(), BasicPayload().size());
  for (auto _ : state) {
    benchmark::DoNotOptimize(zenoh::ext::deserialize<AllBasicStreamData>(view));
  }
  state.counters["payload_bytes"] = static_cast<double>(view.size());
}
BENCHMARK(DecodeBasic);

// The floor under decoding: one copy of the payload bytes into fresh memory.
void CopyBasicPayload(benchmark::State& state) {
  const auto& payload = BasicPayload();
  for (auto _ : state) {
    std::vector<std::uint8_t> copy(payload.data(), payload.data() + payload.size());
    benchmark::DoNotOptimize(copy.data());
  }
}
BENCHMARK(CopyBasicPayload);

void DecodeExtra(benchmark::State& state) {
  const auto view = zenoh::Bytes::view(ExtraPayload().data(), ExtraPayload().size());
  for (auto _ : state) {
    benchmark::DoNotOptimize(zenoh::ext::deserialize<AllExtraStreamData>(view));
  }
  state.counters["payload_bytes"] = static_cast<double>(view.size());
}
BENCHMARK(DecodeExtra);

// Decoding plus what the intake does with the result: move into the receive buffer, copy under
// the lock as the newest sample.
void DecodeAndPublishBasic(benchmark::State& state) {
  const auto view = zenoh::Bytes::view(BasicPayload().data(), BasicPayload().size());
  DataStream stream;
  for (auto _ : state) {
    DataStreamTestAccess::PublishBasic(stream, zenoh::ext::deserialize<AllBasicStreamData>(view));
  }
}
BENCHMARK(DecodeAndPublishBasic);

void GetRobotStates(benchmark::State& state) {
  const DataStream& stream = Stream();
  for (auto _ : state) {
    benchmark::DoNotOptimize(stream.GetRobotStates(kNames, kStarts, kDofs));
  }
}
BENCHMARK(GetRobotStates);

void GetRobotActions(benchmark::State& state) {
  const DataStream& stream = Stream();
  for (auto _ : state) {
    benchmark::DoNotOptimize(stream.GetRobotActions(kNames, kStarts, kDofs));
  }
}
BENCHMARK(GetRobotActions);

}  // namespace

// What a sample costs on its way into columns: the sample stream's reader appends each decoded
// message to the batch's columns (the transport thread decoded it already).
void AppendBasicColumns(benchmark::State& state) {
  const auto message = zenoh::ext::deserialize<AllBasicStreamData>(BasicPayload());
  const orbalt::kvt_impl::ColumnConversion conversion(Layout());
  orbalt::kvt::BasicColumns columns;
  conversion.Clear(columns);
  for (auto _ : state) {
    if (columns.rows == 1000) conversion.Clear(columns);  // a batch of 1000, buffers kept
    conversion.AppendBasic(&message, 1, columns);
  }
}
BENCHMARK(AppendBasicColumns);

// A recording's payloads into columns: decode and append, 1000 basic and 1000 extra a call.
void DecoderColumns(benchmark::State& state) {
  std::vector<orbalt::kvt::SampleDecoder::Payload> basic(1000), extra(1000);
  for (std::size_t i = 0; i < basic.size(); ++i) {
    basic[i] = {BasicPayload().data(), BasicPayload().size(), static_cast<std::int64_t>(2 * i)};
    extra[i] = {ExtraPayload().data(), ExtraPayload().size(),
                static_cast<std::int64_t>(2 * i + 1)};
  }
  orbalt::kvt::SampleDecoder decoder(Layout());
  for (auto _ : state) {
    orbalt::kvt::ColumnBatch columns;
    decoder.decode(basic.data(), basic.size(), extra.data(), extra.size(), columns);
    benchmark::DoNotOptimize(columns.basic.rows);
  }
  state.counters["samples"] = benchmark::Counter(
      static_cast<double>(basic.size() + extra.size()), benchmark::Counter::kIsIterationInvariantRate |
                                                            benchmark::Counter::kInvert);
}
BENCHMARK(DecoderColumns);

BENCHMARK_MAIN();
