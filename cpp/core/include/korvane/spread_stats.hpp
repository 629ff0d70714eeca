#pragma once
// Statistics of a pair's spread: rolling mean and standard deviation, the
// z-score with its tradability test, the half-life of mean reversion, and the
// volatility multiplier that widens the triple barrier.
#include <cstdint>

namespace korvane::spread {

struct MeanStd {
  double mean = 0.0;
  double std = 0.0;  // population (ddof 0)
};

// numpy's mean and std (ddof 0) of n values.
MeanStd mean_std(const double* values, std::int64_t n);

// Slope of the least-squares fit (with intercept) of the one-bar change of the
// spread on the lagged spread, over n spread values. Returns NaN when a value
// is not finite or n < 2.
double halflife_slope(const double* spread, std::int64_t n);
// The same, given the mean of the first n - 1 values (the lagged spread).
double halflife_slope(const double* spread, std::int64_t n, double mean_lagged);

// Half-life in bars: -trunc(ln 2 / slope); 0 when not cointegrated, when the
// slope is 0 or not finite, or when the quotient does not fit in 64 bits.
std::int64_t halflife_from_slope(double slope);
std::int64_t halflife(bool is_cointegrated, const double* spread, std::int64_t n);

// Length of the trailing z-score window for a half-life, before clamping to
// the spread length: max(trunc(multiplier * halflife), minimum). `fits` tells
// whether the window is at most `maximum` (the tradability bound).
struct ZscoreWindow {
  std::int64_t length = 0;
  bool fits = false;
};
ZscoreWindow zscore_window(double multiplier, std::int64_t halflife, std::int64_t minimum,
                           std::int64_t maximum);

struct Zscore {
  double zscore = 0.0;
  double current_value = 0.0;
  double std = 0.0;
  double mean = 0.0;
  bool tradable = false;
  std::int64_t window = 0;  // values used (min(w, n)) when tradable
};

// Z-score of the latest of n spread values against the last min(w, n) values
// (the latest included). Tradable only with a positive half-life, a window w
// within `maximum` and a cointegrated pair; otherwise z, std and mean are 0.
Zscore zscore(const double* spread, std::int64_t n, std::int64_t halflife, double multiplier,
              bool is_cointegrated, std::int64_t minimum, std::int64_t maximum);

// Volatility multiplier over n spread values: 1 + (latest rolling std) /
// (mean rolling std), with rolling windows of v = clamp(trunc(multiplier *
// halflife), 2, n - 30) values; 1.0 when the mean is not positive, and 0.0
// when the windows do not fit the spread.
double volatility_multiplier(const double* spread, std::int64_t n, std::int64_t halflife,
                             double multiplier);

// The rolling window length v of the volatility multiplier; 0 when the
// windows cannot be formed.
std::int64_t volatility_window(std::int64_t n, std::int64_t halflife, double multiplier);

}  // namespace korvane::spread
