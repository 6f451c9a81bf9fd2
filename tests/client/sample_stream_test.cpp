// The sample stream against the simulated robot.
#include "orbalt/kvt/sample_stream.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "orbalt/kvt/sample_decoder.hpp"
#include "support/simulator.hpp"
#include "support/wait.hpp"

namespace {

using namespace std::chrono_literals;
using orbalt::kvt::Client;
using orbalt::kvt::JointGroup;
using orbalt::kvt::SampleStream;
using orbalt::kvt::SampleStreamOptions;
using orbalt::testing::Simulator;

std::string NextSerial() {
  static int n = 0;
  return "SST-" + std::to_string(::getpid()) + "-" + std::to_string(++n);
}

std::int64_t Nanoseconds(const std::pair<std::int32_t, std::int32_t>& timestamp) {
  return static_cast<std::int64_t>(timestamp.first) * 1'000'000'000 + timestamp.second;
}

TEST(SampleStream, HandsOverConsecutiveSamplesInOrderAndOutlivesItsClient) {
  Simulator sim(NextSerial());
  auto client = std::make_unique<Client>(sim.serial_number(), false);
  SampleStream stream(*client, SampleStreamOptions{100000, true});
  EXPECT_EQ(stream.serial_number(), sim.serial_number());
  ASSERT_EQ(stream.layout().at(JointGroup::ARM_2).start_id, 7u);

  std::vector<orbalt::kvt::BasicSample> basic;
  std::size_t extra = 0;
  const auto collect = [&](std::size_t count) {
    return orbalt::testing::WaitUntil(
        [&] {
          auto batch = stream.next(100ms);
          extra += batch.extra.size();
          for (auto& s : batch.basic) basic.push_back(std::move(s));
          return basic.size() >= count;
        },
        20s);
  };
  ASSERT_TRUE(collect(500));
  client.reset();  // the stream keeps its own subscriptions
  const std::size_t before = basic.size();
  ASSERT_TRUE(collect(before + 500));

  orbalt::kvt::SampleDecoder decoder(stream.layout());
  std::int64_t step = 0;
  for (std::size_t i = 0; i < basic.size(); ++i) {
    const auto& s = basic[i];
    ASSERT_EQ(s.states.at(JointGroup::ARM_1).q.size(), 7u);
    ASSERT_EQ(s.states.at(JointGroup::ARM_1).timestamp, s.timestamp);
    ASSERT_FALSE(s.payload.empty());
    if (i > 0) {
      ASSERT_GE(s.receive_time_ns, basic[i - 1].receive_time_ns);
      const std::int64_t d = Nanoseconds(s.timestamp) - Nanoseconds(basic[i - 1].timestamp);
      if (step == 0) step = d;
      ASSERT_EQ(d, step) << "sample " << i << " is not the one after " << i - 1;
    }
    orbalt::kvt::BasicSample again;
    ASSERT_TRUE(decoder.decode_basic(s.payload.data(), s.payload.size(), 7, again));
    ASSERT_EQ(again.states.at(JointGroup::EXT_AXIS).q, s.states.at(JointGroup::EXT_AXIS).q);
    ASSERT_EQ(again.status.system_state_name, s.status.system_state_name);
  }
  // A layout the samples no longer fit (the robot's groups changed): no group record, but every
  // joint the sample carries, in full-DoF order.
  orbalt::kvt::SampleDecoder stale({{JointGroup::ALL, {0, 40}}});
  const auto& last = basic.back();
  orbalt::kvt::BasicSample none;
  orbalt::kvt::RobotStates every;
  ASSERT_TRUE(stale.decode_basic(last.payload.data(), last.payload.size(), 7, none, every));
  EXPECT_TRUE(none.states.empty());
  std::vector<double> joined;
  for (const JointGroup g : {JointGroup::ARM_1, JointGroup::ARM_2, JointGroup::EXT_AXIS}) {
    const auto& q = last.states.at(g).q;
    joined.insert(joined.end(), q.begin(), q.end());
  }
  EXPECT_EQ(every.q, joined);
  EXPECT_EQ(every.tau_interact.size(), 16u);
  EXPECT_EQ(every.timestamp, last.timestamp);
  EXPECT_FALSE(basic.front().status.system_state_name.empty());
  const auto counters = stream.basic_counters();
  EXPECT_EQ(counters.delivered, basic.size());
  EXPECT_EQ(counters.dropped + counters.malformed + counters.gaps, 0u);
  EXPECT_GT(extra, 0u);
}

TEST(SampleStream, InterruptEndsAWaitingReader) {
  Simulator sim(NextSerial());
  Client client(sim.serial_number(), false);
  SampleStream stream(client);
  sim.Command(R"({"cmd": "pause", "stream": "both"})");
  while (!stream.next(200ms).empty()) {
  }
  const auto start = std::chrono::steady_clock::now();
  std::thread reader([&] { EXPECT_TRUE(stream.next(60s).empty()); });
  std::this_thread::sleep_for(100ms);
  stream.interrupt();
  reader.join();
  const auto waited = std::chrono::steady_clock::now() - start;
  std::printf("interrupted after %lld ms\n",
              static_cast<long long>(
                  std::chrono::duration_cast<std::chrono::milliseconds>(waited).count()));
  EXPECT_LT(waited, 30s);
}

}  // namespace
