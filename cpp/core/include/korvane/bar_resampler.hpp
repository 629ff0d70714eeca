#pragma once
// Binning of a universe table into fixed-width time bars.
//
// Each bar is a half-open span [origin + k*width, origin + (k+1)*width) of
// nanoseconds. Price-like columns keep the last observed (non-NaN) value of
// the bar, volume-like columns the sum of the observed values (a bar without
// observations sums to 0). Sums are compensated (Kahan), as pandas' grouped
// sum is for columns with missing values, so they agree with pandas to
// rounding whichever summation pandas picks.
#include <cstdint>

namespace korvane {

// A read-only rows x cols view of float64 values with arbitrary element
// strides, so that both row-major and column-major tables are read in place.
struct StridedMatrix {
  const double* data;
  int64_t rows;
  int64_t cols;
  int64_t row_stride;  // in elements
  int64_t col_stride;  // in elements
};

enum class BinRule : uint8_t { Last = 0, Sum = 1 };

// Floor division that rounds toward negative infinity.
int64_t floor_div(int64_t a, int64_t b);

// The bar number of every row: floor((times[i] - origin) / width) - first_bar,
// where first_bar is the bar of times[0]. Returns the number of bars spanned
// from the first to the last row (the last row's bar number + 1). Throws
// std::invalid_argument when width <= 0, when a row falls before the first
// row's bar (times must be non-decreasing), or when a time or the span does
// not fit the 64-bit arithmetic.
int64_t assign_bars(const int64_t* times, int64_t n, int64_t origin, int64_t width, int64_t* bar_of_row);

// Aggregates `in` into `out`, a bars x cols row-major buffer, following
// `rules` (one per column). Rows are visited in order, so "last" means the
// last row of the bar in row order.
void aggregate_bars(const StridedMatrix& in, const int64_t* bar_of_row, const BinRule* rules, int64_t n_bars,
                    double* out);

// Carries each column's last value forward over NaN entries of `out`
// (bars x cols, row-major) and returns the first bar from which every column
// has a value (n_bars when some column never has one).
int64_t forward_fill(double* out, int64_t n_bars, int64_t cols);

}  // namespace korvane
