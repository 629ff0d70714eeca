#pragma once
// Reports an exception through the interpreter's unraisable-exception hook,
// the way a function that must return a plain value reports a failure it
// cannot raise. Shared by every module; exposed as
// korvane._kernels.write_unraisable.
#include <nanobind/nanobind.h>

namespace korvane::bind {

// `exception` must be an exception instance; `context` is the object the
// hook names ("Exception ignored in: ...").
void write_unraisable(nanobind::handle exception, nanobind::handle context);

}  // namespace korvane::bind
