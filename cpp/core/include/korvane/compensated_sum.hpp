#pragma once
// Running sum with compensation of every addition's rounding error: a window slid over thousands of
// values keeps the accuracy of a fresh sum.
#include <cmath>

namespace korvane {

struct CompensatedSum {
  double sum = 0.0, carry = 0.0;
  // Knuth's two-sum: the rounding error of each addition, without a branch.
  void add(double x) {
    const double t = sum + x;
    const double z = t - sum;
    carry += (sum - (t - z)) + (x - z);
    sum = t;
  }
  double value() const { return sum + carry; }
};

}  // namespace korvane
