// The typed subscriber against samples put on the shared session.
#include "middleware/subscriber.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "messages/stream_messages.hpp"
#include "messages/stream_vectors.hpp"
#include "middleware/shared_session.hpp"
#include "support/wait.hpp"

namespace {

using namespace std::chrono_literals;
using orbalt::testing::StreamPayload;
using orbalt::zenoh_mdw::Subscriber;
using orbalt::zenoh_msgs::kvt_msg::AllBasicStreamData;

// What the notification function saw: the buffer's group count at each call.
class Notifications {
 public:
  void Record(const AllBasicStreamData& buffer) {
    std::lock_guard<std::mutex> lock(m_);
    seen_.push_back(buffer.joint_group_indices.size());
    cv_.notify_all();
  }
  bool WaitFor(std::size_t count, std::chrono::milliseconds timeout = 10s) {
    std::unique_lock<std::mutex> lock(m_);
    return cv_.wait_for(lock, timeout, [&] { return seen_.size() >= count; });
  }
  std::vector<std::size_t> Seen() {
    std::lock_guard<std::mutex> lock(m_);
    return seen_;
  }

 private:
  std::mutex m_;
  std::condition_variable cv_;
  std::vector<std::size_t> seen_;
};

using orbalt::testing::WaitUntil;

class SubscriberTest : public ::testing::Test {
 protected:
  void Put(const std::string& vector) {
    session_->put(zenoh::KeyExpr(topic_), StreamPayload(vector));
  }

  std::shared_ptr<zenoh::Session> session_ = orbalt::zenoh_mdw::GetSharedZenohSession();
  std::string topic_ = "orbalt/test/subscriber/" +
                       std::string(::testing::UnitTest::GetInstance()->current_test_info()->name());
};

TEST_F(SubscriberTest, DropsBadSamplesAndDeliversTheNextGoodOne) {
  AllBasicStreamData buffer;
  Notifications notifications;
  auto sub = std::make_shared<Subscriber<AllBasicStreamData>>(
      session_, [&] { notifications.Record(buffer); }, buffer, topic_);

  Put("basic_empty");
  ASSERT_TRUE(notifications.WaitFor(1));
  for (const std::string bad : {"basic_trailing_byte", "basic_bad_digital_inputs_21",
                                "basic_without_spare", "extra_known_sim"}) {
    Put(bad);
  }
  Put("basic_known_sim");
  ASSERT_TRUE(notifications.WaitFor(2));
  Put("basic_empty");
  ASSERT_TRUE(notifications.WaitFor(3));

  // A bad sample would have shown up as an extra call, or as a buffer of two groups before the
  // good sample arrived.
  EXPECT_EQ(notifications.Seen(), (std::vector<std::size_t>{0, 2, 0}));
}

TEST_F(SubscriberTest, KeepsTheSubscriptionWhenTheNotificationThrows) {
  AllBasicStreamData buffer;
  Notifications notifications;
  auto sub = std::make_shared<Subscriber<AllBasicStreamData>>(
      session_,
      [&] {
        notifications.Record(buffer);
        throw std::runtime_error("owner failed");
      },
      buffer, topic_);

  Put("basic_known_sim");
  ASSERT_TRUE(notifications.WaitFor(1));
  Put("basic_empty");
  ASSERT_TRUE(notifications.WaitFor(2));
  EXPECT_EQ(notifications.Seen(), (std::vector<std::size_t>{2, 0}));
  EXPECT_TRUE(buffer.joint_group_indices.empty());
}

TEST_F(SubscriberTest, TouchesNothingAfterDestruction) {
  AllBasicStreamData buffer;
  std::atomic<int> calls{0};
  auto sub = std::make_shared<Subscriber<AllBasicStreamData>>(
      session_, [&] { ++calls; }, buffer, topic_);
  Put("basic_empty");

  // A second subscriber on the same topic tells when later samples have been delivered.
  AllBasicStreamData witness_buffer;
  Notifications witness;
  auto witness_sub = std::make_shared<Subscriber<AllBasicStreamData>>(
      session_, [&] { witness.Record(witness_buffer); }, witness_buffer, topic_);
  Put("basic_empty");
  ASSERT_TRUE(witness.WaitFor(1));
  ASSERT_TRUE(WaitUntil([&] { return calls.load() == 2; }));

  sub.reset();
  for (int i = 0; i < 5; ++i) Put("basic_known_sim");
  ASSERT_TRUE(witness.WaitFor(6));
  EXPECT_EQ(calls.load(), 2);
  EXPECT_TRUE(buffer.joint_group_indices.empty());
}

TEST_F(SubscriberTest, DestructionWaitsForARunningNotification) {
  AllBasicStreamData buffer;
  std::atomic<bool> entered{false};
  std::atomic<bool> release{false};
  std::atomic<bool> finished{false};
  auto sub = std::make_shared<Subscriber<AllBasicStreamData>>(
      session_,
      [&] {
        entered = true;
        WaitUntil([&] { return release.load(); });
        finished = true;
      },
      buffer, topic_);
  // A local put runs the handler on the putting thread.
  std::thread putter([&] { Put("basic_empty"); });
  ASSERT_TRUE(WaitUntil([&] { return entered.load(); }));

  std::atomic<bool> destroyed{false};
  bool finished_when_destroyed = false;
  std::thread destroyer([&] {
    sub.reset();
    finished_when_destroyed = finished.load();
    destroyed = true;
  });
  // The destructor must not return while the notification still runs.
  EXPECT_FALSE(WaitUntil([&] { return destroyed.load(); }, 300ms));
  release = true;
  destroyer.join();
  putter.join();
  EXPECT_TRUE(finished_when_destroyed);
}

TEST_F(SubscriberTest, RejectsAnInvalidTopic) {
  AllBasicStreamData buffer;
  const std::string topic = "orbalt/robot/bad?topic";
  try {
    Subscriber<AllBasicStreamData> sub(
        session_, [] {}, buffer, topic);
    FAIL() << "subscribed to an invalid topic";
  } catch (const zenoh::ZException& e) {
    EXPECT_EQ(std::string(e.what()).rfind("Failed to construct KeyExpr from: " + topic, 0), 0u)
        << e.what();
  }
}

}  // namespace
