// The simulated robot as a child process, scripted per test (support/sim_control.py).
#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "support/subprocess.hpp"

namespace orbalt::testing {

class Simulator {
 public:
  /// Starts the simulated robot `serial_number` with the options of sim_control.py and waits
  /// until it runs.
  explicit Simulator(const std::string& serial_number,
                     const std::vector<std::string>& options = {});
  ~Simulator();
  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;

  const std::string& serial_number() const { return serial_number_; }

  /// Sends one JSON command and returns the JSON result; throws when the simulator refuses it.
  std::string Command(const std::string& json);

  /// Requests received so far, by request id.
  std::map<int, int> RequestCounts();

  /// Waits until `count` samples of `stream` ("basic" or "extra") were published in total.
  bool WaitForSamples(const std::string& stream, int count, double timeout_s = 5.0);

  /// Stops the simulator now (abruptly for the client: the peer simply disappears).
  void Stop();

  /// Kills the simulator's process with SIGKILL: the robot dies without a word.
  void Kill();

  /// Stops the simulator's process with SIGSTOP: its connections stay open but nothing moves.
  void Freeze();

 private:
  std::string serial_number_;
  std::unique_ptr<ChildProcess> process_;
};

}  // namespace orbalt::testing
