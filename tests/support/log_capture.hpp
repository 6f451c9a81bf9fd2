// Captures what the library logs on the default logger while the object lives.
#pragma once

#include <spdlog/spdlog.h>

#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace orbalt::testing {

class LogCapture {
 public:
  struct Line {
    spdlog::level::level_enum level;
    std::string text;
  };

  explicit LogCapture(spdlog::level::level_enum level = spdlog::level::trace);
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<Line> Lines() const;
  /// The texts of the lines at `level`, in order.
  std::vector<std::string> Texts(spdlog::level::level_enum level) const;
  /// How many lines have exactly `text`.
  int Count(const std::string& text) const;
  /// Index of the first line with exactly `text`, or -1.
  int IndexOf(const std::string& text) const;

 private:
  struct Store {
    mutable std::mutex m;
    std::vector<Line> lines;
  };
  std::shared_ptr<Store> store_;
  std::shared_ptr<spdlog::logger> previous_;
};

}  // namespace orbalt::testing
