/// @file
/// The client: one object bound to one robot for its whole life.
#pragma once

#include <array>
#include <map>
#include <memory>
#include <string>
#include <utility>

#include "orbalt/kvt/export.hpp"
#include "orbalt/kvt/joint_group.hpp"
#include "orbalt/kvt/plan_info.hpp"
#include "orbalt/kvt/primitive_states.hpp"
#include "orbalt/kvt/robot_actions.hpp"
#include "orbalt/kvt/robot_states.hpp"

namespace orbalt::kvt {

/// Reads live data from one robot's data service.
///
/// Construction validates the serial number, joins the process-wide Zenoh session, starts the
/// stream intake and the request/reply client, waits until the robot answers, checks the service
/// version and fetches the joint-group layout. There is no reconnect and no way to change the
/// robot afterwards. The object is neither copied nor moved.
///
/// Stream-based reads answer from the newest stream sample without sending anything; RPC-based
/// reads (`connected`, `plan_info`, `configuration_score`, `primitive_states`) send a request and
/// block until the reply or its timeout (1 s for `connected`, 2 s for the others).
///
/// @note Every read operation may be called from any thread while the object lives; RPC-based
///       reads from several threads run one after the other.
class ORBALTKVT_API Client {
 public:
  /// @param robot_sn the robot's serial number: a prefix of ASCII letter/digit tokens separated
  ///        by '-' or ' ', then '-', then a suffix without '*', '$', '/', '?' or '#'; no '_'
  ///        anywhere. Spaces in the prefix become '-' ("AB 12-345678" and "AB-12-345678" name
  ///        the same robot).
  /// @param verbose log progress lines (banner, search, layout, completion) at info level.
  /// @throw std::invalid_argument when the serial number is malformed; nothing is opened then.
  /// @throw std::runtime_error when the services cannot be started, the robot does not answer
  ///        (about 3 s), or the version or layout request fails.
  /// @throw std::logic_error when the robot's service version is not "v2.1".
  /// @throw zenoh::ZException (a std::runtime_error) when the Zenoh session cannot be opened.
  explicit Client(const std::string& robot_sn, bool verbose = true);
  virtual ~Client();

  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;
  Client(Client&&) = delete;
  Client& operator=(Client&&) = delete;

  /// Whether the robot's data service answers a probe now (up to 1 s). Never throws for a
  /// missing answer.
  bool connected() const;

  /// The joint groups the newest basic stream sample lists, with their names.
  /// @throw std::out_of_range when the sample lists the value 1, which has no name.
  std::map<JointGroup, std::string> groups() const;

  /// The measured state of every joint group known at construction (and of any group the newest
  /// sample lists), from the newest basic stream sample. Empty when the sample does not fit the
  /// layout (the reason is logged).
  std::map<JointGroup, RobotStates> states() const;

  /// The desired state of every joint group, from the newest extra stream sample, stamped with
  /// the newest basic sample's timestamp. Empty when the sample does not fit the layout.
  std::map<JointGroup, RobotActions> actions() const;

  /// The primitive running on each joint group, with its state variables.
  /// @throw std::runtime_error when the robot does not answer or sends malformed entries.
  std::map<JointGroup, PrimitiveStates> primitive_states() const;

  /// Per joint group two scores in [0, 100] computed from the robot's manipulability values.
  /// @throw std::runtime_error "[orbalt::kvt::Model::configuration_score] No reply from the robot"
  std::map<JointGroup, std::pair<double, double>> configuration_score() const;

  /// What the robot's plan executor is doing.
  /// @throw std::runtime_error "[orbalt::kvt::Client] plan_info: No reply from the robot"
  PlanInfo plan_info() const;

  /// Whether the emergency stop is released (newest basic sample; false before the first).
  bool estop_released() const;

  /// Whether the enabling device is on (newest basic sample; false before the first).
  bool enabling_device_on() const;

  /// The 20 digital inputs; entry i is channel i.
  std::array<bool, 20> digital_inputs() const;

  /// The 20 digital outputs; entry i is channel i.
  std::array<bool, 20> digital_outputs() const;

  class Impl;

 private:
  friend class SampleStream;  // made from a client: its robot and joint layout

  std::unique_ptr<Impl> pimpl_;
};

}  // namespace orbalt::kvt
