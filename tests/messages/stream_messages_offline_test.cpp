// Decoding of the two stream messages from payloads that eclipse-zenoh and the simulator made.
#include "messages/stream_messages.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "messages/stream_vectors.hpp"

namespace {

using orbalt::testing::StreamPayload;
using orbalt::testing::StreamVector;
using orbalt::zenoh_msgs::kvt_msg::AllBasicStreamData;
using orbalt::zenoh_msgs::kvt_msg::AllExtraStreamData;

const std::string kIncorrectSize = "Incorrect sequence size(Error code: -7 )";
const std::string kTrailing =
    "Payload contains more bytes than required for deserialization(Error code: -7 )";
const std::string kScalarFailure = "Deserialization failure(Error code: -7 )";
const std::string kLengthFailure =
    "Deserialization failure:: Failed to read sequence length(Error code: -7 )";

// The decoding failure of `payload` as T, or "" when it decodes.
template <class T>
std::string FailureOf(const zenoh::Bytes& payload) {
  try {
    zenoh::ext::deserialize<T>(payload);
    return "";
  } catch (const zenoh::ZException& e) {
    return e.what();
  }
}

TEST(StreamMessages, ZenohAndTheSimulatorEncodeTheSameBytes) {
  EXPECT_EQ(StreamVector("basic_known_zenoh"), StreamVector("basic_known_sim"));
  EXPECT_EQ(StreamVector("extra_known_zenoh"), StreamVector("extra_known_sim"));
}

TEST(StreamMessages, DecodesEveryFieldOfABasicSample) {
  const auto m = zenoh::ext::deserialize<AllBasicStreamData>(StreamPayload("basic_known_zenoh"));
  EXPECT_EQ(m.system_state, 7);
  EXPECT_EQ(m.safety_board_state, -1);
  EXPECT_TRUE(m.estop_released);
  EXPECT_FALSE(m.enabling_device_on);
  for (int i = 0; i < 8; ++i) EXPECT_EQ(m.safety_inputs[i], i % 2 == 0) << i;
  for (int i = 0; i < 20; ++i) {
    EXPECT_EQ(m.digital_inputs[i], i % 3 == 0) << i;
    EXPECT_EQ(m.digital_outputs[i], i % 4 == 1) << i;
  }
  EXPECT_EQ(m.joint_group_indices, (std::vector<std::uint16_t>{3, 5}));

  const auto& jd = m.joint_data;
  const std::vector<const std::vector<float>*> joint_fields = {
      &jd.q,       &jd.theta,   &jd.dq,           &jd.dtheta,     &jd.tau,
      &jd.tau_dot, &jd.tau_ext, &jd.tau_interact, &jd.temperature};
  for (std::size_t f = 0; f < joint_fields.size(); ++f) {
    ASSERT_EQ(joint_fields[f]->size(), 3u) << "field " << f;
    for (std::size_t j = 0; j < 3; ++j) {
      EXPECT_EQ((*joint_fields[f])[j], 10.0f * f + j + 0.5f) << "field " << f << " joint " << j;
    }
  }
  ASSERT_EQ(jd.contact_forces.size(), 3u);
  ASSERT_EQ(jd.contact_positions.size(), 3u);
  for (std::size_t j = 0; j < 3; ++j) {
    const float v = static_cast<float>(j);
    EXPECT_EQ(jd.contact_forces[j], (std::array<float, 3>{v, v + 0.25f, v + 0.5f}));
    EXPECT_EQ(jd.contact_positions[j], (std::array<float, 3>{-v, -v - 0.25f, -v - 0.5f}));
  }

  ASSERT_EQ(m.cartesian_data.size(), 2u);
  for (std::size_t k = 0; k < 2; ++k) {
    const auto& c = m.cartesian_data[k];
    const auto expect = [&](const float* values, std::size_t size, int field) {
      for (std::size_t e = 0; e < size; ++e) {
        EXPECT_EQ(values[e], 100.0f * k + 10.0f * field + e)
            << "block " << k << " field " << field << " entry " << e;
      }
    };
    expect(c.flange_pose.data(), 7, 0);
    expect(c.tcp_pose.data(), 7, 1);
    expect(c.tcp_twist.data(), 6, 2);
    expect(c.tcp_wrench_local.data(), 6, 3);
    expect(c.spare_array.data(), 6, 4);
    expect(c.raw_tcp_wrench_local.data(), 6, 5);
    expect(c.raw_ft_sensor.data(), 6, 6);
  }
  EXPECT_EQ(m.timestamp.first, -5);
  EXPECT_EQ(m.timestamp.second, 4000000000u);
}

TEST(StreamMessages, DecodesEveryFieldOfAnExtraSample) {
  const auto m = zenoh::ext::deserialize<AllExtraStreamData>(StreamPayload("extra_known_zenoh"));
  EXPECT_EQ(m.joint_group_indices, (std::vector<std::uint16_t>{4}));
  EXPECT_EQ(m.joint_data.q_d, (std::vector<float>{1.5f, 2.5f}));
  EXPECT_EQ(m.joint_data.dq_d, (std::vector<float>{-1.0f}));
  EXPECT_TRUE(m.joint_data.tau_d.empty());
  ASSERT_EQ(m.cartesian_data.size(), 1u);
  EXPECT_EQ(m.cartesian_data[0].tcp_pose_d, (std::array<float, 7>{0, 1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(m.cartesian_data[0].tcp_twist_d, (std::array<float, 6>{10, 11, 12, 13, 14, 15}));
  EXPECT_EQ(m.cartesian_data[0].tcp_wrench_d, (std::array<float, 6>{20, 21, 22, 23, 24, 25}));
}

TEST(StreamMessages, DecodesTheSimulatorsDualArmSamples) {
  const auto basic = zenoh::ext::deserialize<AllBasicStreamData>(StreamPayload("basic_dual"));
  EXPECT_EQ(basic.joint_group_indices, (std::vector<std::uint16_t>{0, 2, 3, 4, 5}));
  EXPECT_EQ(basic.cartesian_data.size(), 5u);
  EXPECT_EQ(basic.joint_data.q.size(), 16u);
  EXPECT_EQ(basic.joint_data.temperature.size(), 16u);
  EXPECT_EQ(basic.joint_data.contact_positions.size(), 16u);
  EXPECT_EQ(basic.timestamp, (std::pair<std::int32_t, std::uint32_t>{7, 8}));

  const auto extra = zenoh::ext::deserialize<AllExtraStreamData>(StreamPayload("extra_dual"));
  EXPECT_EQ(extra.joint_group_indices.size(), 5u);
  EXPECT_EQ(extra.cartesian_data.size(), 5u);
  EXPECT_EQ(extra.joint_data.tau_d.size(), 16u);
}

TEST(StreamMessages, DecodesWhatTheReadersMustCheck) {
  // Zero groups and empty sequences.
  const auto empty = zenoh::ext::deserialize<AllBasicStreamData>(StreamPayload("basic_empty"));
  EXPECT_TRUE(empty.joint_group_indices.empty());
  EXPECT_TRUE(empty.cartesian_data.empty());
  EXPECT_TRUE(empty.joint_data.q.empty());
  EXPECT_TRUE(empty.joint_data.contact_forces.empty());
  const auto empty_extra =
      zenoh::ext::deserialize<AllExtraStreamData>(StreamPayload("extra_empty"));
  EXPECT_TRUE(empty_extra.joint_group_indices.empty());
  EXPECT_TRUE(empty_extra.cartesian_data.empty());

  // Index and Cartesian counts that differ, and an index that names no joint group.
  const auto mismatch =
      zenoh::ext::deserialize<AllBasicStreamData>(StreamPayload("basic_count_mismatch"));
  EXPECT_EQ(mismatch.joint_group_indices.size(), 2u);
  EXPECT_EQ(mismatch.cartesian_data.size(), 1u);
  const auto extra_mismatch =
      zenoh::ext::deserialize<AllExtraStreamData>(StreamPayload("extra_count_mismatch"));
  EXPECT_EQ(extra_mismatch.joint_group_indices.size(), 2u);
  EXPECT_EQ(extra_mismatch.cartesian_data.size(), 1u);
  const auto index_6 =
      zenoh::ext::deserialize<AllBasicStreamData>(StreamPayload("basic_group_index_6"));
  EXPECT_EQ(index_6.joint_group_indices, (std::vector<std::uint16_t>{6, 5}));
}

TEST(StreamMessages, RejectsFixedArraysOfTheWrongLength) {
  const std::vector<std::string> basic = {"basic_bad_safety_inputs_7",
                                          "basic_bad_safety_inputs_9",
                                          "basic_bad_digital_inputs_19",
                                          "basic_bad_digital_inputs_21",
                                          "basic_bad_digital_outputs_21",
                                          "basic_bad_contact_forces_2",
                                          "basic_bad_contact_forces_4",
                                          "basic_bad_contact_positions_4",
                                          "basic_bad_flange_pose_6",
                                          "basic_bad_flange_pose_8",
                                          "basic_bad_tcp_pose_6",
                                          "basic_bad_tcp_twist_5",
                                          "basic_bad_tcp_twist_7",
                                          "basic_bad_tcp_wrench_local_5",
                                          "basic_bad_spare_array_5",
                                          "basic_bad_spare_array_7",
                                          "basic_bad_raw_tcp_wrench_local_7",
                                          "basic_bad_raw_ft_sensor_0"};
  for (const auto& name : basic) {
    EXPECT_EQ(FailureOf<AllBasicStreamData>(StreamPayload(name)), kIncorrectSize) << name;
  }
  const std::vector<std::string> extra = {"extra_bad_tcp_pose_d_6", "extra_bad_tcp_pose_d_8",
                                          "extra_bad_tcp_twist_d_5", "extra_bad_tcp_wrench_d_7"};
  for (const auto& name : extra) {
    EXPECT_EQ(FailureOf<AllExtraStreamData>(StreamPayload(name)), kIncorrectSize) << name;
  }
}

TEST(StreamMessages, RejectsBytesAfterTheLastField) {
  EXPECT_EQ(FailureOf<AllBasicStreamData>(StreamPayload("basic_trailing_byte")), kTrailing);
  EXPECT_EQ(FailureOf<AllExtraStreamData>(StreamPayload("extra_trailing_byte")), kTrailing);
  // The extra stream has no timestamp: one sent along is eight bytes too many.
  EXPECT_EQ(FailureOf<AllExtraStreamData>(StreamPayload("extra_with_timestamp")), kTrailing);
}

TEST(StreamMessages, RejectsEveryTruncation) {
  for (const std::string name : {"basic_known_sim", "extra_known_sim"}) {
    const auto& full = StreamVector(name);
    int scalar_failures = 0;
    int length_failures = 0;
    for (std::size_t size = 0; size < full.size(); ++size) {
      const zenoh::Bytes cut(std::vector<std::uint8_t>(full.begin(), full.begin() + size));
      const std::string failure =
          name[0] == 'b' ? FailureOf<AllBasicStreamData>(cut) : FailureOf<AllExtraStreamData>(cut);
      scalar_failures += failure == kScalarFailure;
      length_failures += failure == kLengthFailure;
      ASSERT_TRUE(failure == kScalarFailure || failure == kLengthFailure)
          << name << " cut to " << size << " bytes: '" << failure << "'";
    }
    EXPECT_GT(scalar_failures, 0) << name;
    EXPECT_GT(length_failures, 0) << name;
  }
}

TEST(StreamMessages, RejectsMalformedLayouts) {
  // The unused fifth Cartesian array must still be on the wire.
  EXPECT_NE(FailureOf<AllBasicStreamData>(StreamPayload("basic_without_spare")), "");

  // A sequence length far beyond the payload fails before anything is allocated for it. The
  // empty basic sample's index list follows the 6 bytes of scalars and the three bool arrays.
  auto huge = StreamVector("basic_empty");
  const std::size_t indices_at = 6 + (1 + 8) + (1 + 20) + (1 + 20);
  ASSERT_EQ(huge[indices_at], 0);
  const std::vector<std::uint8_t> length_2_62 = {0x80, 0x80, 0x80, 0x80, 0x80,
                                                 0x80, 0x80, 0x80, 0x40};
  huge.erase(huge.begin() + indices_at);
  huge.insert(huge.begin() + indices_at, length_2_62.begin(), length_2_62.end());
  EXPECT_EQ(FailureOf<AllBasicStreamData>(zenoh::Bytes(huge)), kScalarFailure);

  // A bool byte other than 0 or 1 (estop_released).
  auto bad_bool = StreamVector("basic_empty");
  bad_bool[4] = 2;
  EXPECT_EQ(FailureOf<AllBasicStreamData>(zenoh::Bytes(bad_bool)), kScalarFailure);
}

TEST(StreamMessages, ReportsTheFirstFailureCodeInErrorCodeMode) {
  zenoh::ZResult err = zenoh::Z_OK;
  const auto good =
      zenoh::ext::deserialize<AllBasicStreamData>(StreamPayload("basic_known_sim"), &err);
  EXPECT_EQ(err, zenoh::Z_OK);
  EXPECT_EQ(good.joint_group_indices.size(), 2u);

  // Decoding stops at the failing field: what came before is filled, what follows is not.
  const auto failed = zenoh::ext::deserialize<AllBasicStreamData>(
      StreamPayload("basic_bad_digital_inputs_21"), &err);
  EXPECT_EQ(err, zenoh::Z_EDESERIALIZE);
  EXPECT_EQ(failed.system_state, 7);
  EXPECT_TRUE(failed.safety_inputs[0]);
  EXPECT_FALSE(failed.digital_outputs[1]);
  EXPECT_TRUE(failed.joint_group_indices.empty());
  EXPECT_TRUE(failed.cartesian_data.empty());

  err = zenoh::Z_OK;
  const auto trailing =
      zenoh::ext::deserialize<AllExtraStreamData>(StreamPayload("extra_with_timestamp"), &err);
  EXPECT_EQ(err, zenoh::Z_EDESERIALIZE);
  EXPECT_EQ(trailing.cartesian_data.size(), 1u);
}

}  // namespace
