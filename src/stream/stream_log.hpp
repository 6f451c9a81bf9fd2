// Log texts of the stream intake and its readers, written once here.
#pragma once

namespace orbalt::kvt_impl::stream_log {

inline constexpr const char* kCreatingSubscriber =
    "[orbalt::kvt::Client] Creating subscriber on topic: {}";

inline constexpr const char* kInvalidBasicIndex =
    "[orbalt::kvt::Client] The received basic data contains invalid joint group index [{}]";
inline constexpr const char* kInvalidExtraIndex =
    "[orbalt::kvt::Client] The received extra data contains invalid joint group index [{}]";

inline constexpr const char* kMismatchedSizes =
    "[orbalt::kvt::Client] The received data has mismatched sizes: cartesian_data size is {}, "
    "expected number of joint groups is {}";
inline constexpr const char* kMismatchedDesiredSizes =
    "[orbalt::kvt::Client] The received desired data has mismatched sizes: cartesian_data size "
    "is {}, expected number of joint groups is {}";

inline constexpr const char* kMissingMetadata =
    "[orbalt::kvt::Client] Missing start ID or DoF metadata for joint group [{}]";

inline constexpr const char* kSegmentJointData =
    "[orbalt::kvt::Client] Failed to segment full-DoF joint data for joint group [{}]";
inline constexpr const char* kSegmentDesiredData =
    "[orbalt::kvt::Client] Failed to segment desired joint data for joint group [{}]";
inline constexpr const char* kSegmentContactPositions =
    "[orbalt::kvt::Client] Failed to segment multi-contact positions for joint group [{}]";
inline constexpr const char* kSegmentContactForces =
    "[orbalt::kvt::Client] Failed to segment multi-contact forces for joint group [{}]";

}  // namespace orbalt::kvt_impl::stream_log
