// The robot's status vocabulary: system states and safety board states, with their names.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <unordered_map>

namespace obr {

/// State of the robot system, as the basic stream reports it. Values the table lacks are
/// passed on unchanged and have no name.
enum class SystemState : std::uint32_t {
  UNKNOWN = 0,
  INIT = 1,
  STOPPED_MANUAL = 2,
  STOPPED_AUTO = 3,
  STOPPED_EXTERNAL_AUTO = 4,
  WORKING_EXTERNAL_AUTO = 5,
  WORKING_MANUAL_EXECUTE = 6,
  WORKING_AUTO_EXECUTE = 7,
  REWIND_EXTERNAL_AUTO = 8,
  REWIND_MANUAL = 9,
  REWIND_AUTO = 10,
  FREEDRIVE_MANUAL = 11,
  FREEDRIVE_AUTO = 12,
  FAULT_MANUAL = 13,
  FAULT_AUTO = 14,
  FAULT_EXTERNAL_AUTO = 15,
  RECOVERY_MANUAL = 16,
  RECOVERY_AUTO = 17,
  RECOVERY_EXTERNAL_AUTO = 18,
};

/// State of the safety board, as the basic stream reports it. Unlike SystemState, UNKNOWN is
/// -1; values the table lacks are passed on unchanged and have no name.
enum class SafetyBoardState : std::int32_t {
  UNKNOWN = -1,
  STARTUP = 0,
  SYNC = 8,
  RECOVERY = 9,
  REDUCED = 10,
  NORMAL = 12,
  TRANSITION = 14,
  RELEASE_BRAKE = 24,
  CAT_0_STOP = 40,
  CAT_1_STOP = 72,
  CAT_2_STOP = 136,
};

/// Name of every SystemState, spelled as its enumerator. Read-only.
extern const std::unordered_map<SystemState, std::string> SystemStateName;

/// Name of every SafetyBoardState, spelled as its enumerator. Read-only.
extern const std::map<SafetyBoardState, std::string> SafetyBoardStateName;

}  // namespace obr
