#include "korvane/bootstrap.hpp"

#include <stdexcept>
#include <vector>

namespace korvane {

void LegacyMT19937::seed_with(uint32_t seed) {
  for (int i = 0; i < kStateLength; ++i) {
    key_[i] = seed;
    seed = 1812433253U * (seed ^ (seed >> 30)) + static_cast<uint32_t>(i + 1);
  }
  pos_ = kStateLength;
}

void LegacyMT19937::twist() {
  constexpr int kShift = 397;
  constexpr uint32_t kMatrix = 0x9908b0dfU;
  constexpr uint32_t kUpper = 0x80000000U;
  constexpr uint32_t kLower = 0x7fffffffU;
  int i = 0;
  for (; i < kStateLength - kShift; ++i) {
    uint32_t y = (key_[i] & kUpper) | (key_[i + 1] & kLower);
    key_[i] = key_[i + kShift] ^ (y >> 1) ^ (-(y & 1U) & kMatrix);
  }
  for (; i < kStateLength - 1; ++i) {
    uint32_t y = (key_[i] & kUpper) | (key_[i + 1] & kLower);
    key_[i] = key_[i + (kShift - kStateLength)] ^ (y >> 1) ^ (-(y & 1U) & kMatrix);
  }
  uint32_t y = (key_[kStateLength - 1] & kUpper) | (key_[0] & kLower);
  key_[kStateLength - 1] = key_[kShift - 1] ^ (y >> 1) ^ (-(y & 1U) & kMatrix);
  pos_ = 0;
}

namespace {

uint32_t mask_covering(uint32_t max_value) {
  uint32_t mask = max_value;
  mask |= mask >> 1;
  mask |= mask >> 2;
  mask |= mask >> 4;
  mask |= mask >> 8;
  mask |= mask >> 16;
  return mask;
}

void check_length(size_t n) {
  if (n == 0) throw std::invalid_argument("cannot bootstrap an empty returns series");
  if (static_cast<uint64_t>(n) > 0xFFFFFFFFULL)
    throw std::invalid_argument("returns series too long for 32-bit resampling draws");
}

// Draws, compounds and returns the ending value of one round; `resampled`
// and `growth` may be null when only the ending value is wanted.
double run_round(LegacyMT19937& generator, const double* returns, size_t n, double* resampled,
                 double* growth) {
  double product = 1.0;
  if (n == 1) {
    // A single position: numpy takes no draw for a zero-width range.
    for (size_t j = 0; j < n; ++j) {
      const double r = returns[0];
      product = j == 0 ? 1.0 + r : product * (1.0 + r);
      if (resampled) resampled[j] = r;
      if (growth) growth[j] = product;
    }
    return product;
  }
  const uint32_t max_value = static_cast<uint32_t>(n - 1);
  const uint32_t mask = mask_covering(max_value);
  for (size_t j = 0; j < n; ++j) {
    uint32_t position;
    while ((position = (generator.next_uint32() & mask)) > max_value) {
    }
    const double r = returns[position];
    // numpy's cumprod starts from the first element itself, not from 1 * it.
    product = j == 0 ? 1.0 + r : product * (1.0 + r);
    if (resampled) resampled[j] = r;
    if (growth) growth[j] = product;
  }
  return product;
}

}  // namespace

void legacy_bounded_indices(LegacyMT19937& generator, uint64_t n, size_t count, uint64_t* out) {
  if (n == 0) throw std::invalid_argument("cannot draw positions from an empty range");
  if (n > 0x100000000ULL) throw std::invalid_argument("range too large for 32-bit draws");
  if (n == 1) {
    for (size_t j = 0; j < count; ++j) out[j] = 0;
    return;
  }
  const uint64_t max_value = n - 1;
  if (max_value == 0xFFFFFFFFULL) {
    for (size_t j = 0; j < count; ++j) out[j] = generator.next_uint32();
    return;
  }
  const uint32_t mask = mask_covering(static_cast<uint32_t>(max_value));
  for (size_t j = 0; j < count; ++j) {
    uint32_t position;
    while ((position = (generator.next_uint32() & mask)) > max_value) {
    }
    out[j] = position;
  }
}

void bootstrap_round(const double* returns, size_t n, uint32_t seed, double* resampled,
                     double* growth) {
  check_length(n);
  LegacyMT19937 generator(seed);
  run_round(generator, returns, n, resampled, growth);
}

void bootstrap_ending_values(const double* returns, size_t n, int64_t rounds, double* ending_values) {
  check_length(n);
  if (rounds < 0) throw std::invalid_argument("negative number of bootstrap rounds");
  if (static_cast<uint64_t>(rounds) > 0x100000000ULL)
    throw std::invalid_argument("more bootstrap rounds than 32-bit seeds");
  LegacyMT19937 generator(0);
  for (int64_t k = 0; k < rounds; ++k) {
    generator.seed_with(static_cast<uint32_t>(k));
    ending_values[k] = run_round(generator, returns, n, nullptr, nullptr);
  }
}

}  // namespace korvane
