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

// nanobind's report, at interpreter exit, of every instance of ours still
// alive names reference-counting faults in the bindings, and korvane's
// modules share a nanobind domain of their own, so the setting reaches no
// other package's modules. Builds with the test hooks (the editable build
// and the sanitized one) keep it on: the suite fails when it prints. A
// release build turns it off, since a program can legitimately hold one of
// our objects until the end (the interpreter never frees what a daemon
// thread's frame holds at exit), and that is no fault to report to its user.
inline void set_exit_leak_report() {
#ifndef KORVANE_TEST_HOOKS
  nb::set_leak_warnings(false);
#endif
}
