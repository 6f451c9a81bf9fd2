// Our transport against an independent eclipse-zenoh peer, default configuration on both sides.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "middleware/shared_session.hpp"
#include "support/subprocess.hpp"
#include "zenoh.hxx"

namespace {

using namespace std::chrono_literals;

struct StreamSample {
  std::uint16_t counter = 0;
  std::vector<std::int32_t> values;
  std::string text;
};

bool __zenoh_deserialize_with_deserializer(zenoh::ext::Deserializer& d, StreamSample& s,
                                           zenoh::ZResult* err) {
  using zenoh::ext::__zenoh_deserialize_with_deserializer;
  return __zenoh_deserialize_with_deserializer(d, s.counter, err) &&
         __zenoh_deserialize_with_deserializer(d, s.values, err) &&
         __zenoh_deserialize_with_deserializer(d, s.text, err);
}

struct Pong {
  std::uint16_t request_id = 0;
  std::string text;
  std::vector<std::int32_t> groups;
};

bool __zenoh_deserialize_with_deserializer(zenoh::ext::Deserializer& d, Pong& p,
                                           zenoh::ZResult* err) {
  using zenoh::ext::__zenoh_deserialize_with_deserializer;
  return __zenoh_deserialize_with_deserializer(d, p.request_id, err) &&
         __zenoh_deserialize_with_deserializer(d, p.text, err) &&
         __zenoh_deserialize_with_deserializer(d, p.groups, err);
}

class Interop : public ::testing::Test {
 protected:
  void SetUp() override {
    prefix_ = "orbalt/test/interop/" +
              std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
              std::to_string(counter_++);
    peer_ = std::make_unique<orbalt::testing::ChildProcess>(
        std::vector<std::string>{orbalt::testing::PythonInterpreter(),
                                 ORBALTKVT_TESTS_DIR "/transport/interop_peer.py", prefix_});
    ASSERT_TRUE(peer_->WaitForLine("ready", 20s)) << "the Python peer did not start";
  }
  void TearDown() override { EXPECT_EQ(peer_->Stop(), 0); }

  // Collects the replies of one query and whether the query ended.
  struct QueryResult {
    std::mutex m;
    std::condition_variable cv;
    std::vector<std::pair<bool, std::vector<std::uint8_t>>> replies;
    int drops = 0;
  };

  // Queries `key` (the peer's service unless given) and waits until the query has ended.
  std::shared_ptr<QueryResult> Query(zenoh::Session& session, std::uint16_t request_id,
                                     std::uint64_t timeout_ms, std::string key = "") {
    auto result = std::make_shared<QueryResult>();
    zenoh::ext::Serializer s;
    s.serialize(request_id);
    s.serialize(std::vector<std::uint16_t>{2, 3});
    zenoh::Session::GetOptions options;
    options.payload = std::move(s).finish();
    options.encoding = zenoh::Encoding::ZENOH_SERIALIZED;
    options.timeout_ms = timeout_ms;
    session.get(
        zenoh::KeyExpr(key.empty() ? prefix_ + "/rpc" : key), "",
        [result](const zenoh::Reply& reply) {
          std::lock_guard<std::mutex> lock(result->m);
          const auto& bytes =
              reply.is_ok() ? reply.get_ok().get_payload() : reply.get_err().get_payload();
          result->replies.emplace_back(reply.is_ok(), bytes.as_vector());
        },
        [result] {
          std::lock_guard<std::mutex> lock(result->m);
          ++result->drops;
          result->cv.notify_all();
        },
        std::move(options));
    std::unique_lock<std::mutex> lock(result->m);
    result->cv.wait_for(lock, 10s, [&] { return result->drops > 0; });
    return result;
  }

