// A child process for tests: an independent peer started with its standard input as a pipe.
// Closing the pipe (or destroying the object) asks it to stop; it is killed if it lingers.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace orbalt::testing {

class ChildProcess {
 public:
  explicit ChildProcess(const std::vector<std::string>& argv);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  /// Waits until the child prints `line` on its standard output; false on timeout or exit.
  bool WaitForLine(const std::string& line, std::chrono::milliseconds timeout);

  /// Reads the next line of the child's standard output; false on timeout or exit.
  bool ReadLine(std::string& line, std::chrono::milliseconds timeout);

  /// Writes `line` and a newline to the child's standard input.
  void WriteLine(const std::string& line);

  /// Closes the child's standard input and waits for it; kills it after `grace`.
  /// Returns the exit status (-1 when it had to be killed).
  int Stop(std::chrono::milliseconds grace = std::chrono::seconds(5));

  /// Kills the child with SIGKILL (it gets no chance to clean up) and reaps it.
  void Kill();

  /// Stops the child with SIGSTOP and returns once every one of its threads has stopped
  /// (the signal alone is delivered asynchronously, and the child may answer meanwhile).
  void Suspend();

 private:
  pid_t pid_ = -1;
  int stdin_fd_ = -1;
  int stdout_fd_ = -1;
  std::string buffer_;
};

/// The Python interpreter of the project's environment.
std::string PythonInterpreter();

}  // namespace orbalt::testing
