#pragma once
// Running sums of two log-close series over a window of rows that slides
// along a run, from which the Johansen test, the half-life regression and the
// z-score of any linear combination of the two series are derived in constant
// time per bar.
//
// Rows are the samples a[lo + j * stride], j = 0 .. n-1, of series indexed by
// bar. Every value is taken relative to the series' value on the row the sums
// were last computed afresh from, so the sums carry the variation over the
// window, not the price level. Each sum is compensated, and the sums are
// computed afresh after a fixed number of edits, after a gap, or once a
// non-finite value has entered them: the rounding drift stays bounded on
// runs of any length.
#include <cmath>
#include <cstdint>

#include "korvane/compensated_sum.hpp"
#include "korvane/johansen.hpp"

namespace korvane::moments {

// Edits (rows added or removed) before the sums are computed afresh: a fixed
// number, or the window's length when longer, so that summing afresh costs
// at most one row per edit.
constexpr int kRefreshEdits = 256;
inline bool refresh_due(int edits, std::int64_t delta, std::int64_t rows, int times = 1) {
  return edits + delta > times * (rows > kRefreshEdits ? rows : kRefreshEdits);
}
// A pair's cross sums are summed afresh by the pair alone, so they wait four
// times as long: a quarter of a row per edit. Their compensation keeps them
// at the accuracy of a fresh sum over many more edits than that.
constexpr int kCrossRefreshTimes = 4;

// The sums of a window as plain numbers, with its first and last rows.
struct Sums {
  std::int64_t n = 0;
  double s[2], t[2], p[3], c[4], d[3];
  double td[2];  // sum over j >= 1 of j du_p(j)
  double first[2], last[2];
};

// Levels, lagged levels and one-row differences of two series over a window.
// Index p, q over the two series; pairs are ordered aa, ab, bb (and ab, ba for
// the asymmetric level-by-difference sums).
struct PairMoments {
  bool valid = false;
  std::int64_t lo = 0, n = 0, stride = 1;
  int edits = 0;
  double base[2] = {0.0, 0.0};
  CompensatedSum s[2];   // sum of u_p(j), j = 0 .. n-1
  CompensatedSum t[2];   // sum of j u_p(j)
  CompensatedSum p[3];   // sum over j >= 1 of u_p(j) u_q(j)
  CompensatedSum c[4];   // sum over j >= 1 of u_p(j) du_q(j): aa, ab, ba, bb
  CompensatedSum d[3];   // sum over j >= 1 of du_p(j) du_q(j)
  // The sum over j >= 1 of j du_p(j) is n u_p(n-1) - s_p (by parts).

  double u(const double* const* series, int which, std::int64_t j) const {
    return series[which][lo + j * stride] - base[which];
  }

  // Sums over rows lo, lo + stride, ... (n rows) computed afresh.
  void assign(const double* const* series, std::int64_t first, std::int64_t rows, std::int64_t step);
  // Slides the window `rows` rows later: a row enters at the end, one leaves
  // at the start, for each.
  void slide(const double* const* series, std::int64_t rows);
  // Moves the window to start at `first` with `rows` rows on a grid of
  // `step`: slides when that is cheaper than summing afresh.
  void move_to(const double* const* series, std::int64_t first, std::int64_t rows, std::int64_t step);

  // A non-finite value in the window makes the level sums non-finite, and
  // they stay so (inf - inf is NaN) until summed afresh.
  bool finite() const { return std::isfinite(s[0].sum + s[1].sum + s[0].carry + s[1].carry); }
  Sums sums(const double* const* series) const;
};

// The sums of one series' window as plain numbers, about its base.
struct SeriesSums {
  double base = 0.0;
  double s = 0.0, t = 0.0, p = 0.0, c = 0.0, d = 0.0;
  bool finite = false;
};

// One series' sums over bars [lo, lo + n) (stride 1): the single-series
// part of PairMoments, shared by every pair the security belongs to.
//
// The sums follow one path along a run whatever bars ask for them: summed
// afresh whenever the window starts on a multiple of the refresh interval,
// slid one bar at a time in between, and summed afresh once a non-finite
// value has left the window. A run that takes its pairs in blocks, each
// block asking from the first bar again, reads the same sums at every bar as
// a run that takes all pairs at each bar.
struct SeriesMoments {
  bool valid = false;
  bool stale = false;  // the window holds a non-finite value: the sums are not kept
  std::int64_t lo = 0, n = 0;
  std::int64_t last_nonfinite = -1;  // latest bar seen with a non-finite value
  double base = 0.0;
  CompensatedSum s, t, p, c, d;  // as PairMoments' aa sums

  void assign(const double* series, std::int64_t first, std::int64_t rows);
  // Every pair of the security asks for the same window in one bar: only the
  // first request moves the sums.
  void move_to(const double* series, std::int64_t first, std::int64_t rows) {
    if (!(valid && first == lo && rows == n)) relocate(series, first, rows);
  }
  void relocate(const double* series, std::int64_t first, std::int64_t rows);
  bool finite() const { return !stale && std::isfinite(s.sum + s.carry); }
  SeriesSums sums() const {
    return {base, s.value(), t.value(), p.value(), c.value(), d.value(), finite()};
  }
};

// The sums of a pair that mix its two series (ab of PairMoments) over bars
// [lo, lo + n), about the pair's own bases.
struct CrossMoments {
  bool valid = false;
  std::int64_t lo = 0, n = 0;
  int edits = 0;
  double base[2] = {0.0, 0.0};
  // Compensated sums over j >= 1 of u_a u_b, u_a du_b, u_b du_a and du_a du_b,
  // each kept as sum[i] + carry[i]: two at a time, they slide as 2-lane
  // vectors through the same operations as a CompensatedSum's.
  enum { kLevels = 0, kLevelByDifference = 1, kDifferenceByLevel = 2, kDifferences = 3 };
  alignas(16) double sum[4] = {0.0, 0.0, 0.0, 0.0};
  alignas(16) double carry[4] = {0.0, 0.0, 0.0, 0.0};
  double value(int i) const { return sum[i] + carry[i]; }

