// The structural pass over a saved pipeline's pickle stream (see
// korvane/pickle_scan.hpp), for the restricted loader of saved pipelines.
#include <cstdint>

#include "argument_checks.hpp"
#include "binding_prelude.hpp"
#include "korvane/pickle_scan.hpp"

namespace {

using korvane::bind::refuse;
namespace pickles = korvane::pickles;

void require_between(const char* argument, int64_t value, int64_t lowest, int64_t highest) {
  if (value < lowest || value > highest) {
    refuse(argument, "must lie between " + std::to_string(lowest) + " and " + std::to_string(highest));
  }
}

nb::tuple scan_pickle(nb::bytes data, int64_t built_per_byte, int64_t built_floor, int64_t max_nesting,
                      int64_t max_digits) {
  using pickles::Limits;
  require_between("built_per_byte", built_per_byte, 1, Limits::kMostBuiltPerByte);
  require_between("built_floor", built_floor, 0, Limits::kMostBuiltFloor);
  require_between("max_nesting", max_nesting, 1, Limits::kMostNesting);
  require_between("max_digits", max_digits, 1, Limits::kMostDigits);
  Limits limits;
  limits.built_per_byte = built_per_byte;
  limits.built_floor = built_floor;
  limits.max_nesting = static_cast<int>(max_nesting);
  limits.max_digits = max_digits;
  pickles::ScanResult result;
  {
    // The bytes object is immutable and held by this call: read without the GIL.
    const auto* bytes = static_cast<const uint8_t*>(data.data());
    const size_t size = data.size();
    nb::gil_scoped_release released;
    result = pickles::scan(bytes, size, limits);
  }
  return nb::make_tuple(result.outcome, nb::str(result.message.c_str(), result.message.size()),
                        nb::bytes(result.stream.data(), result.stream.size()), result.left, result.read);
}

}  // namespace

void bind_pickle_scan(nb::module_& m) {
  nb::enum_<pickles::Outcome>(m, "PickleScanOutcome", nb::is_arithmetic(), "What the scan of a pickle stream found.")
      .value("LOADS", pickles::Outcome::kLoad, "the scanned stream loads the file (or ends at a refusal call)")
      .value("REFUSED", pickles::Outcome::kRefused, "a stream no pipeline is written as")
      .value("MALFORMED", pickles::Outcome::kMalformed, "not a pickle stream the unpickler would read");
  nb::enum_<pickles::Tag>(m, "PickleCall", nb::is_arithmetic(),
                          "The tag of a call the scan wrote: persistent_load receives (first, second, tag).")
      .value("REDUCE", pickles::kReduce, "(callable, arguments)")
      .value("BUILD", pickles::kBuild, "(object, state): returns the object")
      .value("NEW_OBJECT", pickles::kNewObject, "(class, arguments)")
      .value("FILLED_INSIDE", pickles::kFilledInside, "(container, None): filled after it was put inside another")
      .value("NOT_A_LIST", pickles::kNotAList, "(target, None): items appended to what is not a list")
      .value("NOT_A_DICT", pickles::kNotADict, "(target, None): items set on what is not a dictionary")
      .value("KEY_NOT_TEXT", pickles::kKeyNotText, "(key, None): a dictionary key that is not a text");
  m.attr("PICKLE_OVER_ALLOWANCE") = pickles::kOverAllowance;
  m.def("scan_pickle", &scan_pickle, "data"_a, "built_per_byte"_a, "built_floor"_a, "max_nesting"_a, "max_digits"_a,
        "(outcome, message, stream, left, read) of a saved pipeline's pickle stream: a PickleScanOutcome, the "
        "refusal's `message`, the `stream` to load, what is `left` of the allowance of the `read` bytes once the "
        "scanned opcodes are charged (the allowance is `built_floor` plus `built_per_byte` a byte read).");
}
