// Johansen test for two series, linear trend, no lagged differences.
//
// The steps follow the textbook reduced-rank regression as statsmodels runs
// it: both series are detrended on (t, 1) over t in linspace(-1, 1, n); the
// differenced levels (r0) and the levels from the second row on (rk) are
// demeaned; the moment matrices S00, Sk0, Skk give the generalised symmetric
// eigenproblem  Sk0 S00^-1 S0k v = lambda Skk v,  whose eigenvalues are the
// squared canonical correlations. For two series that is a quadratic, so the
// whole test is a handful of passes over n daily rows.
#include "korvane/johansen.hpp"

#include <cmath>
#include <vector>

namespace korvane::johansen {

namespace {

inline bool finite(double v) { return std::isfinite(v); }

Result failed() { return Result{}; }

}  // namespace

Result test(const double* y1, const double* y2, std::int64_t n, std::int64_t stride,
            const CriticalValues& crit) {
  if (n < kMinimumRows) return failed();

  // Detrending regressor: numpy's linspace(-1, 1, n).
  const double step = 2.0 / static_cast<double>(n - 1);
  auto trend_at = [&](std::int64_t j) {
    return j == n - 1 ? 1.0 : static_cast<double>(j) * step + -1.0;
  };

  double sum_x = 0.0, sum_1 = 0.0, sum_2 = 0.0;
  for (std::int64_t j = 0; j < n; ++j) {
    const double a = y1[j * stride], b = y2[j * stride];
    if (!finite(a) || !finite(b)) return failed();
    sum_x += trend_at(j);
    sum_1 += a;
    sum_2 += b;
  }
  const double nn = static_cast<double>(n);
  const double mean_x = sum_x / nn, mean_1 = sum_1 / nn, mean_2 = sum_2 / nn;
  double sxx = 0.0, sx1 = 0.0, sx2 = 0.0;
  for (std::int64_t j = 0; j < n; ++j) {
    const double dx = trend_at(j) - mean_x;
    sxx += dx * dx;
    sx1 += dx * (y1[j * stride] - mean_1);
    sx2 += dx * (y2[j * stride] - mean_2);
  }
  const double slope_1 = sx1 / sxx, slope_2 = sx2 / sxx;
  const double icpt_1 = mean_1 - slope_1 * mean_x, icpt_2 = mean_2 - slope_2 * mean_x;

  // Detrended levels e (n rows) kept on the stack for the usual window sizes.
  thread_local std::vector<double> buffer;
  buffer.resize(static_cast<std::size_t>(2 * n));
  double* e1 = buffer.data();
  double* e2 = e1 + n;
  for (std::int64_t j = 0; j < n; ++j) {
    const double x = trend_at(j);
    e1[j] = y1[j * stride] - (slope_1 * x + icpt_1);
    e2[j] = y2[j * stride] - (slope_2 * x + icpt_2);
  }

  // Means of the differences and of the levels from row 1 on.
  const std::int64_t m = n - 1;
  const double mm = static_cast<double>(m);
  double sd1 = 0.0, sd2 = 0.0, sl1 = 0.0, sl2 = 0.0;
  for (std::int64_t j = 1; j < n; ++j) {
    sd1 += e1[j] - e1[j - 1];
    sd2 += e2[j] - e2[j - 1];
    sl1 += e1[j];
    sl2 += e2[j];
  }
  const double md1 = sd1 / mm, md2 = sd2 / mm, ml1 = sl1 / mm, ml2 = sl2 / mm;

  double k11 = 0, k12 = 0, k22 = 0;            // Skk
  double c11 = 0, c12 = 0, c21 = 0, c22 = 0;   // Sk0 (row: level, column: difference)
  double o11 = 0, o12 = 0, o22 = 0;            // S00
  for (std::int64_t j = 1; j < n; ++j) {
    const double r01 = (e1[j] - e1[j - 1]) - md1, r02 = (e2[j] - e2[j - 1]) - md2;
    const double rk1 = e1[j] - ml1, rk2 = e2[j] - ml2;
    k11 += rk1 * rk1;
    k12 += rk1 * rk2;
    k22 += rk2 * rk2;
    c11 += rk1 * r01;
    c12 += rk1 * r02;
    c21 += rk2 * r01;
    c22 += rk2 * r02;
    o11 += r01 * r01;
    o12 += r01 * r02;
    o22 += r02 * r02;
  }
  k11 /= mm; k12 /= mm; k22 /= mm;
  c11 /= mm; c12 /= mm; c21 /= mm; c22 /= mm;
  o11 /= mm; o12 /= mm; o22 /= mm;

  // Sig = Sk0 S00^-1 Sk0'.
  const double det_o = o11 * o22 - o12 * o12;
  if (!(det_o != 0.0) || !finite(det_o)) return failed();
  const double i11 = o22 / det_o, i12 = -o12 / det_o, i22 = o11 / det_o;
  const double p11 = c11 * i11 + c12 * i12, p12 = c11 * i12 + c12 * i22;
  const double p21 = c21 * i11 + c22 * i12, p22 = c21 * i12 + c22 * i22;
  const double s11 = p11 * c11 + p12 * c12;
  const double s12 = p11 * c21 + p12 * c22;
  const double s22 = p21 * c21 + p22 * c22;

  // det(Sig - l Skk) = a l^2 + b l + c.
  const double a = k11 * k22 - k12 * k12;
  const double b = -(s11 * k22 + s22 * k11 - 2.0 * s12 * k12);
  const double c = s11 * s22 - s12 * s12;
  if (!(a > 0.0) || !finite(a) || !finite(b) || !finite(c)) return failed();
  const double disc = b * b - 4.0 * a * c;
  if (!(disc >= 0.0)) return failed();  // complex pair: the test is undefined
  const double q = -0.5 * (b + std::copysign(std::sqrt(disc), b));
  double l0, l1;
  if (q == 0.0) {
    l0 = l1 = 0.0;
  } else {
    l0 = q / a;
    l1 = c / q;
    if (l1 > l0) std::swap(l0, l1);
  }

  // First eigenvector: null vector of Sig - l0 Skk, scaled to v' Skk v = 1,
  // signed so that its first entry is positive.
  const double a11 = s11 - l0 * k11, a12 = s12 - l0 * k12, a22 = s22 - l0 * k22;
  double v1, v2;
  if (std::fabs(a11) + std::fabs(a12) >= std::fabs(a12) + std::fabs(a22)) {
    v1 = -a12;
    v2 = a11;
  } else {
    v1 = a22;
    v2 = -a12;
  }
  if (v1 == 0.0 && v2 == 0.0) v1 = 1.0;
  const double quad = v1 * (k11 * v1 + k12 * v2) + v2 * (k12 * v1 + k22 * v2);
  if (!(quad > 0.0) || !finite(quad)) return failed();
  const double norm = std::sqrt(quad);
  v1 /= norm;
  v2 /= norm;
  if (v1 < 0.0) {
    v1 = -v1;
    v2 = -v2;
  }

  Result r;
  r.eigenvalue[0] = l0;
  r.eigenvalue[1] = l1;
  r.evec0[0] = v1;
  r.evec0[1] = v2;
  const double t = static_cast<double>(m);
  const double log0 = std::log(1.0 - l0), log1 = std::log(1.0 - l1);
  r.max_eigen_statistic = -t * log0;
  r.trace_statistic = -t * (log0 + log1);
  if (!finite(l0) || !finite(l1) || !finite(v1) || !finite(v2) || !finite(r.max_eigen_statistic) ||
      !finite(r.trace_statistic))
    return failed();
  r.ok = true;
  r.is_cointegrated =
      r.max_eigen_statistic >= crit.max_eigen_90 && r.trace_statistic >= crit.trace_90;
  return r;
}

HedgeRatios hedge_ratios_from_daily_closes(const double* log_close_1, const double* log_close_2,
                                           std::int64_t window, std::int64_t bars_per_day,
                                           const CriticalValues& crit) {
  if (bars_per_day < 1 || window < 1) return {};
  const std::int64_t rows = (window - 1) / bars_per_day;
  const Result r =
      test(log_close_1 + bars_per_day, log_close_2 + bars_per_day, rows, bars_per_day, crit);
  if (!r.ok) return {};
  return {r.evec0[0], r.evec0[1], r.is_cointegrated};
}

}  // namespace korvane::johansen
