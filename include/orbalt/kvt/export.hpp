/// @file
/// `ORBALTKVT_API`: what the shared library exports.
#pragma once

/// Marks a class, function or variable of the public interface. The library is built with hidden
/// visibility, so only what carries this mark is visible to the programs that load it; the rest,
/// the Zenoh layer included, stays inside the library.
#define ORBALTKVT_API __attribute__((visibility("default")))
