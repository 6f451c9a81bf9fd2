// The blocking request/reply client against the simulated robot's data service.
#include "middleware/rpc_client.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "messages/rpc_messages.hpp"
#include "middleware/shared_session.hpp"
#include "support/simulator.hpp"

namespace {

using namespace std::chrono_literals;
using orbalt::zenoh_msgs::kvt_msg::RPCReply;
using orbalt::zenoh_msgs::kvt_msg::RPCRequest;
using Clock = std::chrono::steady_clock;

// An RPCReply whose decoding is counted, so a test can see replies that reach the client after
// the caller gave up.
struct CountedReply {
  RPCReply reply;
};

struct DecodeCounter {
  std::mutex m;
  std::condition_variable cv;
  int decoded = 0;

  bool WaitFor(int count, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(m);
    return cv.wait_for(lock, timeout, [&] { return decoded >= count; });
  }
  int Value() {
    std::lock_guard<std::mutex> lock(m);
    return decoded;
  }
};

DecodeCounter& Decoded() {
  static DecodeCounter counter;
  return counter;
}

bool __zenoh_deserialize_with_deserializer(zenoh::ext::Deserializer& d, CountedReply& r,
                                           zenoh::ZResult* err) {
  const bool ok =
      orbalt::zenoh_msgs::kvt_msg::__zenoh_deserialize_with_deserializer(d, r.reply, err);
  if (ok) {
    std::lock_guard<std::mutex> lock(Decoded().m);
    ++Decoded().decoded;
    Decoded().cv.notify_all();
  }
  return ok;
}

// A request whose encoding fails on demand.
struct FragileRequest {
  bool fail = false;
  RPCRequest request;
};

bool __zenoh_serialize_with_serializer(zenoh::ext::Serializer& s, const FragileRequest& r,
                                       zenoh::ZResult* err) {
  if (r.fail) {
    zenoh::detail::report(zenoh::Z_EINVAL, err, "Failed to serialize uint16_t");
    return false;
  }
  return orbalt::zenoh_msgs::kvt_msg::__zenoh_serialize_with_serializer(s, r.request, err);
}

RPCRequest Request(std::uint16_t id) { return RPCRequest{id, {}}; }

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

class RpcClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sn_ = "ORB-RPCC-" + std::to_string(++counter_);
    sim_ = std::make_unique<orbalt::testing::Simulator>(sn_);
    session_ = orbalt::zenoh_mdw::GetSharedZenohSession();
    // Until discovery has found the service, queries end at once without a reply.
    auto probe = MakeClient<RPCRequest, RPCReply>();
    RPCReply reply;
    const auto deadline = Clock::now() + 20s;
    while (!probe->SendRequestAndGetReply(Request(0), reply, 1.0)) {
      ASSERT_LT(Clock::now(), deadline) << "the simulated service never answered";
      std::this_thread::sleep_for(20ms);
    }
    sim_->Command(R"({"cmd": "reset_counts"})");
  }

  template <class Req, class Rep>
  std::unique_ptr<orbalt::zenoh_mdw::RpcClient<Req, Rep>> MakeClient() {
    return std::make_unique<orbalt::zenoh_mdw::RpcClient<Req, Rep>>(session_, Key());
  }

  std::string Key() const { return "orbalt/robot/" + sn_ + "/rpc"; }

  // The simulator reads one command a line.
  void Fault(int id, std::string fault) {
    std::replace(fault.begin(), fault.end(), '\n', ' ');
    sim_->Command(R"({"cmd": "rpc_fault", "id": )" + std::to_string(id) + R"(, "fault": )" + fault +
                  "}");
  }

  static inline int counter_ = 0;
  std::string sn_;
  std::unique_ptr<orbalt::testing::Simulator> sim_;
  std::shared_ptr<zenoh::Session> session_;
};

TEST_F(RpcClientTest, ReturnsTheServicesReplyWithEveryField) {
  auto client = MakeClient<RPCRequest, RPCReply>();
  RPCReply reply;
  reply.float2d_container = {{9.0f}};  // replaced, not merged
  ASSERT_TRUE(client->SendRequestAndGetReply(RPCRequest{10, {3, 4}}, reply, 2.0));
  EXPECT_EQ(reply.request_id, 10);
  EXPECT_TRUE(reply.success);
  EXPECT_EQ(reply.joint_groups, (std::vector<std::uint16_t>{3, 4}));
  EXPECT_EQ(reply.int_container, (std::vector<std::int32_t>{0, 7}));
  EXPECT_EQ(reply.float_container, (std::vector<float>{7.0f, 7.0f}));
  EXPECT_TRUE(reply.float2d_container.empty());
  EXPECT_EQ(sim_->RequestCounts()[10], 1);
}

