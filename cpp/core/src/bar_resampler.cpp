#include "korvane/bar_resampler.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

namespace korvane {

int64_t floor_div(int64_t a, int64_t b) {
  int64_t q = a / b;
  if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
  return q;
}

namespace {

// Bar number of `time` counted from `origin`. A time more than 2**63 ns away
// from the origin has none.
int64_t bar_number(int64_t time, int64_t origin, int64_t width) {
  int64_t elapsed;
  if (__builtin_sub_overflow(time, origin, &elapsed))
    throw std::invalid_argument("bar time " + std::to_string(time) + " lies more than 2**63 ns from the origin " +
                                std::to_string(origin));
  return floor_div(elapsed, width);
}

}  // namespace

int64_t assign_bars(const int64_t* times, int64_t n, int64_t origin, int64_t width, int64_t* bar_of_row) {
  if (width <= 0) throw std::invalid_argument("bar width must be positive");
  if (n == 0) return 0;
  const int64_t first = bar_number(times[0], origin, width);
  int64_t last = 0;
  for (int64_t i = 0; i < n; ++i) {
    int64_t bar;
    if (__builtin_sub_overflow(bar_number(times[i], origin, width), first, &bar))
      throw std::invalid_argument("bar times span more bars than a 64-bit count holds");
    if (bar < last) throw std::invalid_argument("bar times must be non-decreasing");
    bar_of_row[i] = bar;
    last = bar;
  }
  int64_t spanned;
  if (__builtin_add_overflow(last, int64_t{1}, &spanned))
    throw std::invalid_argument("bar times span more bars than a 64-bit count holds");
  return spanned;
}

void aggregate_bars(const StridedMatrix& in, const int64_t* bar_of_row, const BinRule* rules, int64_t n_bars,
                    double* out) {
  const int64_t cols = in.cols;
  const double nan = std::numeric_limits<double>::quiet_NaN();
  // First row of every bar (rows arrive in bar order), plus one past the end.
  std::vector<int64_t> first_row(static_cast<size_t>(n_bars) + 1, 0);
  for (int64_t i = 0; i < in.rows; ++i) ++first_row[static_cast<size_t>(bar_of_row[i]) + 1];
  for (int64_t b = 0; b < n_bars; ++b) first_row[b + 1] += first_row[b];

  // Columns are taken in tiles, so that each bar's output cache line is
  // written once per tile while every input column is read front to back. A
  // row-major table is read one whole row block per bar.
  const int64_t tile = in.col_stride == 1 ? std::max<int64_t>(cols, 1) : 8;
  for (int64_t j0 = 0; j0 < cols; j0 += tile) {
    const int64_t j1 = std::min(cols, j0 + tile);
    for (int64_t b = 0; b < n_bars; ++b) {
      const int64_t r0 = first_row[b];
      const int64_t r1 = first_row[b + 1];
      double* o = out + b * cols;
      for (int64_t j = j0; j < j1; ++j) {
        const double* column = in.data + j * in.col_stride;
        if (rules[j] == BinRule::Last) {
          // The last observed value: scan back from the bar's last row.
          double last = nan;
          for (int64_t r = r1 - 1; r >= r0; --r) {
            const double x = column[r * in.row_stride];
            if (!std::isnan(x)) {
              last = x;
              break;
            }
          }
          o[j] = last;
        } else {
          double sum = 0.0;
          double compensation = 0.0;
          for (int64_t r = r0; r < r1; ++r) {
            const double x = column[r * in.row_stride];
            if (std::isnan(x)) continue;
            const double y = x - compensation;
            const double t = sum + y;
            compensation = t - sum - y;
            // An infinite term makes the compensation NaN; pandas resets it
            // so that the sum stays infinite instead of turning NaN.
            if (std::isnan(compensation)) compensation = 0.0;
            sum = t;
          }
          o[j] = sum;
        }
      }
    }
  }
}

int64_t forward_fill(double* out, int64_t n_bars, int64_t cols) {
  // Bars are walked in row order (the buffer's memory order); each column
  // keeps its last value and the first bar at which it had one.
  std::vector<double> carried(static_cast<size_t>(cols), std::numeric_limits<double>::quiet_NaN());
  std::vector<int64_t> first_value(static_cast<size_t>(cols), n_bars);
  for (int64_t b = 0; b < n_bars; ++b) {
    double* o = out + b * cols;
    for (int64_t j = 0; j < cols; ++j) {
      if (std::isnan(o[j])) {
        o[j] = carried[j];
      } else {
        carried[j] = o[j];
        if (first_value[j] == n_bars) first_value[j] = b;
      }
    }
  }
  int64_t complete_from = 0;
  for (int64_t j = 0; j < cols; ++j) complete_from = std::max(complete_from, first_value[j]);
  return complete_from;
}

}  // namespace korvane
