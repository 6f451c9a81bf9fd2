#include <cstdio>
#include <orbaltkvt.hpp>
#include <stdexcept>

int main() {
  try {
    orbalt::kvt::Client client("not a serial number", false);
  } catch (const std::invalid_argument& e) {
    std::printf("%s / %s\n", e.what(),
                orbalt::kvt::kJointGroupNames.at(orbalt::kvt::JointGroup::ARM_1).c_str());
    return 0;
  }
  return 1;
}
