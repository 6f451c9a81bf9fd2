# ORBALTKVT_BUILD_FUZZERS: libFuzzer targets (tests/fuzz) with AddressSanitizer and
# UndefinedBehaviorSanitizer. Every target of the build gets coverage instrumentation, so the
# library code the fuzzers reach is measured and guided, not only the harnesses.
if(ORBALTKVT_BUILD_FUZZERS)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "ORBALTKVT_BUILD_FUZZERS needs clang (CMAKE_CXX_COMPILER=clang++)")
  endif()
  if(ORBALTKVT_SANITIZE)
    message(FATAL_ERROR "ORBALTKVT_BUILD_FUZZERS brings its own sanitizers; unset ORBALTKVT_SANITIZE")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()
