#include "middleware/shared_session.hpp"

#include <gtest/gtest.h>

#include <set>
#include <thread>
#include <vector>

#include "middleware/nodes.hpp"

namespace {

using orbalt::zenoh_mdw::GetSharedZenohSession;

TEST(SharedSession, TwoCallsShareOneSession) {
  auto a = GetSharedZenohSession();
  auto b = GetSharedZenohSession();
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a.get(), b.get());
  EXPECT_EQ(a.use_count(), 2);

  orbalt::zenoh_mdw::RealtimeNode realtime;
  orbalt::zenoh_mdw::ReliableNode reliable;
  EXPECT_EQ(realtime.session_.get(), a.get());
  EXPECT_EQ(reliable.session_.get(), a.get());
  EXPECT_EQ(a.use_count(), 4);
}

TEST(SharedSession, OpensAFreshSessionAfterEveryHolderLetGo) {
  std::weak_ptr<zenoh::Session> first = GetSharedZenohSession();
  EXPECT_TRUE(first.expired());  // the temporary was the only holder: the session closed
  auto second = GetSharedZenohSession();
  EXPECT_TRUE(first.expired());
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(second.use_count(), 1);
}

TEST(SharedSession, ConcurrentFirstCallsOpenOneSession) {
  constexpr int kThreads = 8;
  std::vector<std::shared_ptr<zenoh::Session>> got(kThreads);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] { got[i] = GetSharedZenohSession(); });
  }
  for (auto& t : threads) t.join();
  std::set<zenoh::Session*> distinct;
  for (const auto& s : got) distinct.insert(s.get());
  EXPECT_EQ(distinct.size(), 1u);
  EXPECT_EQ(got[0].use_count(), kThreads);
}

}  // namespace
