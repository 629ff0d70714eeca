#pragma once
// Pairwise summation in the grouping numpy uses for float64 reductions
// (blocks of 128, eight interleaved accumulators, halves rounded down to a
// multiple of eight), so sums over a window agree with numpy to the last bit
// or nearly so. `value(i)` yields the i-th term.
#include <cstdint>

namespace korvane {

template <typename F>
double pairwise_sum(F&& value, std::int64_t begin, std::int64_t n) {
  if (n < 8) {
    double res = 0.0;
    for (std::int64_t i = 0; i < n; ++i) res += value(begin + i);
    return res;
  }
  if (n <= 128) {
    double r0 = value(begin + 0), r1 = value(begin + 1), r2 = value(begin + 2),
           r3 = value(begin + 3), r4 = value(begin + 4), r5 = value(begin + 5),
           r6 = value(begin + 6), r7 = value(begin + 7);
    std::int64_t i = 8;
    for (; i < n - (n % 8); i += 8) {
      r0 += value(begin + i + 0);
      r1 += value(begin + i + 1);
      r2 += value(begin + i + 2);
      r3 += value(begin + i + 3);
      r4 += value(begin + i + 4);
      r5 += value(begin + i + 5);
      r6 += value(begin + i + 6);
      r7 += value(begin + i + 7);
    }
    double res = ((r0 + r1) + (r2 + r3)) + ((r4 + r5) + (r6 + r7));
    for (; i < n; ++i) res += value(begin + i);
    return res;
  }
  std::int64_t n2 = n / 2;
  n2 -= n2 % 8;
  return pairwise_sum(value, begin, n2) + pairwise_sum(value, begin + n2, n - n2);
}

inline double pairwise_sum(const double* a, std::int64_t n) {
  return pairwise_sum([a](std::int64_t i) { return a[i]; }, 0, n);
}

}  // namespace korvane
