// Hints for ThreadSanitizer about memory that the transport's Rust threads (not instrumented)
// write. Without a thread sanitizer they compile to nothing.
#pragma once

#if defined(__SANITIZE_THREAD__)
#define ORBALTKVT_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define ORBALTKVT_TSAN 1
#endif
#endif

#ifdef ORBALTKVT_TSAN
extern "C" void AnnotateIgnoreReadsBegin(const char* file, int line);
extern "C" void AnnotateIgnoreReadsEnd(const char* file, int line);
#endif

namespace orbalt::zenoh_mdw {

/// While alive, ThreadSanitizer checks none of this thread's memory accesses (its read-ignore
/// annotation covers writes as well). Only for decoding a payload that the transport's threads
/// wrote into a message that is still private to this thread.
class TsanIgnoreAccesses {
 public:
  TsanIgnoreAccesses() {
#ifdef ORBALTKVT_TSAN
    AnnotateIgnoreReadsBegin(__FILE__, __LINE__);
#endif
  }
  ~TsanIgnoreAccesses() {
#ifdef ORBALTKVT_TSAN
    AnnotateIgnoreReadsEnd(__FILE__, __LINE__);
#endif
  }
  TsanIgnoreAccesses(const TsanIgnoreAccesses&) = delete;
  TsanIgnoreAccesses& operator=(const TsanIgnoreAccesses&) = delete;
};

}  // namespace orbalt::zenoh_mdw
