#pragma once
// The names every binding file works with: nanobind as `nb`, its argument
// literals ("name"_a), and the array views and owned-array makers of
// ndarray_span.hpp. Include it from binding .cpp files only, never from a
// header of the core.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include "ndarray_span.hpp"

namespace nb = nanobind;
using namespace nb::literals;

using korvane::bind::AnyMatrix;
using korvane::bind::Array;
using korvane::bind::array_copy;
using korvane::bind::CInt64Vector;
using korvane::bind::CMatrix;
using korvane::bind::CVector;
using korvane::bind::new_buffer;
using korvane::bind::OutMatrix;
using korvane::bind::OutVector;
using korvane::bind::owned_array;

// nanobind reports every instance of ours still alive when the interpreter
// ends as a likely reference-counting fault. The interpreter never frees what
// a daemon thread's frame or another root it keeps still holds, so a factor
// kept to the end that way would be reported though nothing leaked: each
// module turns the report off as it loads.
inline void quiet_at_exit() { nb::set_leak_warnings(false); }