TEST_F(RpcClientTest, DuplicateRepliesYieldOneWholeReply) {
  Fault(4, R"({"reply": {"request_id": 4, "success": true, "int_container": [1],
               "string_container": ["first"]},
               "second_reply": {"request_id": 4, "success": true, "int_container": [2],
                                "string_container": ["second"]}, "times": 1})");
  auto client = MakeClient<RPCRequest, CountedReply>();
  CountedReply reply;
  const int decoded_before = Decoded().Value();
  ASSERT_TRUE(client->SendRequestAndGetReply(Request(4), reply, 2.0));
  // The session's default consolidation may hand over only one of two replies on the same key;
  // whichever it is, it is taken whole.
  std::printf("replies decoded: %d, taken: %s\n", Decoded().Value() - decoded_before,
              reply.reply.string_container.at(0).c_str());
  const bool first = reply.reply.string_container == std::vector<std::string>{"first"} &&
                     reply.reply.int_container == std::vector<std::int32_t>{1};
  const bool second = reply.reply.string_container == std::vector<std::string>{"second"} &&
                      reply.reply.int_container == std::vector<std::int32_t>{2};
  EXPECT_TRUE(first || second);
}

TEST_F(RpcClientTest, ErrorReplyIsIgnoredAndTheGoodReplyAfterItTaken) {
  Fault(1, R"({"error_first": true, "times": 1})");
  auto client = MakeClient<RPCRequest, RPCReply>();
  RPCReply reply;
  ASSERT_TRUE(client->SendRequestAndGetReply(Request(1), reply, 2.0));
  EXPECT_EQ(reply.request_id, 1);
  EXPECT_EQ(reply.string_container, std::vector<std::string>{"v2.1"});
}

TEST_F(RpcClientTest, QueryEndingWithoutAUsableReplyEndsTheWaitBeforeTheDeadline) {
  const struct {
    const char* name;
    const char* fault;
  } cases[] = {
      {"reply with one byte too many", R"({"trailing_byte": true, "times": 1})"},
      {"no reply", R"({"no_reply": true, "times": 1})"},
  };
  auto client = MakeClient<RPCRequest, RPCReply>();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Fault(4, c.fault);
    RPCReply reply;
    reply.string_container = {"untouched"};
    const auto start = Clock::now();
    EXPECT_FALSE(client->SendRequestAndGetReply(Request(4), reply, 10.0));
    const double took = SecondsSince(start);
    std::printf("%s: call ended after %.3f s (timeout 10 s)\n", c.name, took);
    EXPECT_LT(took, 8.0);
    EXPECT_EQ(reply.string_container, std::vector<std::string>{"untouched"});
  }
  EXPECT_EQ(sim_->RequestCounts()[4], 2);
}

TEST_F(RpcClientTest, WaitsUntilTheDeadlineWhenTheQueryStaysOpen) {
  Fault(4, R"({"no_reply": true, "hold": 3.0, "times": 1})");
  auto client = MakeClient<RPCRequest, RPCReply>();
  RPCReply reply;
  const auto start = Clock::now();
  EXPECT_FALSE(client->SendRequestAndGetReply(Request(4), reply, 0.5));
  const double took = SecondsSince(start);
  std::printf("held query: call ended after %.3f s (timeout 0.5 s)\n", took);
  EXPECT_GE(took, 0.5);
}

TEST_F(RpcClientTest, LateReplyReachesNeitherTheCallersRecordNorTheNextCall) {
  // A call that does not wait (timeout 0) leaves its query open at the session default; its
  // reply comes while the next call is still waiting for its own.
  Fault(4, R"({"delay": 0.5, "reply": {"request_id": 4, "success": true,
               "string_container": ["stale"]}, "times": 1})");
  Fault(1, R"({"delay": 2.0, "times": 1})");
  auto client = MakeClient<RPCRequest, CountedReply>();
  CountedReply abandoned;
  abandoned.reply.string_container = {"mine"};
  const int decoded_before = Decoded().Value();
  EXPECT_FALSE(client->SendRequestAndGetReply(Request(4), abandoned, 0.0));

  CountedReply next;
  ASSERT_TRUE(client->SendRequestAndGetReply(Request(1), next, 5.0));
  EXPECT_EQ(next.reply.request_id, 1);
  EXPECT_EQ(next.reply.string_container, std::vector<std::string>{"v2.1"});
  ASSERT_TRUE(Decoded().WaitFor(decoded_before + 2, 10s)) << "the late reply never came";
  EXPECT_EQ(abandoned.reply.string_container, std::vector<std::string>{"mine"});
}

TEST_F(RpcClientTest, TimeoutZeroReturnsAtOnceAndTheQueryKeepsTheDefaultTimeout) {
  Fault(1, R"({"delay": 1.5, "times": 1})");
  auto client = MakeClient<RPCRequest, CountedReply>();
  CountedReply record;
  const int decoded_before = Decoded().Value();
  const auto start = Clock::now();
  EXPECT_FALSE(client->SendRequestAndGetReply(Request(1), record, 0.0));
  const double took = SecondsSince(start);
  std::printf("timeout 0: call ended after %.3f s\n", took);
  EXPECT_LT(took, 1.0);
  // A query timeout of 0 would have ended the query at once; the session default keeps it open
  // for the reply 1.5 s later.
  ASSERT_TRUE(Decoded().WaitFor(decoded_before + 1, 10s)) << "the query did not stay open";
  EXPECT_TRUE(record.reply.string_container.empty());
}

