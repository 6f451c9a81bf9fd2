// The stream readers run over a decoded sample with the layouts a client may hold: the dual-arm
// robot's, one whose slices can never fit (start IDs and DoFs at their limits) and one that
// lacks a DoF.
#pragma once

#include <cstdint>
#include <limits>
#include <stdexcept>
#include <vector>

#include "fuzz/fuzz_support.hpp"
#include "stream/data_stream.hpp"
#include "support/dual_arm_layout.hpp"

namespace orbalt::fuzz {

struct Layout {
  kvt_impl::DataStream::GroupNames names;
  kvt_impl::DataStream::StartIds start_ids;
  kvt_impl::DataStream::Dofs dofs;
};

inline const std::vector<Layout>& Layouts() {
  using kvt::JointGroup;
  namespace dual = testing::dual_arm;
  static const std::vector<Layout> layouts = {
      {dual::kNames, dual::kStarts, dual::kDofs},
      {{{JointGroup::ARM_1, "ARM_1"}, {JointGroup::ARM_2, "ARM_2"}},
       {{JointGroup::ARM_1, std::numeric_limits<std::uint32_t>::max()}, {JointGroup::ARM_2, 1}},
       {{JointGroup::ARM_1, 1}, {JointGroup::ARM_2, std::numeric_limits<std::uint64_t>::max()}}},
      {{{JointGroup::ALL, "ALL"}, {JointGroup::ARM_1, "ARM_1"}},
       {{JointGroup::ALL, 0}, {JointGroup::ARM_1, 0}},
       {{JointGroup::ALL, 16}}},
  };
  return layouts;
}

/// A slice from a reader has exactly the group's DoF entries.
template <class Values>
void CheckSlice(const Layout& layout, kvt::JointGroup group, const Values& values) {
  const auto dof = layout.dofs.find(group);
  if (layout.names.count(group) == 0) return;  // a listed group outside the layout
  ORBALTKVT_FUZZ_CHECK(dof != layout.dofs.end());
  ORBALTKVT_FUZZ_CHECK(values.size() == dof->second);
}

/// GetJointGroups: only index 1 may throw, and only std::out_of_range.
inline void ReadGroups(const kvt_impl::DataStream& stream, bool from_basic) {
  try {
    for (const auto& entry : stream.GetJointGroups(from_basic)) {
      ORBALTKVT_FUZZ_CHECK(static_cast<int>(entry.first) != 1 && !entry.second.empty());
    }
  } catch (const std::out_of_range&) {
  }
}

}  // namespace orbalt::fuzz
