#include "support/simulator.hpp"

#include <stdexcept>

#include "support/network_guard.hpp"

namespace orbalt::testing {

using namespace std::chrono_literals;

Simulator::Simulator(const std::string& serial_number, const std::vector<std::string>& options)
    : serial_number_(serial_number) {
  RequireLoopbackOnly("a test starts the simulated robot");
  std::vector<std::string> argv = {PythonInterpreter(),
                                   ORBALTKVT_TESTS_DIR "/support/sim_control.py", serial_number};
  argv.insert(argv.end(), options.begin(), options.end());
  process_ = std::make_unique<ChildProcess>(argv);
  if (!process_->WaitForLine("ready", 30s)) {
    throw std::runtime_error("the simulated robot did not start");
  }
}

Simulator::~Simulator() { Stop(); }

std::string Simulator::Command(const std::string& json) {
  process_->WriteLine(json);
  std::string line;
  if (!process_->ReadLine(line, 30s)) throw std::runtime_error("simulator: no answer to " + json);
  if (line.rfind("ok ", 0) == 0) return line.substr(3);
  throw std::runtime_error("simulator refused " + json + ": " + line);
}

std::map<int, int> Simulator::RequestCounts() {
  // The answer is a flat JSON object of numbers: {"0": 3, "4": 1}.
  const std::string json = Command(R"({"cmd": "counts"})");
  std::map<int, int> counts;
  std::size_t pos = 0;
  while ((pos = json.find('"', pos)) != std::string::npos) {
    const std::size_t end = json.find('"', pos + 1);
    const std::size_t colon = json.find(':', end);
    counts[std::stoi(json.substr(pos + 1, end - pos - 1))] = std::stoi(json.substr(colon + 1));
    pos = colon;
  }
  return counts;
}

bool Simulator::WaitForSamples(const std::string& stream, int count, double timeout_s) {
  return Command(R"({"cmd": "wait_samples", "stream": ")" + stream + R"(", "count": )" +
                 std::to_string(count) + R"(, "timeout": )" + std::to_string(timeout_s) + "}") ==
         "true";
}

void Simulator::Stop() {
  if (process_) process_->Stop();
  process_.reset();
}

void Simulator::Kill() {
  if (process_) process_->Kill();
  process_.reset();
}

void Simulator::Freeze() {
  if (process_) process_->Suspend();
}

}  // namespace orbalt::testing
