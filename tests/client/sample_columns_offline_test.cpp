// The column form of decoded samples against the per-sample records of the same payloads.
#include "orbalt/kvt/sample_columns.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "messages/stream_vectors.hpp"
#include "orbalt/kvt/record_fields.hpp"
#include "orbalt/kvt/sample_decoder.hpp"
#include "support/dual_arm_layout.hpp"

namespace {

using orbalt::kvt::ColumnBatch;
using orbalt::kvt::GroupColumns;
using orbalt::kvt::JointGroup;
using orbalt::kvt::JointLayout;
using orbalt::kvt::RobotActions;
using orbalt::kvt::RobotStates;
using orbalt::kvt::SampleDecoder;
using orbalt::testing::StreamVector;

using Values = std::pair<const double*, std::size_t>;
template <class Record>
using Accessor = std::function<Values(const Record&)>;

// The record's fields in the order of its table, made from the same lists.
#define JOINT_(name, unit, meaning) \
  [](const auto& r) { return Values{r.name.data(), r.name.size()}; },
#define FIXED_(name, width, unit, meaning) JOINT_(name, unit, meaning)
#define WORLD_(name, local, unit, meaning) JOINT_(name, unit, meaning)
const std::vector<Accessor<RobotStates>> kStates = {
    ORBALTKVT_STATES_JOINT_FIELDS(JOINT_) ORBALTKVT_STATES_CARTESIAN_FIELDS(FIXED_, WORLD_)};
const std::vector<Accessor<RobotActions>> kActions = {
    ORBALTKVT_ACTIONS_JOINT_FIELDS(JOINT_) ORBALTKVT_ACTIONS_CARTESIAN_FIELDS(FIXED_)};
#undef JOINT_
#undef FIXED_
#undef WORLD_

template <class Record, std::size_t N>
void ExpectGroupsEqual(const std::vector<GroupColumns>& groups, std::size_t row,
                       const std::map<JointGroup, Record>& records, bool valid,
                       const orbalt::kvt::FieldInfo (&table)[N],
                       const std::vector<Accessor<Record>>& fields, const std::string& what) {
  ASSERT_EQ(fields.size(), N);
  for (const auto& entry : records) {
    bool found = false;
    for (const GroupColumns& g : groups) found = found || g.group == entry.first;
    EXPECT_TRUE(found) << what << ": group " << static_cast<int>(entry.first);
  }
  for (const GroupColumns& g : groups) {
    const auto record = records.find(g.group);
    for (std::size_t k = 0; k < N; ++k) {
      const std::size_t width = g.width(k, table);
      const double* cell = g.fields[k].data() + row * width;
      ASSERT_GE(g.fields[k].size(), (row + 1) * width);
      if (!valid || record == records.end()) {
        for (std::size_t i = 0; i < width; ++i) {
          EXPECT_TRUE(std::isnan(cell[i])) << what << " " << table[k].name;
        }
        continue;
      }
      const Values values = fields[k](record->second);
      ASSERT_EQ(values.second, width) << what << " " << table[k].name;
      for (std::size_t i = 0; i < width; ++i) {
        EXPECT_EQ(cell[i], values.first[i]) << what << " " << table[k].name << "[" << i << "]";
      }
    }
  }
}

// Basic and extra payloads, interleaved by receive time, through both forms of the decoder.
void ExpectColumnsEqualRecords(const JointLayout& layout, const std::vector<std::string>& basic,
                               const std::vector<std::string>& extra) {
  std::vector<SampleDecoder::Payload> basic_payloads, extra_payloads;
  for (std::size_t i = 0; i < basic.size(); ++i) {
    const auto& bytes = StreamVector(basic[i]);
    basic_payloads.push_back({bytes.data(), bytes.size(), static_cast<std::int64_t>(10 * i)});
  }
  for (std::size_t i = 0; i < extra.size(); ++i) {
    const auto& bytes = StreamVector(extra[i]);
    extra_payloads.push_back({bytes.data(), bytes.size(), static_cast<std::int64_t>(10 * i + 5)});
  }
  ColumnBatch columns;
  SampleDecoder as_columns(layout);
  // Two calls: rows append, and the newest basic timestamp carries over.
  const std::size_t half = basic_payloads.size() / 2;
  as_columns.decode(basic_payloads.data(), half, extra_payloads.data(),
                    std::min(half, extra_payloads.size()), columns, true);
  as_columns.decode(basic_payloads.data() + half, basic_payloads.size() - half,
                    extra_payloads.data() + std::min(half, extra_payloads.size()),
                    extra_payloads.size() - std::min(half, extra_payloads.size()), columns, true);
  ASSERT_EQ(columns.basic.rows, basic.size());
  ASSERT_EQ(columns.extra.rows, extra.size());

  SampleDecoder as_records(layout);
  std::size_t b = 0, e = 0;
  orbalt::kvt::ForEachByReceiveTime(
      columns.basic.receive_time_ns.data(), columns.basic.rows,
      columns.extra.receive_time_ns.data(), columns.extra.rows,
      [&](std::size_t i) {
        ASSERT_EQ(i, b++);
        orbalt::kvt::BasicSample record;
        RobotStates every;
        const auto& p = basic_payloads[i];
        const bool ok = as_records.decode_basic(p.data, p.size, p.receive_time_ns, record, every);
        const bool valid = ok && !record.states.empty();
        const std::string what = basic[i];
        EXPECT_EQ(columns.basic.valid[i], valid ? 1 : 0) << what;
        if (ok) {
          EXPECT_EQ(columns.basic.timestamp[2 * i], record.timestamp.first) << what;
          EXPECT_EQ(columns.basic.timestamp[2 * i + 1], record.timestamp.second) << what;
          EXPECT_EQ(columns.basic.status[0].flags[i], record.status.estop_released) << what;
          for (std::size_t c = 0; c < 20; ++c) {
            EXPECT_EQ(columns.basic.status[2].flags[20 * i + c], record.status.digital_inputs[c]);
          }
          EXPECT_EQ(columns.basic.status[6].codes[i], record.status.safety_board_state) << what;
        }
        ExpectGroupsEqual(columns.basic.groups, i, record.states, valid,
                          orbalt::kvt::kRobotStatesFields, kStates, what);
        const std::size_t width = columns.basic.every_joint_width;
        for (std::size_t k = 0; k < columns.basic.every_joint.size(); ++k) {
          const Values joints = kStates[k](every);
          for (std::size_t j = 0; j < width; ++j) {
            const double cell = columns.basic.every_joint[k][i * width + j];
            if (ok && j < joints.second) {
              EXPECT_EQ(cell, joints.first[j]) << what;
            } else {
              EXPECT_TRUE(std::isnan(cell)) << what;
            }
          }
        }
      },
      [&](std::size_t j) {
        ASSERT_EQ(j, e++);
        orbalt::kvt::ExtraSample record;
        RobotActions every;
        const auto& p = extra_payloads[j];
        const bool ok = as_records.decode_extra(p.data, p.size, p.receive_time_ns, record, every);
        const bool valid = ok && !record.actions.empty();
        EXPECT_EQ(columns.extra.valid[j], valid ? 1 : 0) << extra[j];
        if (valid) {
          EXPECT_EQ(columns.extra.timestamp[2 * j], record.timestamp.first) << extra[j];
          EXPECT_EQ(columns.extra.timestamp[2 * j + 1], record.timestamp.second) << extra[j];
        }
        ExpectGroupsEqual(columns.extra.groups, j, record.actions, valid,
                          orbalt::kvt::kRobotActionsFields, kActions, extra[j]);
      });
}

const std::vector<std::string> kBasic = {
    "basic_known_sim",      "basic_dual",          "basic_empty",
    "basic_count_mismatch", "basic_trailing_byte", "basic_group_index_6",
    "basic_without_spare",  "basic_known_zenoh",   "basic_bad_tcp_pose_6"};
const std::vector<std::string> kExtra = {"extra_known_sim",     "extra_dual",
                                         "extra_empty",         "extra_count_mismatch",
                                         "extra_trailing_byte", "extra_known_zenoh"};

TEST(SampleColumns, HoldExactlyWhatTheRecordsHoldForEveryLayout) {
  using orbalt::kvt::GroupLayout;
  JointLayout dual;
  for (const auto& [group, start] : orbalt::testing::dual_arm::kStarts) {
    dual[group] = GroupLayout{start, orbalt::testing::dual_arm::kDofs.at(group)};
  }
  const std::vector<JointLayout> layouts = {
      dual,
      // The known samples' three joints, as two groups, one of them not listed by the samples.
      {{JointGroup::ARM_1, {0, 2}}, {JointGroup::ARM_2, {2, 1}}},
      // A slice past the end: no sample fits.
      {{JointGroup::ARM_1, {2, 5}}},
      {},
  };
  for (const JointLayout& layout : layouts) {
    SCOPED_TRACE("layout of " + std::to_string(layout.size()) + " groups");
    ExpectColumnsEqualRecords(layout, kBasic, kExtra);
  }
}

}  // namespace
