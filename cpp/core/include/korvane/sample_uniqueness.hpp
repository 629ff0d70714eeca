#pragma once
// Uniqueness weights of overlapping labels. A sample's label spans the bars
// from its start time to its end time, both ends included; a bar shared by c
// labels gives each of them 1/c of itself. A sample's average uniqueness is
// the mean of 1/c over its span, and its weight is that uniqueness (or its
// absolute impact divided by it) scaled so that the weights sum to their count.
#include <cstddef>
#include <cstdint>

namespace korvane {

// Bar times are int64 nanoseconds; this value is numpy's NaT.
inline constexpr std::int64_t kNotATime = INT64_MIN;

// Throws std::invalid_argument when `index` is not ascending or holds NaT, or
// a start or end time is NaT. `uniqueness` receives one value per sample, NaN
// for a span that holds no bar.
void sample_uniqueness(const std::int64_t* index, std::size_t n_index, const std::int64_t* starts,
                       const std::int64_t* ends, std::size_t n_samples, double* uniqueness);

// `impacts` is null, or holds one impact per sample. The weights are the
// uniqueness (or |impact| / uniqueness) divided by its sum, then multiplied by
// n_samples: division first, as the sum is formed in numpy's pairwise grouping.
void normalise_sample_weights(const double* uniqueness, const double* impacts, std::size_t n_samples,
                              double* weights);

}  // namespace korvane
