#pragma once
// Bootstrap of daily returns with numpy's legacy seeded stream.
//
// A round k resamples n daily returns with replacement exactly as
// `numpy.random.RandomState(k).randint(0, n, size=n)` picks the positions
// (MT19937 seeded by init_genrand, 32-bit draws, masked rejection), which is
// what scikit-learn's `resample(returns, random_state=k)` does. Each round is
// compounded into a growth path: the running product of (1 + return),
// multiplied left to right like numpy's `cumprod`.
#include <cstddef>
#include <cstdint>

namespace korvane {

// The MT19937 generator in numpy's legacy layout (624 words, seeded by the
// reference init_genrand).
class LegacyMT19937 {
 public:
  explicit LegacyMT19937(uint32_t seed) { seed_with(seed); }
  void seed_with(uint32_t seed);
  uint32_t next_uint32() {
    if (pos_ >= kStateLength) twist();
    uint32_t y = key_[pos_++];
    y ^= (y >> 11);
    y ^= (y << 7) & 0x9d2c5680U;
    y ^= (y << 15) & 0xefc60000U;
    y ^= (y >> 18);
    return y;
  }

 private:
  static constexpr int kStateLength = 624;
  void twist();
  uint32_t key_[kStateLength];
  int pos_ = kStateLength;
};

// Throws std::invalid_argument unless 1 <= n < 2**32 (draws are 32-bit
// positions) and 0 <= rounds <= 2**32 (each round is seeded by its number).
// Both functions below check their arguments so; a caller that allocates
// for the results checks first.
void check_bootstrap_arguments(size_t n, int64_t rounds);

// One bootstrap round seeded with `seed`: writes the resampled returns and
// their growth path, n entries each.
void bootstrap_round(const double* returns, size_t n, uint32_t seed, double* resampled,
                     double* growth);

// Ending value (last growth entry) of rounds 0 .. rounds - 1, seeded by their
// index. Holds one round at a time, never the paths of all rounds.
void bootstrap_ending_values(const double* returns, size_t n, int64_t rounds, double* ending_values);

}  // namespace korvane
