/// @file
/// Decoding stream payloads kept earlier (recordings) into the samples a `SampleStream` gives.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "orbalt/kvt/export.hpp"
#include "orbalt/kvt/sample_columns.hpp"
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

  /// One kept sample: its wire bytes and when it arrived.
  struct Payload {
    const std::uint8_t* data = nullptr;  ///< the wire bytes
    std::size_t size = 0;                ///< their number
    std::int64_t receive_time_ns = 0;  ///< host receive time, ns since the Unix epoch
  };

  /// Decodes payloads of both streams, each in arrival order, and appends them to `out` as
  /// rows. The two streams are taken in receive-time order, so that each extra row carries
  /// the timestamp of the basic sample before it, as a `SampleStream` gives it. A payload
  /// that does not decode is a row with `valid` 0. `every_joint` also fills the columns of
  /// every joint each sample carries, whatever the layout.
  void decode(const Payload* basic, std::size_t basic_count, const Payload* extra,
              std::size_t extra_count, ColumnBatch& out, bool every_joint = false);

  /// The joint layout samples are converted with.
  const JointLayout& layout() const;

  class Impl;

 private:
  std::unique_ptr<Impl> pimpl_;
};

}  // namespace orbalt::kvt
