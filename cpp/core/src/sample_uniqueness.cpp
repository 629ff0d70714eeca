#include "korvane/sample_uniqueness.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "korvane/pairwise_sum.hpp"

namespace korvane {

namespace {

void check_index(const std::int64_t* index, std::size_t n_index) {
  for (std::size_t i = 0; i < n_index; ++i) {
    if (index[i] == kNotATime)
      throw std::invalid_argument("complete_datetime_indices_array holds NaT at position " + std::to_string(i));
    if (i > 0 && index[i] < index[i - 1])
      throw std::invalid_argument("complete_datetime_indices_array must be in ascending order (position " +
                                  std::to_string(i) + " precedes position " + std::to_string(i - 1) + ")");
  }
}

void check_times(const char* name, const std::int64_t* times, std::size_t n) {
  for (std::size_t k = 0; k < n; ++k)
    if (times[k] == kNotATime)
      throw std::invalid_argument(std::string(name) + " holds NaT for sample " + std::to_string(k));
}

// A value carried as an unevaluated sum hi + lo (Knuth's two-sum), so that
// the difference of two prefix sums keeps the accuracy of a direct sum over
// the span even after 10^5 bars.
struct DoubleDouble {
  double hi = 0.0, lo = 0.0;
  DoubleDouble plus(double x) const {
    const double s = hi + x;
    const double z = s - hi;
    const double err = (hi - (s - z)) + (x - z);
    return {s, lo + err};
  }
};

}  // namespace

void sample_uniqueness(const std::int64_t* index, std::size_t n_index, const std::int64_t* starts,
                       const std::int64_t* ends, std::size_t n_samples, double* uniqueness) {
  check_index(index, n_index);
  check_times("training_samples_start_datetime_array", starts, n_samples);
  check_times("training_samples_end_datetime_array", ends, n_samples);

  // The span of sample k is the index positions [first, last): the first
  // point at or after its start up to the last point at or before its end.
  std::vector<std::size_t> first(n_samples), last(n_samples);
  std::vector<std::int64_t> change(n_index + 1, 0);
  for (std::size_t k = 0; k < n_samples; ++k) {
    first[k] = static_cast<std::size_t>(std::lower_bound(index, index + n_index, starts[k]) - index);
    last[k] = static_cast<std::size_t>(std::upper_bound(index, index + n_index, ends[k]) - index);
    if (first[k] < last[k]) {
      change[first[k]] += 1;
      change[last[k]] -= 1;
    }
  }

  // Concurrency c_t of every point, and prefix sums of 1/c_t.
  std::vector<DoubleDouble> prefix(n_index + 1);
  std::int64_t concurrency = 0;
  for (std::size_t i = 0; i < n_index; ++i) {
    concurrency += change[i];
    prefix[i + 1] = concurrency > 0 ? prefix[i].plus(1.0 / static_cast<double>(concurrency)) : prefix[i];
  }

  for (std::size_t k = 0; k < n_samples; ++k) {
    if (first[k] >= last[k]) {
      uniqueness[k] = std::numeric_limits<double>::quiet_NaN();  // the mean over no bars
      continue;
    }
    const DoubleDouble& a = prefix[last[k]];
    const DoubleDouble& b = prefix[first[k]];
    const double total = (a.hi - b.hi) + (a.lo - b.lo);
    uniqueness[k] = total / static_cast<double>(last[k] - first[k]);
  }
}

void normalise_sample_weights(const double* uniqueness, const double* impacts, std::size_t n_samples,
                              double* weights) {
  const std::int64_t n = static_cast<std::int64_t>(n_samples);
  if (impacts != nullptr) {
    for (std::size_t k = 0; k < n_samples; ++k) weights[k] = std::fabs(impacts[k]) / uniqueness[k];
  } else {
    std::copy(uniqueness, uniqueness + n_samples, weights);
  }
  const double total = pairwise_sum(weights, n);
  const double count = static_cast<double>(n_samples);
  for (std::size_t k = 0; k < n_samples; ++k) weights[k] = weights[k] / total * count;
}

}  // namespace korvane
