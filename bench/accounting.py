"""Accounting of one backtest split: native vs the numpy reference.

Universe of the backtest benchmark: 10 securities, 20,000 hourly bars, with
the book in position on most bars (the costly path: every bar resizes).
Prints nanoseconds per bar per security (target: at most 10) and the speed-up
over the numpy implementation of the same rules in tests/reference.
"""

import pathlib
import sys
import time

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests"))

from korvane.factors.technical import _pairtrader  # noqa: E402
from reference import accounting_reference  # noqa: E402

BARS = 20_000
SECURITIES = 10
REPEATS = 30


def make_split(seed=0):
    """Pair legs held for stretches of bars, as a pairs book trades."""
    rng = np.random.default_rng(seed)
    close = 50.0 * np.exp(np.cumsum(rng.normal(0.0, 0.002, size=(BARS, SECURITIES)), axis=0))
    legs = rng.normal(size=(BARS, SECURITIES))
    legs[rng.uniform(size=(BARS, SECURITIES)) < 0.3] = 0.0  # legs not traded
    changes = rng.uniform(size=(BARS, SECURITIES)) < 0.002
    changes[0] = True
    # Each leg keeps its value until its next change.
    last_change = np.maximum.accumulate(np.where(changes, np.arange(BARS)[:, None], 0), axis=0)
    raw = np.take_along_axis(legs, last_change, axis=0)
    raw[:300] = 0.0  # warm-up
    raw[rng.uniform(size=BARS) < 0.0005] = 0.0  # the whole book flat: exit, then re-entry
    spread = rng.uniform(0.0005, 0.005, size=SECURITIES)
    return raw, close, spread


def best_of(fn, repeats):
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best


def main():
    raw, close, spread = make_split()
    args = (raw, close, spread, 100_000.0, 0.9, True, 0.001, 0.5, BARS)
    native_result = _pairtrader.account_split(*args)
    reference_result = accounting_reference.account_split(*args)
    for key, value in reference_result.items():
        np.testing.assert_allclose(native_result[key], value, rtol=1e-12, atol=0, err_msg=key)

    assert native_result["equity_value_array"].min() > 0, "benchmark book went bankrupt"
    del native_result
    native_seconds = best_of(lambda: _pairtrader.account_split(*args), REPEATS)
    reference_seconds = best_of(lambda: accounting_reference.account_split(*args), 3)
    cells = BARS * SECURITIES
    print(f"bars x securities: {BARS} x {SECURITIES}")
    print(f"native accounting:    {native_seconds * 1e3:9.3f} ms  ({native_seconds * 1e9 / cells:.2f} ns per bar per security, target <= 10)")
    print(f"numpy reference:      {reference_seconds * 1e3:9.3f} ms  ({reference_seconds * 1e9 / cells:.1f} ns per bar per security)")
    print(f"accounting speedup vs numpy reference: {reference_seconds / native_seconds:.1f}x")


if __name__ == "__main__":
    main()
