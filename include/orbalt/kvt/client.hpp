/// @file
/// The client: one object bound to one robot for its whole life.
#pragma once

#include <memory>
#include <string>

namespace orbalt::kvt {

/// Reads live data from one robot's data service.
///
/// Construction validates the serial number, joins the process-wide Zenoh session, starts the
/// stream intake and the request/reply client, waits until the robot answers, checks the service
/// version and fetches the joint-group layout. The object is neither copied nor moved.
///
/// @note Every read operation may be called from any thread while the object lives.
class Client {
 public:
  /// @param robot_sn the robot's serial number: a prefix of ASCII letter/digit tokens separated
  ///        by '-' or ' ', then '-', then a suffix; no '_' anywhere. Spaces in the prefix become
  ///        '-' ("AB 12-345678" and "AB-12-345678" name the same robot).
  /// @param verbose log progress lines (banner, search, layout, completion) at info level.
  /// @throw std::invalid_argument "[orbalt::kvt::Client] Format of the provided robot serial
  ///        number is invalid" when the serial number is malformed; nothing is opened then.
  explicit Client(const std::string& robot_sn, bool verbose = true);
  virtual ~Client();

  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;
  Client(Client&&) = delete;
  Client& operator=(Client&&) = delete;

  class Impl;

 private:
  std::unique_ptr<Impl> pimpl_;
};

}  // namespace orbalt::kvt
