#pragma once
// Running sum with compensation of every addition's rounding error: a window slid over thousands of
// values keeps the accuracy of a fresh sum.
#include <cmath>

namespace korvane {

// Two doubles side by side: two sums, or one sum over two series, whose lanes
// go through the same operations the scalar code would.
typedef double Lanes2 __attribute__((vector_size(16)));

// Knuth's two-sum: adds x to sum and the addition's rounding error to carry,
// without a branch. T is a double, or a vector of doubles added lane by lane.
template <typename T>
inline void add_compensated(T& sum, T& carry, T x) {
  const T t = sum + x;
  const T z = t - sum;
  carry += (sum - (t - z)) + (x - z);
  sum = t;
}

struct CompensatedSum {
  double sum = 0.0, carry = 0.0;
  void add(double x) { add_compensated(sum, carry, x); }
  double value() const { return sum + carry; }
};

}  // namespace korvane
