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

namespace {

// The centred detrending regressor linspace(-1, 1, n) - mean, and its sum of
// squares, kept per thread for the last n seen (n is fixed within a run).
struct Trend {
  std::int64_t n = -1;
  std::vector<double> centred;
  double sum_of_squares = 0.0;
};

const Trend& trend_for(std::int64_t n) {
  thread_local Trend trend;
  if (trend.n != n) {
    trend.n = n;
    trend.centred.resize(static_cast<std::size_t>(n));
    const double step = 2.0 / static_cast<double>(n - 1);
    double sum = 0.0;
    for (std::int64_t j = 0; j < n; ++j) {
      const double x = j == n - 1 ? 1.0 : static_cast<double>(j) * step + -1.0;
      trend.centred[static_cast<std::size_t>(j)] = x;
      sum += x;
    }
    const double mean = sum / static_cast<double>(n);
    double squares = 0.0;
    for (auto& x : trend.centred) {
      x -= mean;
      squares += x * x;
    }
    trend.sum_of_squares = squares;
  }
  return trend;
}

}  // namespace

Result test(const double* y1, const double* y2, std::int64_t n, std::int64_t stride,
            const CriticalValues& crit) {
  if (n < kMinimumRows) return failed();
  const Trend& trend = trend_for(n);
  const double* xc = trend.centred.data();

  // Pass 1: means and trend slopes of both series, shifted by their first
  // value so that the sums carry the variation, not the price level. A
  // non-finite value makes the sums non-finite.
  const double base_1 = y1[0], base_2 = y2[0];
  double sum_1 = 0.0, sum_2 = 0.0, sx1 = 0.0, sx2 = 0.0;
  for (std::int64_t j = 0; j < n; ++j) {
    const double u1 = y1[j * stride] - base_1, u2 = y2[j * stride] - base_2;
    sum_1 += u1;
    sum_2 += u2;
    sx1 += xc[j] * u1;
    sx2 += xc[j] * u2;
  }
  if (!finite(sum_1) || !finite(sum_2) || !finite(sx1) || !finite(sx2)) return failed();
  const double nn = static_cast<double>(n);
  const double mean_1 = sum_1 / nn, mean_2 = sum_2 / nn;
  const double slope_1 = sx1 / trend.sum_of_squares, slope_2 = sx2 / trend.sum_of_squares;

  // Pass 2: the detrended levels e (residuals, summing to zero) and their
  // differences, as raw cross sums over rows 1 .. n-1; the means of those
  // rows follow from the first and last residuals.
  auto residual_1 = [&](std::int64_t j) { return (y1[j * stride] - (base_1 + mean_1)) - slope_1 * xc[j]; };
  auto residual_2 = [&](std::int64_t j) { return (y2[j * stride] - (base_2 + mean_2)) - slope_2 * xc[j]; };
  const double first_1 = residual_1(0), first_2 = residual_2(0);
  // Over rows 1 .. n-1: level products L and products with the other's
  // lagged level X. The moments of the differences follow from them:
  //   sum e_a (e_b - e_b')          = L_ab - X_ab
  //   sum (e_a - e_a')(e_b - e_b')  = L_ab - X_ab - X_ba + Q_ab,
  // Q_ab being the level products of rows 0 .. n-2.
  // Both series travel side by side in one two-lane vector (each lane
  // rounds exactly as the scalar code would).
  typedef double Lanes __attribute__((vector_size(16)));
  const Lanes level = {base_1 + mean_1, base_2 + mean_2};
  const Lanes slope = {slope_1, slope_2};
  Lanes prev = {first_1, first_2};
  Lanes squares = {0.0, 0.0};  // (l11, l22)
  Lanes cross = {0.0, 0.0};    // (l12, l12)
  Lanes lag = {0.0, 0.0};      // (x11, x22)
  Lanes lag_cross = {0.0, 0.0};// (x12, x21)
  for (std::int64_t j = 1; j < n; ++j) {
    const Lanes y = {y1[j * stride], y2[j * stride]};
    const Lanes x = {xc[j], xc[j]};
    const Lanes e = (y - level) - slope * x;
    squares += e * e;
    const Lanes e_swapped = {e[1], e[0]}, prev_swapped = {prev[1], prev[0]};
    cross += e * e_swapped;
    lag += e * prev;
    lag_cross += e * prev_swapped;
    prev = e;
  }
  const double l11 = squares[0], l22 = squares[1], l12 = cross[0];
  const double x11 = lag[0], x22 = lag[1], x12 = lag_cross[0], x21 = lag_cross[1];
  const double prev_1 = prev[0], prev_2 = prev[1];
  const double last_1 = prev_1, last_2 = prev_2;
  const double q11 = l11 - last_1 * last_1 + first_1 * first_1;
  const double q12 = l12 - last_1 * last_2 + first_1 * first_2;
  const double q22 = l22 - last_2 * last_2 + first_2 * first_2;
  const std::int64_t m = n - 1;
  const double mm = static_cast<double>(m);
  const double ml1 = -first_1 / mm, ml2 = -first_2 / mm;                      // mean of e[1:]
  const double md1 = (last_1 - first_1) / mm, md2 = (last_2 - first_2) / mm;  // mean of differences
  Moments mo;
  mo.k11 = l11 / mm - ml1 * ml1;
  mo.k12 = l12 / mm - ml1 * ml2;
  mo.k22 = l22 / mm - ml2 * ml2;
  mo.c11 = (l11 - x11) / mm - ml1 * md1;
  mo.c12 = (l12 - x12) / mm - ml1 * md2;
  mo.c21 = (l12 - x21) / mm - ml2 * md1;
  mo.c22 = (l22 - x22) / mm - ml2 * md2;
  mo.o11 = (((l11 - x11) - x11) + q11) / mm - md1 * md1;
  mo.o12 = (((l12 - x12) - x21) + q12) / mm - md1 * md2;
  mo.o22 = (((l22 - x22) - x22) + q22) / mm - md2 * md2;

  return from_moments(mo, n, crit);
}

