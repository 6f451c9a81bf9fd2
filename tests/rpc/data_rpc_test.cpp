// The data service operations against the simulated robot, its replies scripted per case.
#include "rpc/data_rpc.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/comma_locale.hpp"
#include "support/log_capture.hpp"
#include "support/simulator.hpp"

namespace {

using namespace std::chrono_literals;
using orbalt::kvt::JointGroup;
using orbalt::kvt_impl::DataRpc;
using orbalt::testing::LogCapture;

constexpr std::int32_t kOk = 100000;
constexpr std::int32_t kFault = 300000;

const JointGroup kUnknownOnTheWire = static_cast<JointGroup>(65535);

using StartIds = std::map<JointGroup, std::uint32_t>;
using DoFs = std::map<JointGroup, std::uint64_t>;
using Manipulability = std::map<JointGroup, std::array<double, 6>>;

std::vector<std::string> Errors(const LogCapture& log) { return log.Texts(spdlog::level::err); }

class DataRpcTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sn_ = "ORB-DRPC-" + std::to_string(++counter_);
    sim_ = std::make_unique<orbalt::testing::Simulator>(sn_);
    rpc_.Init(node_, sn_);
    // Until discovery has found the service, the probe's query ends at once without a reply.
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (!rpc_.IsConnected()) {
      ASSERT_LT(std::chrono::steady_clock::now(), deadline)
          << "the simulated service never answered";
      std::this_thread::sleep_for(20ms);
    }
    log_ = std::make_unique<LogCapture>();
  }

  // The simulator reads one command a line.
  void Fault(int id, std::string fault) {
    std::replace(fault.begin(), fault.end(), '\n', ' ');
    sim_->Command(R"({"cmd": "rpc_fault", "id": )" + std::to_string(id) + R"(, "fault": )" + fault +
                  "}");
  }

  // The next request with `id` is answered with success true, `id` and `fields` (JSON members of
  // RPCReply).
  void ReplyOnce(int id, const std::string& fields) {
    Fault(id, R"({"reply": {"request_id": )" + std::to_string(id) + R"(, "success": true)" +
                  (fields.empty() ? "" : ", " + fields) + R"(}, "times": 1})");
  }

  static inline int counter_ = 0;
  std::string sn_;
  std::unique_ptr<orbalt::testing::Simulator> sim_;
  orbalt::zenoh_mdw::ReliableNode node_;
  DataRpc rpc_;
  std::unique_ptr<LogCapture> log_;
};

TEST(DataRpc, OperationsBeforeInitFailWithoutACrash) {
  LogCapture log;
  DataRpc rpc;
  EXPECT_FALSE(rpc.IsConnected());
  std::string version = "before";
  EXPECT_EQ(rpc.RequestKVTVersion(version).value, kFault);
  EXPECT_EQ(version, "before");
  StartIds start_ids{{JointGroup::ALL, 1}};
  DoFs dofs{{JointGroup::ALL, 2}};
  EXPECT_EQ(rpc.RequestStartIdAndDoF({JointGroup::ARM_1}, start_ids, dofs).value, kFault);
  EXPECT_EQ(start_ids, (StartIds{{JointGroup::ALL, 1}}));
  EXPECT_EQ(dofs, (DoFs{{JointGroup::ALL, 2}}));
  EXPECT_EQ(log.Count("[orbalt::kvt::DataRpc] RPC client not initialized, request_id=0"), 1);
  EXPECT_EQ(log.Count("[orbalt::kvt::DataRpc] RPC client not initialized, request_id=10"), 1);
}

TEST_F(DataRpcTest, InitLogsTheTopicAndInitAgainReplacesTheClient) {
  DataRpc rpc;
  EXPECT_EQ(rpc.Init(node_, "ORB-NOBODY-1").value, kOk);
  EXPECT_FALSE(rpc.IsConnected());
  EXPECT_EQ(rpc.Init(node_, sn_).value, kOk);
  EXPECT_TRUE(rpc.IsConnected());
  EXPECT_EQ(log_->Texts(spdlog::level::debug).at(0),
            "[orbalt::kvt::Client] Creating RPC client on topic: orbalt/robot/ORB-NOBODY-1/rpc");
  EXPECT_EQ(log_->Count("[orbalt::kvt::Client] Creating RPC client on topic: orbalt/robot/" + sn_ +
                        "/rpc"),
            1);
}