TEST_F(RpcClientTest, EncodingFailureLeavesTheClientUsable) {
  auto client = MakeClient<FragileRequest, RPCReply>();
  RPCReply reply;
  try {
    client->SendRequestAndGetReply(FragileRequest{true, Request(1)}, reply, 2.0);
    FAIL() << "no exception";
  } catch (const zenoh::ZException& e) {
    EXPECT_EQ(std::string(e.what()), "Failed to serialize uint16_t(Error code: -1 )");
  }
  // Run the next call on a thread of its own so that a client left locked fails the test
  // instead of hanging it.
  std::packaged_task<bool()> next([&client] {
    RPCReply r;
    return client->SendRequestAndGetReply(FragileRequest{false, Request(1)}, r, 2.0) &&
           r.string_container == std::vector<std::string>{"v2.1"};
  });
  auto result = next.get_future();
  std::thread(std::move(next)).detach();
  ASSERT_EQ(result.wait_for(20s), std::future_status::ready) << "the client stayed locked";
  EXPECT_TRUE(result.get());
  EXPECT_EQ(sim_->RequestCounts()[1], 1);
}

TEST_F(RpcClientTest, CallsFromTwoThreadsRunOneAfterTheOther) {
  Fault(4, R"({"delay": 0.5, "times": 2})");
  auto client = MakeClient<RPCRequest, RPCReply>();
  Clock::time_point ended[2];
  bool ok[2] = {false, false};
  std::vector<std::thread> threads;
  for (int i = 0; i < 2; ++i) {
    threads.emplace_back([&, i] {
      RPCReply reply;
      ok[i] = client->SendRequestAndGetReply(Request(4), reply, 5.0);
      ended[i] = Clock::now();
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_TRUE(ok[0]);
  EXPECT_TRUE(ok[1]);
  const double apart =
      std::chrono::duration<double>(ended[0] > ended[1] ? ended[0] - ended[1] : ended[1] - ended[0])
          .count();
  std::printf("two calls on one client ended %.3f s apart (each reply delayed 0.5 s)\n", apart);
  // Run side by side, both would end about when the delayed replies come, together.
  EXPECT_GE(apart, 0.4);
}

TEST_F(RpcClientTest, InvalidKeyOrMissingSessionReturnsFalseWithoutSending) {
  const struct {
    const char* name;
    std::shared_ptr<zenoh::Session> session;
    std::string key;
  } cases[] = {
      {"invalid key expression", session_, "orbalt//robot/" + sn_ + "/rpc"},
      {"no session", nullptr, Key()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    orbalt::zenoh_mdw::RpcClient<RPCRequest, RPCReply> client(c.session, c.key);
    RPCReply reply;
    reply.request_id = 77;
    const auto start = Clock::now();
    EXPECT_FALSE(client.SendRequestAndGetReply(Request(1), reply, 10.0));
    EXPECT_LT(SecondsSince(start), 8.0);
    EXPECT_EQ(reply.request_id, 77);
  }
  EXPECT_EQ(sim_->RequestCounts()[1], 0);
}

// The handlers' rules, fed directly with replies in a chosen order.
TEST(RpcClientRequestState, FirstDecodableReplyIsStoredAndNeverReplaced) {
  using State = orbalt::zenoh_mdw::RpcClient<RPCRequest, RPCReply>::RequestState;
  const auto encode = [](const std::string& text, bool trailing_byte = false) {
    std::vector<std::uint8_t> bytes = {4, 0, 1, 0, 0, 1, static_cast<std::uint8_t>(text.size())};
    bytes.insert(bytes.end(), text.begin(), text.end());
    bytes.insert(bytes.end(), {0, 0});
    if (trailing_byte) bytes.push_back(0);
    return zenoh::Bytes(bytes);
  };
  const struct {
    const char* name;
    std::vector<zenoh::Reply> replies;
    bool drop;
    bool done;
    const char* stored;  // nullptr: nothing stored
  } cases[] = {
      {"two good replies", {{true, encode("a")}, {true, encode("b")}}, false, true, "a"},
      {"error reply, then good", {{false, encode("err")}, {true, encode("b")}}, false, true, "b"},
      {"one byte too many, then good",
       {{true, encode("a", true)}, {true, encode("b")}},
       false,
       true,
       "b"},
      {"not a reply at all",
       {{true, zenoh::Bytes(std::vector<std::uint8_t>{1, 2})}},
       false,
       false,
       nullptr},
      {"only an error reply, query ended", {{false, encode("err")}}, true, true, nullptr},
      {"good reply, query ended", {{true, encode("a")}}, true, true, "a"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    State state;
    for (const auto& r : c.replies) state.OnReply(r);
    if (c.drop) state.OnDrop();
    EXPECT_EQ(state.done, c.done);
    EXPECT_EQ(state.has_reply, c.stored != nullptr);
    if (c.stored != nullptr) {
      EXPECT_EQ(state.reply.string_container, std::vector<std::string>{c.stored});
    }
  }
}

}  // namespace
