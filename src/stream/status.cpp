#include "stream/data_stream.hpp"

namespace orbalt::kvt_impl {

obr::SystemState DataStream::GetSystemState() const {
  std::lock_guard<std::mutex> lock(basic_mutex_);
  return static_cast<obr::SystemState>(basic_latest_.system_state);
}

obr::SafetyBoardState DataStream::GetSafetyBoardState() const {
  std::lock_guard<std::mutex> lock(basic_mutex_);
  // Widened with its sign: UNKNOWN travels as -1, not 65535.
  return static_cast<obr::SafetyBoardState>(
      static_cast<std::int32_t>(basic_latest_.safety_board_state));
}

std::array<bool, 8> DataStream::GetSafetyInputs() const {
  std::lock_guard<std::mutex> lock(basic_mutex_);
  return basic_latest_.safety_inputs;
}

bool DataStream::IsEstopReleased() const {
  std::lock_guard<std::mutex> lock(basic_mutex_);
  return basic_latest_.estop_released;
}

bool DataStream::IsEnablingDeviceOn() const {
  std::lock_guard<std::mutex> lock(basic_mutex_);
  return basic_latest_.enabling_device_on;
}

std::array<bool, 20> DataStream::GetDigitalInput() const {
  std::lock_guard<std::mutex> lock(basic_mutex_);
  return basic_latest_.digital_inputs;
}

std::array<bool, 20> DataStream::GetDigitalOutput() const {
  std::lock_guard<std::mutex> lock(basic_mutex_);
  return basic_latest_.digital_outputs;
}

}  // namespace orbalt::kvt_impl