TEST_F(DataRpcTest, ProbeAcceptsOnlyIdZeroWithSuccessFalse) {
  const struct {
    const char* name;
    const char* fault;  // nullptr: the normal answer
    bool connected;
    const char* message;  // nullptr: none
  } cases[] = {
      {"normal answer", nullptr, true, nullptr},
      {"success true", R"({"success": true, "times": 1})", false, "Remote procedure failed"},
      {"wrong id", R"({"echo_id": 5, "times": 1})", false, "Remote procedure failed"},
      {"no reply", R"({"no_reply": true, "times": 1})", false,
       "Failed to send remote call or server reply timeout"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.fault != nullptr) Fault(0, c.fault);
    LogCapture log;
    EXPECT_EQ(rpc_.IsConnected(), c.connected);
    EXPECT_EQ(log.Texts(spdlog::level::debug), c.message == nullptr
                                                   ? std::vector<std::string>{}
                                                   : std::vector<std::string>{c.message});
  }
}

TEST_F(DataRpcTest, StringListLogsEveryEntryAndReplacesTheList) {
  ReplyOnce(7, R"("string_container": ["a=1", "", "h\u00e9"])");
  std::vector<std::string> values = {"old", "old", "old", "old"};
  EXPECT_EQ(rpc_.RequestStringList(7, values).value, kOk);
  EXPECT_EQ(values, (std::vector<std::string>{"a=1", "", "h\xc3\xa9"}));
  EXPECT_EQ(log_->Texts(spdlog::level::debug),
            (std::vector<std::string>{
                "[orbalt::kvt::DataRpc] RPC reply request_id=7 success=true "
                "string_container_size=3",
                "[orbalt::kvt::DataRpc] string_container[0] = a=1",
                "[orbalt::kvt::DataRpc] string_container[1] = ",
                "[orbalt::kvt::DataRpc] string_container[2] = h\xc3\xa9",
            }));
}

TEST_F(DataRpcTest, FloatListHoldsExactlyTheRepliedNumbers) {
  ReplyOnce(42, R"("float_container": [1.5, -2.25, 3e38])");
  std::vector<double> values(10, 9.0);
  EXPECT_EQ(rpc_.RequestFloatList(42, values).value, kOk);
  EXPECT_EQ(values, (std::vector<double>{1.5, -2.25, static_cast<double>(3e38f)}));
}