VerdictBounds verdict_bounds(std::int64_t n, const CriticalValues& crit) {
  const double t = static_cast<double>(n - 1);
  VerdictBounds v;
  v.bound[0] = std::exp(-crit.max_eigen_90 / t);
  v.bound[1] = std::exp(-crit.trace_90 / t);
  constexpr double margin = 1e-7;
  v.root_floor = (1.0 - v.bound[0]) - margin;
  v.product_ceiling = v.bound[1] + margin;
  return v;
}

Result from_moments(const Moments& mo, std::int64_t n, const CriticalValues& crit,
                    const VerdictBounds* verdict, bool vector_if_rejected) {
  const double* bound = verdict != nullptr ? verdict->bound : nullptr;
  const double k11 = mo.k11, k12 = mo.k12, k22 = mo.k22;
  const double c11 = mo.c11, c12 = mo.c12, c21 = mo.c21, c22 = mo.c22;
  const double o11 = mo.o11, o12 = mo.o12, o22 = mo.o22;
  const std::int64_t m = n - 1;
  // Sig = Sk0 S00^-1 Sk0'.
  const double det_o = o11 * o22 - o12 * o12;
  if (!(det_o != 0.0) || !finite(det_o)) return failed();
  const double inverse_det = 1.0 / det_o;
  const double i11 = o22 * inverse_det, i12 = -o12 * inverse_det, i22 = o11 * inverse_det;
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
  if (bound != nullptr && !vector_if_rejected) {
    // A clear rejection needs no root. With f(l) = a l^2 + b l + c =
    // a (l - l0)(l - l1), the trace test fails where f(1) / a =
    // (1 - l0)(1 - l1) is over its bound, and the maximum-eigenvalue test
    // where f is positive at the floor with its vertex below it: both roots
    // lie under the floor. Either way f is compared well clear of its
    // rounding.
    const double floor = verdict->root_floor;
    const double at_floor = (a * floor + b) * floor + c;
    const double scale = (a * floor + std::fabs(b)) * floor + std::fabs(c);
    if ((a + b) + c > verdict->product_ceiling * a ||
        (at_floor > 1e-12 * scale && 2.0 * a * floor + b > 1e-12 * a)) {
      Result r;
      r.ok = true;
      return r;
    }
  }
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

  if (bound != nullptr && !vector_if_rejected) {
    // The verdict needs only the eigenvalues (see below).
    const double x0 = 1.0 - l0, x1 = 1.0 - l1;
    if (!finite(l0) || !finite(l1) || !(x0 > 0.0) || !(x1 > 0.0) || !finite(x0) || !finite(x1))
      return failed();
    if (!(x0 <= bound[0] && x0 * x1 <= bound[1])) {
      Result r;
      r.ok = true;
      r.eigenvalue[0] = l0;
      r.eigenvalue[1] = l1;
      return r;
    }
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
  const double inverse_norm = 1.0 / std::sqrt(quad);
  v1 *= inverse_norm;
  v2 *= inverse_norm;
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
  if (bound != nullptr) {
    // -m log(x) >= c holds exactly when x <= exp(-c / m): the verdict
    // without two logarithms per test. The statistics are finite exactly
    // when both 1 - l are positive and finite.
    const double x0 = 1.0 - l0, x1 = 1.0 - l1;
    if (!finite(l0) || !finite(l1) || !finite(v1) || !finite(v2) || !(x0 > 0.0) || !(x1 > 0.0) ||
        !finite(x0) || !finite(x1))
      return failed();
    r.ok = true;
    r.is_cointegrated = x0 <= bound[0] && x0 * x1 <= bound[1];
    return r;
  }
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
  // Too few days: the first day's close may lie past the window's end.
  if (rows < kMinimumRows) return {};
  const Result r =
      test(log_close_1 + bars_per_day, log_close_2 + bars_per_day, rows, bars_per_day, crit);
  if (!r.ok) return {};
  return {r.evec0[0], r.evec0[1], r.is_cointegrated};
}

}  // namespace korvane::johansen
