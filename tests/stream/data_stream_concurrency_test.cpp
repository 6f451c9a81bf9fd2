// The stream intake under load: readers on several threads while both streams arrive at 1 kHz,
// and destruction while samples still flow. Meant to run under ThreadSanitizer as well.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

#include "stream/data_stream.hpp"
#include "support/dual_arm_layout.hpp"
#include "support/simulator.hpp"
#include "support/wait.hpp"

namespace {

using namespace std::chrono_literals;
using orbalt::kvt::JointGroup;
using orbalt::kvt_impl::DataStream;

using orbalt::testing::dual_arm::kDofs;
using orbalt::testing::dual_arm::kNames;
using orbalt::testing::dual_arm::kStarts;

using orbalt::testing::WaitUntil;

// Calls every reader until `stop`; counts results that are not one consistent sample.
struct Reader {
  void operator()(const DataStream& stream, const std::atomic<bool>& stop) {
    while (!stop.load()) {
      const auto states = stream.GetRobotStates(kNames, kStarts, kDofs);
      bool consistent = states.size() == 5;
      for (const auto& [group, s] : states) {
        consistent = consistent && s.q.size() == kDofs.at(group) &&
                     s.temperature.size() == kDofs.at(group) &&
                     s.timestamp == states.begin()->second.timestamp;
      }
      if (consistent && states.begin()->second.timestamp != last) {
        last = states.begin()->second.timestamp;
        ++changes;
      }
      const auto actions = stream.GetRobotActions(kNames, kStarts, kDofs);
      for (const auto& [group, a] : actions) {
        consistent = consistent && a.tau_d.size() == kDofs.at(group);
      }
      consistent = consistent && actions.size() == 5;
      consistent =
          consistent && stream.GetMultiContactPositions(kNames, kStarts, kDofs).size() == 5;
      consistent = consistent && stream.GetMultiContactForces(kNames, kStarts, kDofs).size() == 5;
      consistent = consistent && stream.GetJointGroups(true).size() == 5;
      consistent = consistent && stream.GetJointGroups(false).size() == 5;
      stream.GetSystemState();
      stream.GetSafetyBoardState();
      stream.GetSafetyInputs();
      stream.IsEstopReleased();
      stream.IsEnablingDeviceOn();
      stream.GetDigitalInput();
      stream.GetDigitalOutput();
      ++rounds;
      if (!consistent) ++inconsistent;
    }
  }
  int rounds = 0;
  int inconsistent = 0;
  std::pair<std::int32_t, std::int32_t> last{};
  std::atomic<int> changes{0};  ///< how often a newer basic sample was seen
};

TEST(DataStreamConcurrency, ReadersRunWhileBothStreamsArrive) {
  orbalt::testing::Simulator sim("ORB-STR-CONC-1", {"--preset", "dual", "--rate", "1000"});
  orbalt::zenoh_mdw::RealtimeNode node;
  auto stream = std::make_unique<DataStream>();
  stream->Init(node, "ORB-STR-CONC-1");
  ASSERT_TRUE(WaitUntil([&] {
    return stream->GetJointGroups(true).size() == 5 && stream->GetJointGroups(false).size() == 5;
  })) << "no samples from the simulator";

  constexpr int kReaders = 4;
  std::atomic<bool> stop{false};
  std::vector<std::unique_ptr<Reader>> readers;
  std::vector<std::thread> threads;
  for (int i = 0; i < kReaders; ++i) {
    readers.push_back(std::make_unique<Reader>());
    threads.emplace_back([&, reader = readers.back().get()] { (*reader)(*stream, stop); });
  }
  // Every reader keeps going until it has watched the stream move on 500 times.
  const bool moved = WaitUntil([&] {
    for (const auto& reader : readers) {
      if (reader->changes.load() < 500) return false;
    }
    return true;
  });
  stop = true;
  for (auto& t : threads) t.join();

  EXPECT_TRUE(moved) << "the stream did not move while it was read";
  for (const auto& reader : readers) {
    std::printf("reader: %d rounds, %d newer samples seen\n", reader->rounds,
                reader->changes.load());
    EXPECT_EQ(reader->inconsistent, 0);
  }

  // Destroyed while both streams keep arriving.
  stream.reset();
}

TEST(DataStreamConcurrency, DestructionWhileSamplesFlow) {
  orbalt::testing::Simulator sim("ORB-STR-CONC-2", {"--preset", "dual", "--rate", "2000"});
  orbalt::zenoh_mdw::RealtimeNode node;
  for (int round = 0; round < 10; ++round) {
    SCOPED_TRACE(round);
    auto stream = std::make_unique<DataStream>();
    stream->Init(node, "ORB-STR-CONC-2");
    ASSERT_TRUE(WaitUntil([&] {
      return stream->GetJointGroups(true).size() == 5 && stream->GetJointGroups(false).size() == 5;
    }));
    stream.reset();
  }
}

}  // namespace
