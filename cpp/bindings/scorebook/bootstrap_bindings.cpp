// Bootstrap of daily returns: the ending values of all rounds, and the full
// path of one chosen round.
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <utility>

#include "binding_prelude.hpp"
#include "korvane/bootstrap.hpp"

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
        korvane::check_bootstrap_arguments(n, rounds);
        std::unique_ptr<double[]> ending = new_buffer<double>(static_cast<size_t>(rounds));
        {
          nb::gil_scoped_release release;
          korvane::bootstrap_ending_values(returns.data(), n, rounds, ending.get());
        }
        return owned_array(std::move(ending), {static_cast<size_t>(rounds)});
      },
      "returns"_a, "rounds"_a,
      "Ending growth of each bootstrap round k (seeded k) of the daily returns.");

  m.def(
      "bootstrap_round",
      [](CVector returns, int64_t round) {
        const size_t n = returns.shape(0);
        korvane::check_bootstrap_arguments(n, 1);
        const uint32_t seed = round_seed(round);
        std::unique_ptr<double[]> resampled = new_buffer<double>(n), growth = new_buffer<double>(n);
        korvane::bootstrap_round(returns.data(), n, seed, resampled.get(), growth.get());
        return nb::make_tuple(owned_array(std::move(resampled), {n}), owned_array(std::move(growth), {n}));
      },
      "returns"_a, "round"_a,
      "Resampled returns and growth path of one bootstrap round.");
}