  static inline int counter_ = 0;
  std::string prefix_;
  std::unique_ptr<orbalt::testing::ChildProcess> peer_;
};

TEST_F(Interop, SubscriberReceivesSamplesPublishedByThePythonPeer) {
  auto session = orbalt::zenoh_mdw::GetSharedZenohSession();
  std::mutex m;
  std::condition_variable cv;
  std::vector<StreamSample> received;
  std::atomic<int> drops{0};
  {
    auto sub = session->declare_subscriber(
        zenoh::KeyExpr(prefix_ + "/stream"),
        [&](const zenoh::Sample& sample) {
          auto s = zenoh::ext::deserialize<StreamSample>(sample.get_payload());
          std::lock_guard<std::mutex> lock(m);
          received.push_back(std::move(s));
          cv.notify_all();
        },
        [&] { ++drops; });
    std::unique_lock<std::mutex> lock(m);
    ASSERT_TRUE(cv.wait_for(lock, 15s, [&] { return received.size() >= 3; }))
        << "no samples from the peer";
    EXPECT_EQ(received.back().values, (std::vector<std::int32_t>{-5, 6}));
    EXPECT_EQ(received.back().text, "sample");
    EXPECT_GT(received.back().counter, received.front().counter);
  }
  // Undeclaring releases the handlers exactly once; a sample still being handled on another
  // thread holds them until it returns.
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (drops.load() == 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::yield();
  }
  EXPECT_EQ(drops.load(), 1);
}

TEST_F(Interop, QueryReceivesThePeersReplyAndEndsOnce) {
  auto session = orbalt::zenoh_mdw::GetSharedZenohSession();
  // Discovery takes a moment: a query that no queryable matches yet ends at once, empty.
  std::shared_ptr<QueryResult> result;
  const auto deadline = std::chrono::steady_clock::now() + 15s;
  do {
    result = Query(*session, 7, 2000);
  } while (result->replies.empty() && std::chrono::steady_clock::now() < deadline);
  ASSERT_EQ(result->replies.size(), 1u);
  EXPECT_EQ(result->drops, 1);
  ASSERT_TRUE(result->replies[0].first);
  const auto pong =
      zenoh::ext::deserialize<Pong>(zenoh::Bytes(std::move(result->replies[0].second)));
  EXPECT_EQ(pong.request_id, 7);
  EXPECT_EQ(pong.text, "pong");
  EXPECT_EQ(pong.groups, (std::vector<std::int32_t>{2, 3}));

  // The peer answers request 2 with an error reply first, then a good one.
  result = Query(*session, 2, 2000);
  ASSERT_EQ(result->replies.size(), 2u);
  EXPECT_FALSE(result->replies[0].first);
  EXPECT_EQ(zenoh::ext::deserialize<std::string>(zenoh::Bytes(result->replies[0].second)),
            "not this one");
  EXPECT_TRUE(result->replies[1].first);
  EXPECT_EQ(result->drops, 1);
}

TEST_F(Interop, QueryToNobodyEndsWithoutRepliesAndCompletesOnce) {
  auto session = orbalt::zenoh_mdw::GetSharedZenohSession();
  const auto start = std::chrono::steady_clock::now();
  const auto result = Query(*session, 7, 3000, "orbalt/test/nobody/rpc");
  ASSERT_GT(result->drops, 0) << "the query did not end";
  const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - start);
  std::printf("query without a queryable ended after %lld ms\n",
              static_cast<long long>(took.count()));
  EXPECT_TRUE(result->replies.empty());
  EXPECT_EQ(result->drops, 1);
}

TEST(KeyExpr, CanonizesAndRejectsWithTheTopicInTheText) {
  EXPECT_EQ(zenoh::KeyExpr("orbalt/robot/AB-1/rpc").as_string_view(), "orbalt/robot/AB-1/rpc");
  EXPECT_EQ(zenoh::KeyExpr("a/**/**/b").as_string_view(), "a/**/b");
  try {
    zenoh::KeyExpr bad("orbalt//robot");
    FAIL() << "accepted an empty chunk";
  } catch (const zenoh::ZException& e) {
    EXPECT_EQ(std::string(e.what()),
              "Failed to construct KeyExpr from: orbalt//robot(Error code: -1 )");
  }
  zenoh::ZResult err = 0;
  zenoh::KeyExpr bad("a/#b", true, &err);
  EXPECT_NE(err, 0);
}

}  // namespace