TEST_F(DataRpcTest, RejectedListRepliesLeaveTheOutputAlone) {
  const struct {
    const char* name;
    const char* fault;
    const char* message;
  } cases[] = {
      {"wrong id", R"({"echo_id": 99, "times": 2})", "Remote procedure failed"},
      {"success false", R"({"success": false, "times": 2})", "Remote procedure failed"},
      {"no reply", R"({"no_reply": true, "times": 2})",
       "Failed to send remote call or server reply timeout"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Fault(1, c.fault);
    LogCapture log;
    std::vector<std::string> strings = {"kept"};
    EXPECT_EQ(rpc_.RequestStringList(1, strings).value, kFault);
    EXPECT_EQ(strings, std::vector<std::string>{"kept"});
    std::vector<double> numbers = {4.0};
    EXPECT_EQ(rpc_.RequestFloatList(1, numbers).value, kFault);
    EXPECT_EQ(numbers, std::vector<double>{4.0});
    EXPECT_EQ(log.Texts(spdlog::level::debug), (std::vector<std::string>{c.message, c.message}));
  }
}

TEST_F(DataRpcTest, VersionIsTheFirstStringAndAnEmptyListFails) {
  std::string version;
  EXPECT_EQ(rpc_.RequestKVTVersion(version).value, kOk);
  EXPECT_EQ(version, "v2.1");
  EXPECT_EQ(log_->Count("Received KVT server version = v2.1"), 1);

  ReplyOnce(1, R"("string_container": ["v3.0", "ignored"])");
  EXPECT_EQ(rpc_.RequestKVTVersion(version).value, kOk);
  EXPECT_EQ(version, "v3.0");

  // An empty list is a good list reply but no version.
  ReplyOnce(1, "");
  std::vector<std::string> list = {"old"};
  EXPECT_EQ(rpc_.RequestStringList(1, list).value, kOk);
  EXPECT_TRUE(list.empty());
  ReplyOnce(1, "");
  const auto lines_before = log_->Lines().size();
  EXPECT_EQ(rpc_.RequestKVTVersion(version).value, kFault);
  EXPECT_EQ(version, "v3.0");
  EXPECT_EQ(log_->Lines().size(), lines_before + 1);  // only the list reply's own line
}

TEST_F(DataRpcTest, StartIdsAndDoFsOfTheServicesLayout) {
  StartIds start_ids{{JointGroup::EXT_AXIS, 99}};
  DoFs dofs;
  EXPECT_EQ(rpc_.RequestStartIdAndDoF({JointGroup::ARM_1, JointGroup::ARM_2, JointGroup::EXT_AXIS,
                                       JointGroup::UNKNOWN},
                                      start_ids, dofs)
                .value,
            kOk);
  // The service echoes the groups asked about, UNKNOWN as the 65535 it travelled as.
  EXPECT_EQ(start_ids, (StartIds{{JointGroup::ARM_1, 0},
                                 {JointGroup::ARM_2, 7},
                                 {JointGroup::EXT_AXIS, 14},
                                 {kUnknownOnTheWire, 0}}));
  EXPECT_EQ(dofs, (DoFs{{JointGroup::ARM_1, 7},
                        {JointGroup::ARM_2, 7},
                        {JointGroup::EXT_AXIS, 2},
                        {kUnknownOnTheWire, 0}}));
}

TEST_F(DataRpcTest, StartIdRowsAreTakenAsTheyCome) {
  const struct {
    const char* name;
    const char* fields;
    StartIds start_ids;
    DoFs dofs;
  } cases[] = {
      {"two rows, DoF truncated",
       R"("joint_groups": [2, 3], "int_container": [0, 7], "float_container": [7.0, 6.9])",
       {{JointGroup::ARMS, 0}, {JointGroup::ARM_1, 7}},
       {{JointGroup::ARMS, 7}, {JointGroup::ARM_1, 6}}},
      {"negative start read as unsigned",
       R"("joint_groups": [4], "int_container": [-1], "float_container": [0.0])",
       {{JointGroup::ARM_2, 4294967295u}},
       {{JointGroup::ARM_2, 0}}},
      {"group twice keeps the last row",
       R"("joint_groups": [3, 3], "int_container": [0, 5], "float_container": [7.0, 2.0])",
       {{JointGroup::ARM_1, 5}},
       {{JointGroup::ARM_1, 2}}},
      {"no rows", "", {}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ReplyOnce(10, c.fields);
    StartIds start_ids{{JointGroup::ALL, 99}};
    DoFs dofs{{JointGroup::ALL, 99}};
    EXPECT_EQ(rpc_.RequestStartIdAndDoF({JointGroup::ARM_1}, start_ids, dofs).value, kOk);
    EXPECT_EQ(start_ids, c.start_ids);
    EXPECT_EQ(dofs, c.dofs);
  }
  EXPECT_TRUE(Errors(*log_).empty());
}

TEST_F(DataRpcTest, MalformedStartIdRepliesLeaveBothMapsAlone) {
  const std::string mismatch =
      "Malformed start ID reply: size mismatch between joint_groups, int_container, and "
      "float_container";
  const struct {
    const char* name;
    std::string fields;
    std::string message;
  } cases[] = {
      {"one group too many",
       R"("joint_groups": [2, 3], "int_container": [0], "float_container": [7.0])", mismatch},
      {"one DoF too few",
       R"("joint_groups": [2, 3], "int_container": [0, 7], "float_container": [7.0])", mismatch},
      // A DoF that no unsigned 64-bit count can hold is refused rather than converted.
      {"negative DoF", R"("joint_groups": [2, 3], "int_container": [0, 7],
                          "float_container": [7.0, -1.0])",
       "Malformed start ID reply: invalid DoF value [-1]"},
      {"NaN DoF", R"("joint_groups": [2], "int_container": [0], "float_container": [NaN])",
       "Malformed start ID reply: invalid DoF value [nan]"},
      {"infinite DoF",
       R"("joint_groups": [2], "int_container": [0], "float_container": [Infinity])",
       "Malformed start ID reply: invalid DoF value [inf]"},
      {"DoF beyond uint64",
       R"("joint_groups": [2], "int_container": [0], "float_container": [1e20])",
       "Malformed start ID reply: invalid DoF value [1e+20]"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ReplyOnce(10, c.fields);
    LogCapture log;
    StartIds start_ids{{JointGroup::ALL, 99}};
    DoFs dofs{{JointGroup::ALL, 98}};
    EXPECT_EQ(rpc_.RequestStartIdAndDoF({JointGroup::ARMS}, start_ids, dofs).value, kFault);
    EXPECT_EQ(start_ids, (StartIds{{JointGroup::ALL, 99}}));
    EXPECT_EQ(dofs, (DoFs{{JointGroup::ALL, 98}}));
    EXPECT_EQ(Errors(log), std::vector<std::string>{c.message});
  }
}

TEST_F(DataRpcTest, PlanInfoOfTheService) {
  orbalt::kvt::PlanInfo info;
  EXPECT_EQ(rpc_.RequestPlanInfo(info).value, kOk);
  EXPECT_EQ(info.assigned_plan_name, "pick_place");
  EXPECT_EQ(info.node_path, "pick_place/cycle/" + info.node_name);
  EXPECT_TRUE(info.velocity_scale == 0.5 || info.velocity_scale == 0.25) << info.velocity_scale;
}

TEST_F(DataRpcTest, PlanInfoNumberTexts) {
  const struct {
    const char* name;
    const char* velocity_scale;
    const char* waiting_for_step;
    std::int32_t result;
    double velocity;
    bool waiting;
    const char* message;  // nullptr: none
  } cases[] = {
      {"decimal and one", "0.5", "1", kOk, 0.5, true, nullptr},
      {"decimal comma stops the number", "0,75", "+2", kOk, 0.0, true, nullptr},
      {"zero is false", "0.5", "0", kOk, 0.5, false, nullptr},
      {"leading blanks, longest number", "  2.5abc", "-3", kOk, 2.5, true, nullptr},
      {"no number for the scale", "fast", "1", kFault, 9.0, true,
       "Invalid PlanInfo string conversion: stod"},
      {"scale out of range", "1e999", "0", kFault, 9.0, true,
       "Invalid PlanInfo string conversion: stod"},
      // The scale was converted already when the step text fails.
      {"no number for the step", "0.5", "yes", kFault, 0.5, true,
       "Invalid PlanInfo string conversion: stoi"},
      {"step out of range", "0.5", "99999999999", kFault, 0.5, true,
       "Invalid PlanInfo string conversion: stoi"},
  };
  // A host program with a decimal-comma locale reads the same numbers.
  std::unique_ptr<orbalt::testing::CommaLocale> comma;
  for (int pass = 0; pass < 2; ++pass) {
    if (pass == 1) {
      if (!orbalt::testing::CommaLocale::Available()) {
        GTEST_SKIP() << "the " << orbalt::testing::CommaLocale::kName
                     << " locale is not installed; scripts/setup generates it";
      }
      comma = std::make_unique<orbalt::testing::CommaLocale>();
    }
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(c.name) + (pass == 1 ? " (decimal comma)" : ""));
      ReplyOnce(4, std::string(R"("string_container": ["MoveL", "grasp", "p/grasp", "1.250", "2",
                                                      "plan", ")") +
                       c.velocity_scale + R"(", ")" + c.waiting_for_step + R"("])");
      LogCapture log;
      orbalt::kvt::PlanInfo info;
      info.velocity_scale = 9.0;
      info.waiting_for_step = true;
      EXPECT_EQ(rpc_.RequestPlanInfo(info).value, c.result);
      // The texts are in place even when a number fails.
      EXPECT_EQ(info.pt_name, "MoveL");
      EXPECT_EQ(info.node_name, "grasp");
      EXPECT_EQ(info.node_path, "p/grasp");
      EXPECT_EQ(info.node_path_time_period, "1.250");
      EXPECT_EQ(info.node_path_number, "2");
      EXPECT_EQ(info.assigned_plan_name, "plan");
      EXPECT_EQ(info.velocity_scale, c.velocity);
      EXPECT_EQ(info.waiting_for_step, c.waiting);
      EXPECT_EQ(Errors(log), c.message == nullptr ? std::vector<std::string>{}
                                                  : std::vector<std::string>{c.message});
    }
  }
}

