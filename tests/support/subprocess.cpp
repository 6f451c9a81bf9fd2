#include "support/subprocess.hpp"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <stdexcept>
#include <thread>

namespace orbalt::testing {

ChildProcess::ChildProcess(const std::vector<std::string>& argv) {
  int in[2];
  int out[2];
  if (pipe(in) != 0 || pipe(out) != 0) throw std::runtime_error("pipe failed");
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    dup2(in[0], STDIN_FILENO);
    dup2(out[1], STDOUT_FILENO);
    close(in[0]);
    close(in[1]);
    close(out[0]);
    close(out[1]);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  stdin_fd_ = in[1];
  stdout_fd_ = out[0];
}

ChildProcess::~ChildProcess() { Stop(); }

bool ChildProcess::WaitForLine(const std::string& line, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::string got;
  while (ReadLine(got, std::chrono::duration_cast<std::chrono::milliseconds>(
                           deadline - std::chrono::steady_clock::now()))) {
    if (got == line) return true;
  }
  return false;
}

void ChildProcess::WriteLine(const std::string& line) {
  const std::string out = line + "\n";
  std::size_t done = 0;
  while (done < out.size()) {
    const ssize_t n = write(stdin_fd_, out.data() + done, out.size() - done);
    if (n <= 0) throw std::runtime_error("cannot write to the child process");
    done += static_cast<std::size_t>(n);
  }
}

bool ChildProcess::ReadLine(std::string& line, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (true) {
    const auto pos = buffer_.find('\n');
    if (pos != std::string::npos) {
      line = buffer_.substr(0, pos);
      buffer_.erase(0, pos + 1);
      return true;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{stdout_fd_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    char chunk[4096];
    const ssize_t n = read(stdout_fd_, chunk, sizeof(chunk));
    if (n <= 0) return false;
    buffer_.append(chunk, static_cast<std::size_t>(n));
  }
}

int ChildProcess::Stop(std::chrono::milliseconds grace) {
  if (pid_ <= 0) return -1;
  if (stdin_fd_ >= 0) close(stdin_fd_);
  stdin_fd_ = -1;
  const auto deadline = std::chrono::steady_clock::now() + grace;
  int status = 0;
  int result = -1;
  while (true) {
    const pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      result = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      break;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (stdout_fd_ >= 0) close(stdout_fd_);
  stdout_fd_ = -1;
  pid_ = -1;
  return result;
}

void ChildProcess::Kill() {
  if (pid_ <= 0) return;
  kill(pid_, SIGKILL);
  int status = 0;
  waitpid(pid_, &status, 0);
  if (stdin_fd_ >= 0) close(stdin_fd_);
  if (stdout_fd_ >= 0) close(stdout_fd_);
  stdin_fd_ = stdout_fd_ = -1;
  pid_ = -1;
}

void ChildProcess::Suspend() {
  if (pid_ <= 0 || kill(pid_, SIGSTOP) != 0) return;
  int status = 0;
  while (waitpid(pid_, &status, WUNTRACED) < 0 && errno == EINTR) {
  }
}

std::string PythonInterpreter() {
  if (const char* p = std::getenv("ORBALTKVT_PYTHON")) return p;
  return ORBALTKVT_DEFAULT_PYTHON;
}

}  // namespace orbalt::testing