  void assign(const double* const* series, std::int64_t first, std::int64_t rows);
  // The half-life asks again for the window the test has just moved to.
  void move_to(const double* const* series, std::int64_t first, std::int64_t rows) {
    if (!(valid && first == lo && rows == n && finite())) relocate(series, first, rows);
  }
  void relocate(const double* const* series, std::int64_t first, std::int64_t rows);
  bool finite() const { return std::isfinite(sum[kLevels] + carry[kLevels]); }
};

// A pair's sums over a window from its two series' shared sums and its own
// cross sums, all three over the same bars; levels about the pair's bases.
Sums pair_sums(const SeriesSums& a, const SeriesSums& b, const CrossMoments& ab,
               const double* const* series);

// A security's share of the Johansen test on daily bars over a window of n
// bars from bar lo: the test's rows are the window's bars after the first,
// and its own level and difference moments, detrended and centred, are the
// same in every pair the security belongs to. Levels about the sums' base.
struct SeriesTestStats {
  bool finite = false;
  double base = 0.0;
  double mean = 0.0;   // mean level over the test's rows after its first
  double md = 0.0;     // mean one-row difference
  double g = 0.0;      // trend slope per row over all the test's rows
  double uj = 0.0, dj = 0.0;        // covariances of level and difference with the row
  double k = 0.0, c = 0.0, o = 0.0; // own moments: k11, c11, o11 of its pairs' tests
  double inverse_rows = 0.0, var_j = 0.0;  // shared by every security
};
SeriesTestStats series_test_stats(const SeriesSums& m, const double* series, std::int64_t lo,
                                  std::int64_t n);

// A pair's test moments from its two securities' shares and its own cross
// sums over the same window (cross sums moved there). Inline: it runs for
// every test of a flat pair.
inline johansen::Moments johansen_moments(const SeriesTestStats& a, const SeriesTestStats& b,
                                   const CrossMoments& ab, const double* const* series) {
  // Levels of the cross sums are about the pair's bases: the securities'
  // means move there; covariances do not depend on the base.
  const double* ya = series[0];
  const double* yb = series[1];
  const std::int64_t lo = ab.lo;
  const double mean_a = a.mean + (a.base - ab.base[0]), mean_b = b.mean + (b.base - ab.base[1]);
  // The cross sums run over window rows j >= 1; the test's moments over rows
  // j >= 2, so row 1 leaves them.
  const double second_a = ya[lo + 1] - ab.base[0], second_b = yb[lo + 1] - ab.base[1];
  const double step_a = ya[lo + 1] - ya[lo], step_b = yb[lo + 1] - yb[lo];
  const double levels = ab.value(CrossMoments::kLevels) - second_a * second_b;
  const double level_by_step = ab.value(CrossMoments::kLevelByDifference) - second_a * step_b;
  const double step_by_level = ab.value(CrossMoments::kDifferenceByLevel) - second_b * step_a;
  const double steps = ab.value(CrossMoments::kDifferences) - step_a * step_b;
  const double inverse_mm = a.inverse_rows;
  johansen::Moments r;
  r.k11 = a.k;
  r.k22 = b.k;
  r.k12 = ((levels * inverse_mm - mean_a * mean_b) - b.g * a.uj - a.g * b.uj) + a.g * b.g * a.var_j;
  r.c11 = a.c;
  r.c22 = b.c;
  r.c12 = (level_by_step * inverse_mm - mean_a * b.md) - a.g * b.dj;
  r.c21 = (step_by_level * inverse_mm - mean_b * a.md) - b.g * a.dj;
  r.o11 = a.o;
  r.o22 = b.o;
  r.o12 = steps * inverse_mm - a.md * b.md;
  return r;
}

// Sums of levels alone (no differences) over bars [lo, lo + n): the mean and
// deviation of a linear combination of the two series over a window whose
// two ends move independently.
struct LevelMoments {
  bool valid = false;
  std::int64_t lo = 0, n = 0;
  int edits = 0;
  double base[2] = {0.0, 0.0};
  // Compensated sums of u_a, u_b (levels) and u_a u_a, u_a u_b, u_b u_b
  // (products), each kept as sum[i] + carry[i]; they move two at a time as
  // 2-lane vectors through the operations of a CompensatedSum (the last
  // lane is unused).
  enum { kA = 0, kB = 1, kAA = 2, kAB = 3, kBB = 4 };
  alignas(16) double sum[6] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
  alignas(16) double carry[6] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
  double value(int i) const { return sum[i] + carry[i]; }

  void assign(const double* const* series, std::int64_t first, std::int64_t rows);
  void move_to(const double* const* series, std::int64_t first, std::int64_t rows);
};

// The Johansen test's moment matrices (two series, linear trend, no lagged
// differences) from the sums over its n daily rows.
johansen::Moments johansen_moments(const Sums& m);

// Least-squares slope of the one-bar change of h1 a + h2 b on its lagged
// value, over the window of the sums (stride 1). NaN when a sum is not finite.
double halflife_slope(const Sums& m, double h1, double h2);

// Mean and population deviation of h1 a + h2 b over the window of the sums,
// the mean relative to h1 base_a + h2 base_b.
struct CombinationStats {
  double shifted_mean = 0.0;
  double std = 0.0;
};
CombinationStats combination_stats(const LevelMoments& m, double h1, double h2);

}  // namespace korvane::moments
