// RPC request and reply against encodings made by eclipse-zenoh's zenoh.ext.
#include "messages/rpc_messages.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/hex.hpp"
#include "support/subprocess.hpp"

namespace {

using orbalt::testing::BytesFromHex;
using orbalt::testing::ToHex;
using orbalt::zenoh_msgs::kvt_msg::RPCReply;
using orbalt::zenoh_msgs::kvt_msg::RPCRequest;

// The vectors are made when first needed by running messages/rpc_vectors.py.
const std::map<std::string, std::string>& Vectors() {
  static const std::map<std::string, std::string> vectors = [] {
    const std::string command =
        orbalt::testing::PythonInterpreter() + " " ORBALTKVT_TESTS_DIR "/messages/rpc_vectors.py";
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    if (!pipe) throw std::runtime_error("cannot run " + command);
    std::string output;
    char buffer[4096];
    std::size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof(buffer), pipe.get())) > 0) output.append(buffer, n);
    std::map<std::string, std::string> v;
    std::istringstream lines(output);
    std::string name, hex;
    while (lines >> name >> hex) v[name] = hex;
    if (v.empty()) throw std::runtime_error("no vectors from " + command);
    return v;
  }();
  return vectors;
}

RPCReply DecodeReply(const std::string& name) {
  return zenoh::ext::deserialize<RPCReply>(BytesFromHex(Vectors().at(name)));
}

TEST(RPCMessages, DecodesEveryReplyFieldMadeByZenohExt) {
  const RPCReply full = DecodeReply("reply_full");
  EXPECT_EQ(full.request_id, 10);
  EXPECT_TRUE(full.success);
  EXPECT_EQ(full.joint_groups, (std::vector<std::uint16_t>{2, 3, 65535}));
  EXPECT_EQ(full.int_container, (std::vector<std::int32_t>{0, -1, 2147483647}));
  EXPECT_EQ(full.string_container, (std::vector<std::string>{"v2.1", "", "h\xc3\xa9llo"}));
  EXPECT_EQ(full.float_container, (std::vector<float>{7.0f, 6.9f, -0.5f}));
  // Inner lists of different lengths are fine on the wire.
  EXPECT_EQ(full.float2d_container,
            (std::vector<std::vector<float>>{std::vector<float>(8, 0.5f), {}, {-1.5f, 2.0f}}));

  const RPCReply empty = DecodeReply("reply_empty");
  EXPECT_EQ(empty.request_id, 1);
  EXPECT_TRUE(empty.success);
  EXPECT_TRUE(empty.joint_groups.empty());
  EXPECT_TRUE(empty.int_container.empty());
  EXPECT_TRUE(empty.string_container.empty());
  EXPECT_TRUE(empty.float_container.empty());
  EXPECT_TRUE(empty.float2d_container.empty());

  // A padded ten-byte length reads like the short one.
  EXPECT_EQ(DecodeReply("reply_length_padded").joint_groups, full.joint_groups);

  const RPCReply probe = DecodeReply("reply_probe");
  EXPECT_EQ(probe.request_id, 0);
  EXPECT_FALSE(probe.success);
}

TEST(RPCMessages, RejectsRepliesThatDoNotMatchTheLayout) {
  const struct {
    const char* vector;
    const char* text;
  } cases[] = {
      {"reply_trailing_byte",
       "Payload contains more bytes than required for deserialization(Error code: -7 )"},
      {"reply_cut_in_last_row", "Deserialization failure(Error code: -7 )"},
      {"reply_cut_before_joint_groups",
       "Deserialization failure:: Failed to read sequence length(Error code: -7 )"},
      {"reply_bool_two", "Deserialization failure(Error code: -7 )"},
      {"reply_length_tenth_7f",
       "Deserialization failure:: Failed to read sequence length(Error code: -7 )"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.vector);
    try {
      DecodeReply(c.vector);
      ADD_FAILURE() << "decoded";
    } catch (const zenoh::ZException& e) {
      EXPECT_EQ(std::string(e.what()), c.text);
      EXPECT_EQ(e.e, zenoh::Z_EDESERIALIZE);
    }
  }
}

TEST(RPCMessages, EncodesRequestsAsZenohExtDoes) {
  const struct {
    const char* vector;
    RPCRequest request;
  } cases[] = {
      {"request_10_2_3_unknown", {10, {2, 3, 65535}}},
      {"request_0_empty", {0, {}}},
      {"request_65535_300",
       {65535,
        [] {
          std::vector<std::uint16_t> groups;
          for (std::uint16_t i = 0; i < 300; ++i) groups.push_back(i);
          return groups;
        }()}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.vector);
    zenoh::ext::Serializer s;
    s.serialize(c.request);
    EXPECT_EQ(ToHex(std::move(s).finish().as_vector()), Vectors().at(c.vector));
  }
}

}  // namespace
