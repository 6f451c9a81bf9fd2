#include "stream/obr_state.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace orbalt::kvt_impl;

TEST(ObrState, GeneralCategoryNamesTheFourCodesAndNothingElse) {
  const auto& category = ObrGeneralStateCategory();
  EXPECT_STREQ(category.name(), "General");
  EXPECT_STREQ(category.message(100000), "OK");
  EXPECT_STREQ(category.message(200000), "Warning");
  EXPECT_STREQ(category.message(300000), "Fault");
  EXPECT_STREQ(category.message(400000), "Critical fault");
  for (int v : {0, 1, 99999, 100001, 250000, -100000, 500000}) {
    EXPECT_STREQ(category.message(v), "(unrecognized)") << v;
  }
}

TEST(ObrState, StatesShareTheOneCategoryInstance) {
  const auto a = _MakeObrState(WARNING);
  const auto b = _MakeObrState(FAULT);
  EXPECT_EQ(a.value, 200000);
  EXPECT_EQ(a.category, b.category);
  EXPECT_EQ(a.category, &ObrGeneralStateCategory());
  EXPECT_STREQ(a.category->message(a.value), "Warning");
}

}  // namespace
