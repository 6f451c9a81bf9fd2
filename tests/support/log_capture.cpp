#include "support/log_capture.hpp"

#include <spdlog/sinks/base_sink.h>

namespace orbalt::testing {

namespace {

template <class Store>
class CollectingSink : public spdlog::sinks::base_sink<std::mutex> {
 public:
  explicit CollectingSink(std::shared_ptr<Store> store) : store_(std::move(store)) {}

 protected:
  void sink_it_(const spdlog::details::log_msg& msg) override {
    std::lock_guard<std::mutex> lock(store_->m);
    store_->lines.push_back({msg.level, std::string(msg.payload.data(), msg.payload.size())});
  }
  void flush_() override {}

 private:
  std::shared_ptr<Store> store_;
};

}  // namespace

LogCapture::LogCapture(spdlog::level::level_enum level)
    : store_(std::make_shared<Store>()), previous_(spdlog::default_logger()) {
  auto logger =
      std::make_shared<spdlog::logger>("capture", std::make_shared<CollectingSink<Store>>(store_));
  logger->set_level(level);
  spdlog::set_default_logger(logger);
}

LogCapture::~LogCapture() { spdlog::set_default_logger(previous_); }

std::vector<LogCapture::Line> LogCapture::Lines() const {
  std::lock_guard<std::mutex> lock(store_->m);
  return store_->lines;
}

std::vector<std::string> LogCapture::Texts(spdlog::level::level_enum level) const {
  std::vector<std::string> out;
  for (const auto& l : Lines()) {
    if (l.level == level) out.push_back(l.text);
  }
  return out;
}

int LogCapture::Count(const std::string& text) const {
  int n = 0;
  for (const auto& l : Lines()) n += l.text == text ? 1 : 0;
  return n;
}

int LogCapture::IndexOf(const std::string& text) const {
  const auto lines = Lines();
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].text == text) return static_cast<int>(i);
  }
  return -1;
}

}  // namespace orbalt::testing
