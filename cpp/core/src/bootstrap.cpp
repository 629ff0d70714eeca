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

void check_bootstrap_arguments(size_t n, int64_t rounds) {
  if (n == 0) throw std::invalid_argument("cannot bootstrap an empty returns series");
  if (static_cast<uint64_t>(n) > 0xFFFFFFFFULL)
    throw std::invalid_argument("returns series too long for 32-bit resampling draws");
  if (rounds < 0) throw std::invalid_argument("negative number of bootstrap rounds");
  if (static_cast<uint64_t>(rounds) > 0x100000000ULL)
    throw std::invalid_argument("more bootstrap rounds than 32-bit seeds");
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

void bootstrap_round(const double* returns, size_t n, uint32_t seed, double* resampled,
                     double* growth) {
  check_bootstrap_arguments(n, 1);
  LegacyMT19937 generator(seed);
  run_round(generator, returns, n, resampled, growth);
}

namespace {

// Rounds advance four at a time, one 32-bit vector lane per round, each lane
// exactly the stream of its own seed. The generator state is twisted lazily,
// a few words at a time in the reference order (so that a short series draws
// no more words than it needs), tempered and masked as vectors, and the
// accepted positions are compacted without branches: the masked rejection
// discards up to half of the draws at random, which a branch per draw would
// mispredict. The four running products are independent, so their
// multiplications overlap.
constexpr int kLanes = 4;
constexpr int kStateLength = 624;
constexpr int kShift = 397;
constexpr int kChunk = 16;  // divides 624
constexpr uint32_t kMatrix = 0x9908b0dfU;
constexpr uint32_t kUpper = 0x80000000U;
constexpr uint32_t kLower = 0x7fffffffU;

typedef uint32_t Lanes __attribute__((vector_size(16)));

struct LaneGenerators {
  Lanes key[kStateLength];
  int pos = kStateLength;  // next word to twist and use

  void seed(uint32_t first_seed) {
    Lanes value = {first_seed, first_seed + 1U, first_seed + 2U, first_seed + 3U};
    key[0] = value;
    for (int i = 1; i < kStateLength; ++i) {
      value = 1812433253U * (value ^ (value >> 30)) + static_cast<uint32_t>(i);
      key[i] = value;
    }
    pos = 0;
  }

  // Twists words [pos, pos + kChunk): each word needs the next word still
  // untwisted and the word 397 ahead (untwisted) or 227 behind (twisted), so
  // twisting in order chunk by chunk equals the whole-state twist.
  void twist_chunk() {
    for (int i = pos; i < pos + kChunk; ++i) {
      const Lanes next = key[i + 1 < kStateLength ? i + 1 : 0];
      const Lanes far = key[i + kShift < kStateLength ? i + kShift : i + kShift - kStateLength];
      const Lanes y = (key[i] & kUpper) | (next & kLower);
      key[i] = far ^ (y >> 1) ^ ((-(y & 1U)) & kMatrix);
    }
  }
};

inline Lanes tempered(Lanes y) {
  y ^= (y >> 11);
  y ^= (y << 7) & 0x9d2c5680U;
  y ^= (y << 15) & 0xefc60000U;
  y ^= (y >> 18);
  return y;
}

}  // namespace

void bootstrap_ending_values(const double* returns, size_t n, int64_t rounds, double* ending_values) {
  check_bootstrap_arguments(n, rounds);
  if (n == 1) {
    // One return: every resample is that return, and numpy takes no draw.
    for (int64_t k = 0; k < rounds; ++k) ending_values[k] = 1.0 + returns[0];
    return;
  }
  const uint32_t max_value = static_cast<uint32_t>(n - 1);
  const uint32_t mask = mask_covering(max_value);
  // Accepted positions of each lane; slot n takes the draws of a lane that
  // already has all it needs.
  std::vector<uint32_t> accepted(kLanes * (n + 1));
  uint32_t* lane_positions[kLanes];
  for (int l = 0; l < kLanes; ++l) lane_positions[l] = accepted.data() + l * (n + 1);
  LaneGenerators generators;
  for (int64_t first = 0; first < rounds; first += kLanes) {
    generators.seed(static_cast<uint32_t>(first));
    size_t filled[kLanes] = {0, 0, 0, 0};
    size_t least_filled = 0;
    while (least_filled < n) {
      if (generators.pos == kStateLength) generators.pos = 0;
      generators.twist_chunk();
      alignas(16) uint32_t drawn[kChunk][kLanes];
      for (int c = 0; c < kChunk; ++c) {
        const Lanes positions = tempered(generators.key[generators.pos + c]) & mask;
        for (int l = 0; l < kLanes; ++l) drawn[c][l] = positions[l];
      }
      generators.pos += kChunk;
      for (int c = 0; c < kChunk; ++c) {
        for (int l = 0; l < kLanes; ++l) {
          const uint32_t position = drawn[c][l];
          lane_positions[l][filled[l]] = position;
          filled[l] += static_cast<size_t>((position <= max_value) & (filled[l] < n));
        }
      }
      least_filled = filled[0];
      for (int l = 1; l < kLanes; ++l) least_filled = filled[l] < least_filled ? filled[l] : least_filled;
    }
    // numpy's cumprod starts from the first element itself.
    double product[kLanes];
    for (int l = 0; l < kLanes; ++l) product[l] = 1.0 + returns[lane_positions[l][0]];
    for (size_t j = 1; j < n; ++j)
      for (int l = 0; l < kLanes; ++l) product[l] = product[l] * (1.0 + returns[lane_positions[l][j]]);
    const int64_t lanes_used = rounds - first < kLanes ? rounds - first : kLanes;
    for (int64_t l = 0; l < lanes_used; ++l) ending_values[first + l] = product[l];
  }
}

}  // namespace korvane
