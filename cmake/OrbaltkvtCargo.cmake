# Builds the Rust transport shim with cargo and offers it as the target orbaltkvt_zshim.
find_program(ORBALTKVT_CARGO cargo HINTS $ENV{HOME}/.cargo/bin REQUIRED)

if(DEFINED ENV{CARGO_TARGET_DIR} AND NOT "$ENV{CARGO_TARGET_DIR}" STREQUAL "")
  set(_orbaltkvt_cargo_default_dir "$ENV{CARGO_TARGET_DIR}")
else()
  set(_orbaltkvt_cargo_default_dir "${PROJECT_BINARY_DIR}/cargo")
endif()
set(ORBALTKVT_CARGO_TARGET_DIR "${_orbaltkvt_cargo_default_dir}" CACHE PATH
  "Cargo target directory for the transport shim (may be a cache outside the build tree)")

set(_orbaltkvt_shim_dir ${PROJECT_SOURCE_DIR}/src/transport/shim)
set(_orbaltkvt_shim_lib ${ORBALTKVT_CARGO_TARGET_DIR}/release/liborbaltkvt_zshim.a)
# Under the thread sanitizer the shim is linked as a shared library, so that what its Rust code
# does through intercepted libc calls can be told apart by library (tests/tsan.supp).
if(ORBALTKVT_SANITIZE MATCHES "thread")
  set(_orbaltkvt_shim_lib ${ORBALTKVT_CARGO_TARGET_DIR}/release/liborbaltkvt_zshim.so)
  set(CMAKE_BUILD_RPATH ${CMAKE_BUILD_RPATH} ${ORBALTKVT_CARGO_TARGET_DIR}/release)
endif()

add_custom_target(orbaltkvt_zshim_cargo
  COMMAND ${CMAKE_COMMAND} -E env CARGO_TARGET_DIR=${ORBALTKVT_CARGO_TARGET_DIR}
          ${ORBALTKVT_CARGO} build --release --locked
          --manifest-path ${_orbaltkvt_shim_dir}/Cargo.toml
  BYPRODUCTS ${_orbaltkvt_shim_lib}
  WORKING_DIRECTORY ${_orbaltkvt_shim_dir}
  COMMENT "Building the Rust transport shim"
  USES_TERMINAL
  VERBATIM)

add_library(orbaltkvt_zshim INTERFACE)
add_dependencies(orbaltkvt_zshim orbaltkvt_zshim_cargo)
target_link_libraries(orbaltkvt_zshim INTERFACE
  ${_orbaltkvt_shim_lib} Threads::Threads ${CMAKE_DL_LIBS} m)
