// The structural pass over a saved pipeline's pickle stream (see
// korvane/pickle_scan.hpp), for the restricted loader of saved pipelines.
#include <cstdint>

#include "argument_checks.hpp"
#include "binding_prelude.hpp"
#include "korvane/pickle_scan.hpp"

namespace {

using korvane::bind::refuse;

void require_between(const char* argument, int64_t value, int64_t lowest, int64_t highest) {
  if (value < lowest || value > highest) {
    refuse(argument, "must lie between " + std::to_string(lowest) + " and " + std::to_string(highest));
  }
}

nb::tuple scan_pickle(nb::bytes data, int64_t built_per_byte, int64_t built_floor, int64_t max_nesting,
                      int64_t max_digits) {
  using korvane::pickles::Limits;
  require_between("built_per_byte", built_per_byte, 1, Limits::kMostBuiltPerByte);
  require_between("built_floor", built_floor, 0, Limits::kMostBuiltFloor);
  require_between("max_nesting", max_nesting, 1, Limits::kMostNesting);
  require_between("max_digits", max_digits, 1, Limits::kMostDigits);
  Limits limits;
  limits.built_per_byte = built_per_byte;
  limits.built_floor = built_floor;
  limits.max_nesting = static_cast<int>(max_nesting);
  limits.max_digits = max_digits;
  korvane::pickles::ScanResult result;
  {
    // The bytes object is immutable and held by this call: read without the GIL.
    const auto* bytes = static_cast<const uint8_t*>(data.data());
    const size_t size = data.size();
    nb::gil_scoped_release released;
    result = korvane::pickles::scan(bytes, size, limits);
  }
  return nb::make_tuple(static_cast<int>(result.outcome), nb::str(result.message.c_str(), result.message.size()),
                        nb::bytes(result.stream.data(), result.stream.size()), result.built, result.read);
}

}  // namespace

void bind_pickle_scan(nb::module_& m) {
  m.def("scan_pickle", &scan_pickle, "data"_a, "built_per_byte"_a, "built_floor"_a, "max_nesting"_a, "max_digits"_a,
        "(outcome, message, stream, built, read) of a saved pipeline's pickle stream: outcome 0 loads `stream`, "
        "1 refuses and 2 finds it malformed, as `message` says; `built` is what its opcodes make live and `read` the "
        "bytes the unpickler reads.");
}
