#include "korvane/spread_stats.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

#include "korvane/compensated_sum.hpp"
#include "korvane/pairwise_sum.hpp"

namespace korvane::spread {

MeanStd mean_std(const double* values, std::int64_t n) {
  MeanStd r;
  if (n <= 0) {
    r.mean = r.std = std::nan("");
    return r;
  }
  const double count = static_cast<double>(n);
  const double mean = pairwise_sum(values, n) / count;
  const double squares =
      pairwise_sum([values, mean](std::int64_t i) {
        const double d = values[i] - mean;
        return d * d;
      }, 0, n);
  r.mean = mean;
  r.std = std::sqrt(squares / count);
  return r;
}

double halflife_slope(const double* spread, std::int64_t n) {
  if (n < 2) return std::nan("");
  return halflife_slope(spread, n, pairwise_sum(spread, n - 1) / static_cast<double>(n - 1));
}

double halflife_slope(const double* spread, std::int64_t n, double mean_x) {
  if (n < 2) return std::nan("");
  // Regress x = spread[t] on y = spread[t + 1] - spread[t], t < m, with an
  // intercept: slope = sum((x - mx)(y - my)) / sum((x - mx)^2).
  const std::int64_t m = n - 1;
  const double count = static_cast<double>(m);
  // The changes telescope: their sum is the last value minus the first.
  const double mean_y = (spread[m] - spread[0]) / count;
  double sxy[4] = {0.0, 0.0, 0.0, 0.0}, sxx[4] = {0.0, 0.0, 0.0, 0.0};
  std::int64_t i = 0;
  for (; i + 4 <= m; i += 4) {
    for (int j = 0; j < 4; ++j) {
      const double dx = spread[i + j] - mean_x;
      const double dy = (spread[i + j + 1] - spread[i + j]) - mean_y;
      sxy[j] += dx * dy;
      sxx[j] += dx * dx;
    }
  }
  for (; i < m; ++i) {
    const double dx = spread[i] - mean_x;
    const double dy = (spread[i + 1] - spread[i]) - mean_y;
    sxy[0] += dx * dy;
    sxx[0] += dx * dx;
  }
  const double cross = (sxy[0] + sxy[1]) + (sxy[2] + sxy[3]);
  const double squares = (sxx[0] + sxx[1]) + (sxx[2] + sxx[3]);
  // A non-finite value reaches the sums (the regression refuses such data).
  if (!std::isfinite(cross) || !std::isfinite(squares) || !std::isfinite(spread[m]))
    return std::nan("");
  // A lagged spread without variation has rank 0: least squares gives 0.
  if (squares == 0.0) return 0.0;
  return cross / squares;
}

std::int64_t halflife_from_slope(double slope) {
  const double quotient = std::log(2.0) / slope;
  if (!std::isfinite(quotient)) return 0;
  const double t = std::trunc(quotient);
  if (!(t > -9223372036854775808.0 && t < 9223372036854775808.0)) return 0;
  return -static_cast<std::int64_t>(t);
}

std::int64_t halflife(bool is_cointegrated, const double* spread, std::int64_t n) {
  if (!is_cointegrated) return 0;
  const double slope = halflife_slope(spread, n);
  if (!std::isfinite(slope)) return 0;
  return halflife_from_slope(slope);
}

ZscoreWindow zscore_window(double multiplier, std::int64_t halflife, std::int64_t minimum,
                           std::int64_t maximum) {
  ZscoreWindow w;
  const double product = multiplier * static_cast<double>(halflife);
  if (!std::isfinite(product)) return w;
  double length = std::trunc(product);
  if (length < static_cast<double>(minimum)) length = static_cast<double>(minimum);
  w.fits = length <= static_cast<double>(maximum);
  w.length = length < 9.0e18 ? static_cast<std::int64_t>(length) : static_cast<std::int64_t>(9.0e18);
  return w;
}

Zscore zscore(const double* spread, std::int64_t n, std::int64_t halflife, double multiplier,
              bool is_cointegrated, std::int64_t minimum, std::int64_t maximum) {
  Zscore z;
  z.current_value = spread[n - 1];
  if (halflife <= 0) return z;
  const ZscoreWindow w = zscore_window(multiplier, halflife, minimum, maximum);
  if (!w.fits || !is_cointegrated) return z;
  // A window longer than the spread uses all of it.
  const std::int64_t used = std::min(w.length, n);
  const MeanStd ms = mean_std(spread + (n - used), used);
  z.tradable = true;
  z.window = used;
  z.std = ms.std;
  z.mean = ms.mean;
  z.zscore = ms.std > 0.0 ? (z.current_value - ms.mean) / ms.std : 0.0;
  return z;
}


// The rolling deviations' window leaves at least this many more bars of the
// spread, so that their average is taken over 31 windows or more.
constexpr double kVolatilityWindowMargin = 30.0;

std::int64_t volatility_window(std::int64_t n, std::int64_t halflife, double multiplier) {
  const double product = multiplier * static_cast<double>(halflife);
  if (!std::isfinite(product)) return 0;
  double v = std::trunc(product);
  v = std::min(v, static_cast<double>(n) - kVolatilityWindowMargin);
  v = std::max(v, 2.0);
  if (v > static_cast<double>(n)) return 0;  // the windows do not fit the spread
  return static_cast<std::int64_t>(v);
}

double volatility_multiplier(const double* spread, std::int64_t n, std::int64_t halflife,
                             double multiplier) {
  const std::int64_t len = volatility_window(n, halflife, multiplier);
  if (len == 0) return 0.0;
  const std::int64_t windows = n - len + 1;

  thread_local std::vector<double> stds;
  stds.resize(static_cast<std::size_t>(windows));
  // Values are centred on the spread's mean so that the sums of squares do
  // not lose the window variance to the level of the spread.
  const double centre = pairwise_sum(spread, n) / static_cast<double>(n);
  const double count = static_cast<double>(len);
  CompensatedSum s1, s2;
  for (std::int64_t i = 0; i < len; ++i) {
    const double c = spread[i] - centre;
    s1.add(c);
    s2.add(c * c);
  }
  for (std::int64_t j = 0;; ++j) {
    const double mean = s1.value() / count;
    double var = s2.value() / count - mean * mean;
    if (var < 0.0) var = 0.0;
    stds[static_cast<std::size_t>(j)] = std::sqrt(var);
    if (j + 1 == windows) break;
    const double out = spread[j] - centre, in = spread[j + len] - centre;
    s1.add(-out);
    s1.add(in);
    s2.add(-(out * out));
    s2.add(in * in);
  }
  const double mean_std_value = pairwise_sum(stds.data(), windows) / static_cast<double>(windows);
  if (mean_std_value > 0.0) return 1.0 + stds[static_cast<std::size_t>(windows - 1)] / mean_std_value;
  return 1.0;
}

}  // namespace korvane::spread