TEST_F(DataRpcTest, PlanInfoNeedsExactlyEightEntries) {
  for (const char* list : {R"(["1", "2", "3", "4", "5", "6", "0.5"])",
                           R"(["1", "2", "3", "4", "5", "6", "0.5", "1", "9"])"}) {
    SCOPED_TRACE(list);
    ReplyOnce(4, std::string(R"("string_container": )") + list);
    LogCapture log;
    orbalt::kvt::PlanInfo info;
    info.pt_name = "untouched";
    EXPECT_EQ(rpc_.RequestPlanInfo(info).value, kFault);
    EXPECT_EQ(info.pt_name, "untouched");
    EXPECT_EQ(Errors(log), std::vector<std::string>{
                               "[orbalt::kvt::Client] Size of plan info container is incorrect"});
  }
}

TEST_F(DataRpcTest, ManipulabilityOfTheService) {
  Manipulability values;
  EXPECT_EQ(rpc_.RequestManipulability(values).value, kOk);
  ASSERT_EQ(values.size(), 5u);
  EXPECT_EQ(values.begin()->first, JointGroup::ALL);
  // The service's six values lie in 0.2 .. 1; its first two floats (group, condition) do not.
  for (const auto& [group, six] : values) {
    for (const double v : six) {
      EXPECT_GE(v, 0.2 - 1e-6);
      EXPECT_LE(v, 1.0 + 1e-6);
    }
  }
}

