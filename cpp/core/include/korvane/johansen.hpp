#pragma once
// Two-series Johansen cointegration test with a linear deterministic trend and
// no lagged differences, as the pairs engine runs it on daily log closes.
#include <cstddef>
#include <cstdint>

namespace korvane::johansen {

// The 90% critical values of the hypothesis "no cointegrating relation" for
// two series with a linear trend. They come from the caller (read once from
// statsmodels' tables), never from constants in this library.
struct CriticalValues {
  double max_eigen_90 = 0.0;
  double trace_90 = 0.0;
};

// Full outcome of one test. `ok` is false when the test could not be run
// (too few rows, non-finite input, a singular moment matrix, a non-finite
// statistic or eigenvalue); the hedge ratios and verdict are then 0, 0, false.
struct Result {
  bool ok = false;
  double eigenvalue[2] = {0.0, 0.0};        // decreasing
  double evec0[2] = {0.0, 0.0};             // first eigenvector, first entry >= 0
  double max_eigen_statistic = 0.0;         // for the hypothesis of no relation
  double trace_statistic = 0.0;
  bool is_cointegrated = false;
};

// Fewer daily rows than this give statistics that are infinite or noise.
constexpr std::int64_t kMinimumRows = 6;

// The moment matrices of the reduced-rank regression over n rows: the level
// residuals' covariance k (rows 1 .. n-1), their cross covariance with the
// differences c (c12 pairs the first level with the second difference, c21
// the second level with the first difference) and the differences'
// covariance o, all population moments.
struct Moments {
  double k11 = 0.0, k12 = 0.0, k22 = 0.0;
  double c11 = 0.0, c12 = 0.0, c21 = 0.0, c22 = 0.0;
  double o11 = 0.0, o12 = 0.0, o22 = 0.0;
};

// exp(-critical value / (n - 1)) for both statistics: a test over n rows
// passes where 1 - l0 and (1 - l0)(1 - l1) are at most these.
//
// A test far enough from them is rejected before its eigenvalues are
// solved for: where both eigenvalues lie below `root_floor`, just under the
// smallest l0 that passes, or where (1 - l0)(1 - l1) exceeds
// `product_ceiling`, just over its bound. The margins (1e-7) dwarf the
// rounding of either way of reaching the verdict, so both give the same one.
struct VerdictBounds {
  double bound[2] = {0.0, 0.0};
  double root_floor = 0.0;
  double product_ceiling = 0.0;
};
VerdictBounds verdict_bounds(std::int64_t n, const CriticalValues& crit);

// The test from its moment matrices over n rows. Given `verdict` bounds the
// verdict is reached without the statistics themselves (left 0).
//
// With `vector_if_rejected` false (and verdict bounds given), a test that
// rejects cointegration stops before the eigenvector: it returns ok with
// ratios 0, 0, as a failed test leaves them. A clear rejection stops before
// the eigenvalues too (left 0), and is reported so even for a test whose
// eigenvalues would then have failed it.
Result from_moments(const Moments& mo, std::int64_t n, const CriticalValues& crit,
                    const VerdictBounds* verdict = nullptr, bool vector_if_rejected = true);

// Runs the test on n rows of two series y1[i*stride], y2[i*stride].
Result test(const double* y1, const double* y2, std::int64_t n, std::int64_t stride,
            const CriticalValues& crit);

// Hedge ratios and verdict from two log-close windows of W bars: both series
// are sampled once per trading day at window indices k, 2k, ... below W (the
// first bar of the window is never used), then tested. Returns the first
// eigenvector unnormalised (h1, h2) and the verdict; (0, 0, false) on failure.
struct HedgeRatios {
  double h1 = 0.0;
  double h2 = 0.0;
  bool is_cointegrated = false;
};
HedgeRatios hedge_ratios_from_daily_closes(const double* log_close_1, const double* log_close_2,
                                           std::int64_t window, std::int64_t bars_per_day,
                                           const CriticalValues& crit);

}  // namespace korvane::johansen
