// Happens-before edges that a thread sanitizer cannot see because they run through the Rust
// transport, which is not instrumented. Outside sanitizer builds these compile to nothing.
#pragma once

#if defined(__SANITIZE_THREAD__)
#define ORBALTKVT_TRANSPORT_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define ORBALTKVT_TRANSPORT_TSAN 1
#endif
#endif

#ifdef ORBALTKVT_TRANSPORT_TSAN
#include <sanitizer/tsan_interface.h>
#endif

namespace zenoh::detail {

/// What this thread did so far happens before a later `HandoffAcquire(token)` elsewhere.
inline void HandoffRelease([[maybe_unused]] const void* token) {
#ifdef ORBALTKVT_TRANSPORT_TSAN
  __tsan_release(const_cast<void*>(token));
#endif
}

/// Pairs with `HandoffRelease(token)` on another thread.
inline void HandoffAcquire([[maybe_unused]] const void* token) {
#ifdef ORBALTKVT_TRANSPORT_TSAN
  __tsan_acquire(const_cast<void*>(token));
#endif
}

}  // namespace zenoh::detail
