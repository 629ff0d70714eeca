// Bootstrap of daily returns: the ending values of all rounds, and the full
// path of one chosen round.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/pair.h>

#include <cstdint>
#include <stdexcept>

#include "korvane/bootstrap.hpp"
#include "ndarray_span.hpp"

namespace nb = nanobind;
using korvane::bind::CVector;
using korvane::bind::owned_array;

namespace {

uint32_t round_seed(int64_t round) {
  if (round < 0 || round > 0xFFFFFFFFLL)
    throw std::invalid_argument("bootstrap round must be between 0 and 2**32 - 1");
  return static_cast<uint32_t>(round);
}

}  // namespace

void bind_bootstrap(nb::module_& m) {
  m.def(
      "bootstrap_ending_values",
      [](CVector returns, int64_t rounds) {
        const size_t n = returns.shape(0);
        if (rounds < 0) throw std::invalid_argument("negative number of bootstrap rounds");
        double* ending = new double[static_cast<size_t>(rounds)];
        try {
          nb::gil_scoped_release release;
          korvane::bootstrap_ending_values(returns.data(), n, rounds, ending);
        } catch (...) {
          delete[] ending;
          throw;
        }
        return owned_array<double>(ending, {static_cast<size_t>(rounds)});
      },
      nb::arg("returns"), nb::arg("rounds"),
      "Ending growth of each bootstrap round k (seeded k) of the daily returns.");

  m.def(
      "bootstrap_round",
      [](CVector returns, int64_t round) {
        const size_t n = returns.shape(0);
        const uint32_t seed = round_seed(round);
        double* resampled = new double[n];
        double* growth = new double[n];
        try {
          korvane::bootstrap_round(returns.data(), n, seed, resampled, growth);
        } catch (...) {
          delete[] resampled;
          delete[] growth;
          throw;
        }
        return std::make_pair(owned_array<double>(resampled, {n}), owned_array<double>(growth, {n}));
      },
      nb::arg("returns"), nb::arg("round"),
      "Resampled returns and growth path of one bootstrap round.");
}
