"""Universe filter on a wide table: one numpy pass vs the plain pandas rule.

Universe: 20,000 rows of 500 securities (2,500 float64 columns, a table built
from a dict of columns), ranked over the default leading 10% of rows, keeping
10. Prints the filter's time against the target (at most 0.3 s), the time of
the plain pandas implementation of the same rule
(tests/reference/tickersieve_reference.py) in the same run, and the speed-up.

    python bench/tickersieve.py
"""

import pathlib
import sys
import time

import numpy as np
import pandas as pd

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests"))

from korvane.utils.filters.tickersieve import Tickersieve  # noqa: E402
from reference import tickersieve_reference  # noqa: E402

ROWS = 20_000
SECURITIES = 500
KEEP = 10
REPEATS = 5
TARGET_SECONDS = 0.3


def make_table(seed=0):
    rng = np.random.default_rng(seed)
    columns = {}
    for k in range(SECURITIES):
        close = 100.0 * np.exp(np.cumsum(rng.normal(0.0, 0.01, ROWS)))
        for field in ("open", "high", "low", "close"):
            columns[f"SEC{k:03d}_{field}"] = close
        volume = rng.lognormal(8.0, 1.0, ROWS)
        volume[rng.random(ROWS) < 0.01] = np.nan
        columns[f"SEC{k:03d}_volume"] = volume
    return pd.DataFrame(columns, index=pd.date_range("2020-01-01", periods=ROWS, freq="1min", tz="UTC"))


def best_time(function):
    best = float("inf")
    for _ in range(REPEATS):
        start = time.perf_counter()
        result = function()
        best = min(best, time.perf_counter() - start)
    return best, result


def main():
    table = make_table()
    securities = [f"SEC{k:03d}" for k in range(SECURITIES)]
    sieve = Tickersieve()
    filtered_seconds, filtered = best_time(
        lambda: sieve.filter_without_lookahead(table, securities, number_of_securities_to_keep=KEEP)
    )
    reference_seconds, expected = best_time(
        lambda: tickersieve_reference.filter_without_lookahead(table, securities, number_of_securities_to_keep=KEEP)
    )
    pd.testing.assert_frame_equal(filtered, expected)
    verdict = "ok" if filtered_seconds <= TARGET_SECONDS else "OVER TARGET"
    print(f"tickersieve: {ROWS} rows x {SECURITIES} securities, keep {KEEP}: "
          f"{filtered_seconds:.4f} s (target <= {TARGET_SECONDS} s, {verdict})")
    print(f"plain pandas rule: {reference_seconds:.4f} s")
    print(f"tickersieve speedup vs pandas: {reference_seconds / filtered_seconds:.1f}x")


if __name__ == "__main__":
    main()
