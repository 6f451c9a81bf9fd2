#include "client/serial_number.hpp"

#include <gtest/gtest.h>

#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "orbalt/kvt/client.hpp"
#include "support/log_capture.hpp"

namespace {

using orbalt::kvt_impl::NormalizeSerialNumber;

constexpr const char* kInvalid =
    "[orbalt::kvt::Client] Format of the provided robot serial number is invalid";
constexpr const char* kBanner = "| | | | | | | | | |  Orbalt KVT v2.1  | | | | | | | | | |";

TEST(SerialNumber, RejectsMalformedNumbersWithOneText) {
  const std::vector<std::string> rejected = {
      "",              // empty
      "ABC",           // no '-'
      "-123",          // '-' first
      "ABC-",          // '-' last
      "A_B-1",         // '_'
      "AB-1_2",        // '_' in the suffix
      " AB-1",         // starts with a space
      "AB  CD-1",      // two separators in a row
      "AB -CD-1",      // space then '-'
      "AB -1",         // prefix ends with a space
      "AB--1",         // prefix ends with '-'
      "A.B-1",         // '.' in the prefix
      "AB\tC-1",       // tab in the prefix
      "AB\xc3\xa9-1",  // non-ASCII letter
      "-",
      "--",
      // Key-expression syntax in the suffix would reach other robots' topics.
      "AB-$*",
      "AB-*",
      "AB-1/**",
      "AB-1*",
      "AB-1$",
      "AB-1/rpc",
      "AB-1?x=1",
      "AB-1#",
      "AB 12-3*4",
  };
  for (const auto& sn : rejected) {
    try {
      NormalizeSerialNumber(sn);
      ADD_FAILURE() << "accepted '" << sn << "'";
    } catch (const std::invalid_argument& e) {
      EXPECT_STREQ(e.what(), kInvalid) << sn;
    }
  }
}

TEST(SerialNumber, NormalizesSpacesInThePrefixAndKeepsTheSuffix) {
  const std::map<std::string, std::string> accepted = {
      {"AB-12-345678", "AB-12-345678"},
      {"AB 12-345678", "AB-12-345678"},
      {"AB CD-1 2", "AB-CD-1 2"},  // the suffix keeps its space
      {"AB-CD-12", "AB-CD-12"},
      {"a1 b2 c3-x", "a1-b2-c3-x"},
      {"R-0", "R-0"},
      {"AB-x.y", "AB-x.y"},  // beyond '_', '-' and key-expression syntax the suffix is free
      {"AB 1-x:y@z!~%&+=()[]{}", "AB-1-x:y@z!~%&+=()[]{}"},
      {"AB-\xc3\xa9", "AB-\xc3\xa9"},
  };
  for (const auto& [in, out] : accepted) EXPECT_EQ(NormalizeSerialNumber(in), out) << in;
}

TEST(Client, LogsTheBannerBeforeRejectingTheSerialNumber) {
  orbalt::testing::LogCapture log;
  EXPECT_THROW(orbalt::kvt::Client("AB--1", true), std::invalid_argument);
  const auto info = log.Texts(spdlog::level::info);
  ASSERT_EQ(info.size(), 1u);
  EXPECT_EQ(info[0], kBanner);
}

TEST(Client, QuietClientRejectsWithoutLogging) {
  orbalt::testing::LogCapture log;
  try {
    orbalt::kvt::Client client("", false);
    FAIL();
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), kInvalid);
  }
  EXPECT_TRUE(log.Lines().empty());
}

}  // namespace
