/// @file
/// Decoding stream payloads kept earlier (recordings) into the samples a `SampleStream` gives.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "orbalt/kvt/export.hpp"
#include "orbalt/kvt/stream_samples.hpp"

namespace orbalt::kvt {

/// Turns the wire bytes of basic and extra stream samples into `BasicSample` and `ExtraSample`
/// exactly as a `SampleStream` with the same joint layout does. Holds only the layout and the
/// newest basic timestamp (which stamps extra samples); not thread safe.
class ORBALTKVT_API SampleDecoder {
 public:
  /// @param layout the joint layout the samples were recorded with
  explicit SampleDecoder(const JointLayout& layout);
  ~SampleDecoder();
  /// Moves the layout and the newest basic timestamp.
  SampleDecoder(SampleDecoder&&) noexcept;
  /// Moves the layout and the newest basic timestamp.
  SampleDecoder& operator=(SampleDecoder&&) noexcept;

  /// @return false, with `out` unspecified, when the bytes do not decode as a basic sample
  bool decode_basic(const std::uint8_t* data, std::size_t size, std::int64_t receive_time_ns,
                    BasicSample& out);
  /// @return false, with `out` unspecified, when the bytes do not decode as an extra sample
  bool decode_extra(const std::uint8_t* data, std::size_t size, std::int64_t receive_time_ns,
                    ExtraSample& out);

  /// As `decode_basic`, and `every_joint` receives every joint the sample carries: its per-joint
  /// fields in the robot's full-DoF order, whatever the layout (so joints stay readable when
  /// the robot's joint groups changed after the layout was taken). Its timestamp is the
  /// sample's; its Cartesian fields are left as they were.
  bool decode_basic(const std::uint8_t* data, std::size_t size, std::int64_t receive_time_ns,
                    BasicSample& out, RobotStates& every_joint);
  /// As `decode_extra`, and `every_joint` receives the desired values of every joint the
  /// sample carries, in full-DoF order; its Cartesian fields are left as they were.
  bool decode_extra(const std::uint8_t* data, std::size_t size, std::int64_t receive_time_ns,
                    ExtraSample& out, RobotActions& every_joint);

  /// The joint layout samples are converted with.
  const JointLayout& layout() const;

  class Impl;

 private:
  std::unique_ptr<Impl> pimpl_;
};

}  // namespace orbalt::kvt
