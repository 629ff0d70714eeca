"""Objective score of a Scorebook: native bootstrap against the scikit-learn loop.

Scores the default objective on 250 and 1,000 daily returns twice: with the
native bootstrap (the module's `bootstrapping_resample` is scikit-learn's
`resample`) and through the plain loop over scikit-learn's `resample` (the
global replaced by a wrapper, which is what sends the Scorebook down the loop).
Checks that both scores are identical, reports the time per score and the peak
memory the native bootstrap allocates for 1,000 and 10,000 rounds, and prints
the speedup at 1,000 daily returns on the last line.
"""

import time
import tracemalloc

import numpy as np
import pandas as pd

from korvane.utils.results import scorebook as scorebook_module
from korvane.utils.results.scorebook import Scorebook

OBJECTIVE = "stability_weighted_median_bootstrapped_cumprod_returns"
MATRIX_ARGUMENTS = (
    "positions_matrix_array", "positions_market_value_matrix_array", "change_in_positions_matrix_array",
    "change_in_positions_market_value_matrix_array", "securities_pnl_matrix_array", "commissions_matrix_array",
    "slippage_matrix_array", "securities_pnl_after_transaction_costs_matrix_array",
)


def make_scorebook(days, seed=7):
    """Daily bars on consecutive calendar days: `days` + 1 bars give `days` daily returns."""
    rng = np.random.default_rng(seed)
    bars = days + 1
    bar_times = pd.date_range("2020-01-02", periods=bars, freq="D").as_unit("ns").to_numpy()
    pnl = rng.normal(30.0, 900.0, bars)
    equity = 100_000.0 + np.cumsum(pnl)
    returns = pnl[1:] / equity[:-1]
    matrices = dict.fromkeys(MATRIX_ARGUMENTS, np.zeros((bars, 2)))
    return Scorebook(
        starting_equity=100_000.0,
        securities_names_list=["AAA", "BBB"],
        datetime_length=bars,
        datetime_array=bar_times,
        **matrices,
        total_pnl_after_transaction_costs_array=pnl,
        equity_value_array=equity,
        returns_after_transaction_costs_array=returns,
        cumprod_returns_after_transaction_costs_array=np.cumprod(1.0 + returns),
    )


def best_time(function, repeats):
    best = float("inf")
    value = None
    for _ in range(repeats):
        start = time.perf_counter()
        value = function()
        best = min(best, time.perf_counter() - start)
    return best, value


def sklearn_loop_score(book):
    sklearn_resample = scorebook_module.bootstrapping_resample

    def loop_resample(*args, **kwargs):
        return sklearn_resample(*args, **kwargs)

    scorebook_module.bootstrapping_resample = loop_resample
    try:
        return book.get_objective_score(objective=OBJECTIVE)
    finally:
        scorebook_module.bootstrapping_resample = sklearn_resample


def native_peak_bytes(book, rounds):
    book._BOOTSTRAPPING_ROUNDS = rounds
    try:
        tracemalloc.start()
        book.get_objective_score(objective=OBJECTIVE)
        return tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
        book._BOOTSTRAPPING_ROUNDS = 10000


def main():
    speedup = None
    for days in (250, 1000):
        book = make_scorebook(days)
        native_seconds, native_score = best_time(
            lambda: book.get_objective_score(objective=OBJECTIVE), repeats=7
        )
        loop_seconds, loop_score = best_time(lambda: sklearn_loop_score(book), repeats=2)
        if native_score != loop_score:
            raise SystemExit(f"scores differ at {days} days: {native_score!r} != {loop_score!r}")
        speedup = loop_seconds / native_seconds
        print(
            f"{days} daily returns: native {native_seconds * 1e3:.1f} ms, "
            f"sklearn loop {loop_seconds * 1e3:.1f} ms, speedup {speedup:.1f}x, "
            f"score {native_score!r} (identical)"
        )
        small, large = native_peak_bytes(book, 1000), native_peak_bytes(book, 10000)
        print(
            f"{days} daily returns: peak traced memory of a native score "
            f"{small / 1e3:.0f} kB at 1,000 rounds, {large / 1e3:.0f} kB at 10,000 rounds "
            f"(full paths would take {2 * 10000 * days * 8 / 1e6:.0f} MB); native buffers "
            f"untraced: {8 * 10000 / 1e3:.0f} kB of ending values + {16 * (days + 1) / 1e3:.0f} kB "
            f"of positions"
        )
    print(f"bootstrap objective speedup vs sklearn loop: {speedup:.1f}x")


if __name__ == "__main__":
    main()
