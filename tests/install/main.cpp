// A program that uses the installed library.
//   consumer             rejects a malformed serial number (opens nothing)
//   consumer SERIAL      looks for a robot that is not there (opens a Zenoh session: run it in
//                        scripts/netns) and checks that the library never called the program's
//                        own zenoh::Subscriber<void>
#include <cstdio>
#include <orbaltkvt.hpp>
#include <stdexcept>

#include "own_zenoh.hpp"

int main(int argc, char** argv) {
  if (argc > 1) {
    {
      zenoh::Subscriber<void> own;  // the program uses its own class
    }
    try {
      orbalt::kvt::Client client(argv[1], false);
      std::printf("unexpected: a robot answered\n");
      return 1;
    } catch (const std::runtime_error& e) {
      // The client subscribed to both streams before it gave up; destroying those subscribers
      // must not have reached the program's destructor.
      std::printf("%s / own zenoh::Subscriber<void> destroyed %d time(s)\n", e.what(),
                  zenoh::Subscriber<void>::destroyed);
      return zenoh::Subscriber<void>::destroyed == 1 ? 0 : 1;
    }
  }
  try {
    orbalt::kvt::Client client("not a serial number", false);
  } catch (const std::invalid_argument& e) {
    std::printf("%s / %s\n", e.what(),
                orbalt::kvt::kJointGroupNames.at(orbalt::kvt::JointGroup::ARM_1).c_str());
    return 0;
  }
  return 1;
}
