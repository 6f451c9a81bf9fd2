/// @file
/// orbaltkvt: read live data from one robot over Zenoh.
#pragma once

#include "orbalt/kvt/client.hpp"
#include "orbalt/kvt/export.hpp"
#include "orbalt/kvt/joint_group.hpp"
#include "orbalt/kvt/plan_info.hpp"
#include "orbalt/kvt/primitive_states.hpp"
#include "orbalt/kvt/robot_actions.hpp"
#include "orbalt/kvt/robot_states.hpp"
#include "orbalt/kvt/sample_decoder.hpp"
#include "orbalt/kvt/sample_stream.hpp"
#include "orbalt/kvt/stream_samples.hpp"
