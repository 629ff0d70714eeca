#pragma once
// Running sum with Neumaier's compensation: a window slid over thousands of
// values keeps the accuracy of a fresh sum.
#include <cmath>

namespace korvane {

struct CompensatedSum {
  double sum = 0.0, carry = 0.0;
  void add(double x) {
    const double t = sum + x;
    if (std::fabs(sum) >= std::fabs(x))
      carry += (sum - t) + x;
    else
      carry += (x - t) + sum;
    sum = t;
  }
  double value() const { return sum + carry; }
};

}  // namespace korvane
