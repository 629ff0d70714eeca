// Bar resampling of a universe table (the construction of the bar matrix).
#include <string>
#include <vector>

#include "argument_checks.hpp"
#include "binding_prelude.hpp"
#include "korvane/bar_resampler.hpp"

namespace {

using korvane::bind::refuse;
using korvane::bind::require_at_least;
using korvane::bind::require_columns;
using korvane::bind::require_length;

using RuleVector = nb::ndarray<const uint8_t, nb::ndim<1>, nb::c_contig, nb::device::cpu>;

int64_t resample_bars(AnyMatrix values, CInt64Vector times, int64_t origin, int64_t width,
                      RuleVector sum_columns, OutMatrix out) {
  const int64_t rows = static_cast<int64_t>(values.shape(0));
  const int64_t cols = static_cast<int64_t>(values.shape(1));
  require_length("times", times.shape(0), values.shape(0), "row of values");
  require_length("sum_columns", sum_columns.shape(0), values.shape(1), "column of values");
  require_columns("out", out.shape(1), values.shape(1), "column of values");
  require_at_least("width", width, 1);
  const int64_t n_bars = static_cast<int64_t>(out.shape(0));

  korvane::StridedMatrix in{values.data(), rows, cols, static_cast<int64_t>(values.stride(0)),
                            static_cast<int64_t>(values.stride(1))};
  std::vector<korvane::BinRule> rules(static_cast<size_t>(cols));
  for (int64_t j = 0; j < cols; ++j)
    rules[static_cast<size_t>(j)] = sum_columns.data()[j] ? korvane::BinRule::Sum : korvane::BinRule::Last;

  nb::gil_scoped_release release;
  std::vector<int64_t> bar_of_row(static_cast<size_t>(rows));
  const int64_t spanned = korvane::assign_bars(times.data(), rows, origin, width, bar_of_row.data());
  if (spanned != n_bars)
    refuse("out", "has " + std::to_string(n_bars) + " rows, but the times span " + std::to_string(spanned) + " bars");
  korvane::aggregate_bars(in, bar_of_row.data(), rules.data(), n_bars, out.data());
  return korvane::forward_fill(out.data(), n_bars, cols);
}

}  // namespace

void bind_resample(nb::module_& m) {
  m.def("resample_bars", &resample_bars, "values"_a, "times"_a, "origin"_a, "width"_a, "sum_columns"_a,
        "out"_a.noconvert(),
        "Bins rows (int64 ns times, non-decreasing) into bars of `width` ns counted from `origin`, "
        "writing last values (or sums where `sum_columns` is set) into `out` (bars x columns), "
        "forward-fills it and returns the first bar at which every column has a value.");
}
