#include "client/primitive_states_parser.hpp"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

#include "support/comma_locale.hpp"

namespace {

using namespace orbalt::kvt_impl;
using orbalt::kvt::JointGroup;
using Value = std::variant<int, double, std::string>;

const std::map<JointGroup, std::string> kLayout = {{JointGroup::ALL, "ALL"},
                                                   {JointGroup::ARMS, "ARMS"},
                                                   {JointGroup::ARM_1, "ARM_1"},
                                                   {JointGroup::ARM_2, "ARM_2"}};

std::string RuntimeErrorOf(const std::vector<std::string>& entries,
                           const std::map<JointGroup, std::string>& layout = kLayout) {
  try {
    ParsePrimitiveStates(entries, layout);
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "<nothing thrown>";
}

void ExpectTypedValues() {
  const std::vector<std::pair<std::string, Value>> cases = {
      {"-7", -7},
      {"0", 0},
      {"123", 123},
      {"+7", 7.0},
      {"1e3", 1000.0},
      {".5", 0.5},
      {"5.", 5.0},
      {"-2.5", -2.5},
      {"0.25", 0.25},
      {"0,5", std::string("0,5")},
      {"1.000,5", std::string("1.000,5")},
      {"5abc", std::string("5abc")},
      {"0x10", std::string("0x10")},
      {"nan", std::string("nan")},
      {"-", std::string("-")},
      {"", std::string()},
      {"   ", std::string()},
      {"Move Home", std::string("Move")},
      {"  42 rest", 42},
      {"a=b", std::string("a=b")},
  };
  for (const auto& [text, expected] : cases) {
    EXPECT_EQ(TypePrimitiveValue(text), expected) << "'" << text << "'";
  }
  EXPECT_THROW(TypePrimitiveValue("2147483648"), std::out_of_range);
  EXPECT_EQ(TypePrimitiveValue("-2147483648"), Value(-2147483647 - 1));
  const auto parsed =
      ParsePrimitiveStates({"jointGroup= 2", "primitiveName=Home", "speed=0.5"}, kLayout);
  EXPECT_EQ(parsed.at(JointGroup::ARMS).names_and_values.at("speed"), Value(0.5));
}

TEST(PrimitiveStates, TypesValuesAsIntegerRealOrText) { ExpectTypedValues(); }

TEST(PrimitiveStates, TypesValuesTheSameInADecimalCommaLocale) {
  ORBALTKVT_REQUIRE_COMMA_LOCALE();
  orbalt::testing::CommaLocale comma;
  ExpectTypedValues();
}

TEST(PrimitiveStates, GroupsSectionsAndDropsTheMarkerAndName) {
  const auto result = ParsePrimitiveStates(
      {"jointGroup=3", "primitiveName=Move Home", "speed=0.5", "speed=9", "note=", "jointGroup=2",
       "primitiveName=Home", "count=3", "mode=fast", "expr=a=b"},
      kLayout);
  ASSERT_EQ(result.size(), 2u);
  EXPECT_EQ(result.begin()->first, JointGroup::ARMS);  // ascending group order
  const auto& arms = result.at(JointGroup::ARMS);
  EXPECT_EQ(arms.pt_name, "Home");
  EXPECT_EQ(arms.names_and_values,
            (std::map<std::string, Value>{
                {"count", 3}, {"mode", std::string("fast")}, {"expr", std::string("a=b")}}));
  const auto& arm1 = result.at(JointGroup::ARM_1);
  EXPECT_EQ(arm1.pt_name, "Move");  // first word only
  EXPECT_EQ(arm1.names_and_values,
            (std::map<std::string, Value>{{"speed", 0.5}, {"note", std::string()}}));
}

TEST(PrimitiveStates, EmptyListGivesNoRecords) {
  EXPECT_TRUE(ParsePrimitiveStates({}, kLayout).empty());
  EXPECT_TRUE(ParsePrimitiveStates({}, {}).empty());
}

TEST(PrimitiveStates, RejectsMalformedListsWithTheirTexts) {
  const std::string scope = "[orbalt::kvt::Client::primitive_states] ";
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"speed=1", "jointGroup=2", "primitiveName=A"},
       "Malformed primitive states: missing jointGroup marker"},
      {{"jointGroup=1", "primitiveName=A"}, "Received primitive states for unknown joint group"},
      {{"jointGroup=5", "primitiveName=A"}, "Received primitive states for unknown joint group"},
      {{"jointGroup=2", "primitiveName=A", "jointGroup=2", "primitiveName=B"},
       "Duplicate primitive states for a joint group"},
      {{"jointGroup2"}, "Malformed primitive state entry"},
      {{"jointGroup=2", "primitiveName=A", "speed"}, "Malformed primitive state entry"},
      {{"jointGroup=2", "primitiveName=A", "=1"}, "Malformed primitive state entry"},
      {{"jointGroup=2", "speed=1"},
       "Malformed primitive states: jointGroup or primitiveName missing"},
      {{"jointGroupX=2", "primitiveName=A"},
       "Malformed primitive states: jointGroup or primitiveName missing"},
      // The second marker opens a section of its own that lacks a primitiveName.
      {{"jointGroup=2", "primitiveName=A", "jointGroup=3"},
       "Malformed primitive states: jointGroup or primitiveName missing"},
  };
  for (const auto& [entries, text] : cases) {
    EXPECT_EQ(RuntimeErrorOf(entries), scope + text) << entries.front();
  }
}

TEST(PrimitiveStates, InconsistentAndWronglyTypedMarkersFail) {
  EXPECT_EQ(ParsePrimitiveStates({"jointGroup=2 x", "primitiveName=A"}, kLayout).size(), 1u);
  EXPECT_THROW(ParsePrimitiveStates({"jointGroup=abc", "primitiveName=A"}, kLayout),
               std::invalid_argument);
  EXPECT_THROW(ParsePrimitiveStates({"jointGroup=99999999999", "primitiveName=A"}, kLayout),
               std::out_of_range);
  EXPECT_THROW(ParsePrimitiveStates({"jointGroup=2", "primitiveName=7"}, kLayout),
               std::bad_variant_access);
  EXPECT_THROW(ParsePrimitiveStates({"jointGroup= 2.0", "primitiveName=A"}, kLayout),
               std::bad_variant_access);
  // Every marker is an unknown joint group when no layout was known at start-up.
  EXPECT_EQ(RuntimeErrorOf({"jointGroup=0", "primitiveName=A"}, {}),
            "[orbalt::kvt::Client::primitive_states] Received primitive states for unknown joint "
            "group");
}

}  // namespace
