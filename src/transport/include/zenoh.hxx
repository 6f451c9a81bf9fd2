// The zenoh C++ layer of orbaltkvt: the part of the zenoh C++ API the library uses.
#pragma once

#include "zenoh/api/base.hxx"
#include "zenoh/api/bytes.hxx"
#include "zenoh/api/ext/serialization.hxx"
#include "zenoh/api/keyexpr.hxx"
#include "zenoh/api/session.hxx"