TEST_F(DataRpcTest, ManipulabilityRows) {
  const struct {
    const char* name;
    const char* fields;
    Manipulability values;
  } cases[] = {
      {"row of eight",
       R"("joint_groups": [3], "float2d_container": [[9, 9, 0.5, 1, 2, 3, 4, 5]])",
       {{JointGroup::ARM_1, {0.5, 1, 2, 3, 4, 5}}}},
      {"floats after the eighth unused",
       R"("joint_groups": [4], "float2d_container": [[9, 9, 1, 2, 3, 4, 5, 6, 7, 8]])",
       {{JointGroup::ARM_2, {1, 2, 3, 4, 5, 6}}}},
      {"group twice keeps the last row",
       R"("joint_groups": [2, 2], "float2d_container": [[0, 0, 1, 1, 1, 1, 1, 1],
                                                        [0, 0, 2, 2, 2, 2, 2, 2]])",
       {{JointGroup::ARMS, {2, 2, 2, 2, 2, 2}}}},
      {"no rows", "", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ReplyOnce(9, c.fields);
    Manipulability values{{JointGroup::EXT_AXIS, {}}};
    EXPECT_EQ(rpc_.RequestManipulability(values).value, kOk);
    EXPECT_EQ(values, c.values);
  }
  EXPECT_TRUE(Errors(*log_).empty());
}

TEST_F(DataRpcTest, MalformedManipulabilityReplies) {
  ReplyOnce(9, R"("joint_groups": [2, 3], "float2d_container": [[0, 0, 1, 1, 1, 1, 1, 1]])");
  Manipulability values{{JointGroup::EXT_AXIS, {}}};
  EXPECT_EQ(rpc_.RequestManipulability(values).value, kFault);
  EXPECT_EQ(values, (Manipulability{{JointGroup::EXT_AXIS, {}}}));

  // Rows before the short one stay.
  ReplyOnce(9, R"("joint_groups": [2, 3], "float2d_container": [[0, 0, 1, 1, 1, 1, 1, 1],
                                                                [0, 0, 2, 2, 2, 2, 2]])");
  EXPECT_EQ(rpc_.RequestManipulability(values).value, kFault);
  EXPECT_EQ(values, (Manipulability{{JointGroup::ARMS, {1, 1, 1, 1, 1, 1}}}));

  EXPECT_EQ(Errors(*log_),
            (std::vector<std::string>{
                "Malformed manipulability reply: size mismatch between joint_groups and "
                "float2d_container",
                "Malformed manipulability reply: packed vector size [7], expecting at least [8]"}));
}

TEST_F(DataRpcTest, PrimitiveStatesAreHandedOverUnchanged) {
  std::vector<std::string> entries;
  EXPECT_EQ(rpc_.RequestPtStates(entries).value, kOk);
  ASSERT_FALSE(entries.empty());
  EXPECT_EQ(entries.front().rfind("jointGroup=", 0), 0u) << entries.front();

  ReplyOnce(3, R"("string_container": ["jointGroup=3", "primitiveName=MoveL", "x=", "a=b=c", ""])");
  EXPECT_EQ(rpc_.RequestPtStates(entries).value, kOk);
  EXPECT_EQ(entries,
            (std::vector<std::string>{"jointGroup=3", "primitiveName=MoveL", "x=", "a=b=c", ""}));
  EXPECT_EQ(sim_->RequestCounts()[3], 2);
}

}  // namespace
