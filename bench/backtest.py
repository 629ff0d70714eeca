"""Backtest engine speed against the plain-Python reference.

Universe: 10 securities (45 pairs), 20,000 hourly bars of a 24-hour market
(24 bars per trading day), half of the securities cointegrated around common
trends and half independent random walks. The window is 60 trading days plus
one bar, so the Johansen test sees 60 daily rows. The reference (statsmodels,
scikit-learn and numpy per pair and bar) is timed on a slice of the bars and
scaled to the whole run.
"""

import os
import resource
import sys
import time

import numpy as np
from statsmodels.tsa.coint_tables import c_sja, c_sjt
from statsmodels.tsa.vector_ar.vecm import coint_johansen

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))

from korvane import _kernels  # noqa: E402
from korvane._common.synthetic_universe import TRADING_PARAMS, PriceModel, close_matrix  # noqa: E402
from reference.pairs_reference import ReferenceEngine  # noqa: E402

SECURITIES = 10
BARS = 20_000
BARS_PER_DAY = int(os.environ.get("KORVANE_BENCH_BARS_PER_DAY", "24"))
DAILY_ROWS = 60
WINDOW = DAILY_ROWS * BARS_PER_DAY + 1
REFERENCE_BARS = int(os.environ.get("KORVANE_BENCH_REFERENCE_BARS", "150"))

PARAMS = dict(TRADING_PARAMS, size_of_rolling_windows=WINDOW, starting_sd_for_position_entry=2,
              take_profit_std_multiplier=2.0)


# Securities 0-4 share two trends with stationary deviations, 5-9 walk alone.
HOURLY_MODEL = PriceModel(trends=2, trend_sd=0.002, persistence=0.97, shock_sd=0.002, walk_sd=0.002,
                          first_price=20.0, price_step=5.0, first_loading=0.8, loading_step=0.1)


def universe(seed=7):
    """Closes: securities 0-4 share two trends with stationary deviations, 5-9 walk alone."""
    return close_matrix(SECURITIES, BARS, seed, HOURLY_MODEL, cointegrated=range(5))


DAILY_SECURITIES = 20
DAILY_BARS = 1_500
DAILY_WINDOWS = (60, 120, 250)
TARGET_DAILY_NS = 60.0
DAILY_RUNS = 20


# Half the securities share three trends with stationary deviations.
DAILY_MODEL = PriceModel(trends=3, trend_sd=0.012, persistence=0.9, shock_sd=0.008, walk_sd=0.015,
                         first_price=30.0, price_step=3.0, first_loading=0.7, loading_step=0.05)


def daily_universe(seed=11):
    """Daily closes: half the securities share three trends with stationary deviations."""
    return close_matrix(DAILY_SECURITIES, DAILY_BARS, seed, DAILY_MODEL, cointegrated=range(DAILY_SECURITIES // 2))


def daily_case(crit):
    """ns per pair-bar on daily bars, where every flat pair re-estimates at every bar."""
    closes = daily_universe()
    pairs = DAILY_SECURITIES * (DAILY_SECURITIES - 1) // 2
    params = dict(PARAMS)
    for window in DAILY_WINDOWS:
        params["size_of_rolling_windows"] = window
        run = lambda: _kernels.run_engine(closes, window, params, 1, DAILY_BARS // 2, *crit)  # noqa: E731
        run()
        timings = []
        # A run takes about 15 ms: the best of many is the one the machine's
        # other load disturbed least.
        for _ in range(DAILY_RUNS):
            start = time.perf_counter()
            run()
            timings.append(time.perf_counter() - start)
        ns = min(timings) / ((DAILY_BARS - window) * pairs) * 1e9
        print(f"daily {DAILY_SECURITIES} securities x {DAILY_BARS} bars, W = {window}: "
              f"{ns:.1f} ns per pair-bar (target {TARGET_DAILY_NS:.0f}, ratio {ns / TARGET_DAILY_NS:.2f})")


def main():
    crit = (float(c_sja(2, 1)[0]), float(c_sjt(2, 1)[0]))
    closes = universe()
    pairs = SECURITIES * (SECURITIES - 1) // 2
    max_zscore_window = BARS // 2

    def engine_run(data):
        return _kernels.run_engine(data, WINDOW, PARAMS, BARS_PER_DAY, max_zscore_window, *crit)

    engine_run(closes[: WINDOW + 500])  # warm-up
    rss_before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    timings = []
    for _ in range(3):
        start = time.perf_counter()
        out = engine_run(closes)
        timings.append(time.perf_counter() - start)
    rss_after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    engine_seconds = min(timings)
    pair_bars = (BARS - WINDOW) * pairs
    engine_ns = engine_seconds / pair_bars * 1e9

    reference_slice = closes[: WINDOW + REFERENCE_BARS]
    start = time.perf_counter()
    ReferenceEngine(reference_slice, WINDOW, PARAMS, BARS_PER_DAY, max_zscore_window).run()
    reference_slice_seconds = time.perf_counter() - start
    reference_seconds = reference_slice_seconds * (BARS - WINDOW) / REFERENCE_BARS

    rng = np.random.default_rng(1)
    y1 = np.cumsum(rng.normal(size=DAILY_ROWS))
    y2 = 0.5 * y1 + rng.normal(size=DAILY_ROWS)
    endog = np.column_stack((y1, y2))
    calls = 200
    start = time.perf_counter()
    for _ in range(calls):
        coint_johansen(endog=endog, det_order=1, k_ar_diff=0)
    statsmodels_us = (time.perf_counter() - start) / calls * 1e6
    calls = 20000
    start = time.perf_counter()
    for _ in range(calls):
        _kernels.johansen_test(y1, y2, *crit)
    native_us = (time.perf_counter() - start) / calls * 1e6

    trades = len(out["trade_pair"])
    open_share = float(np.mean(out["positions"][WINDOW:] != 0))
    print(f"universe: {SECURITIES} securities ({pairs} pairs), {BARS} hourly bars, "
          f"{BARS_PER_DAY} bars per day, window {WINDOW} bars ({DAILY_ROWS} daily rows)")
    print(f"trades closed: {trades}; share of non-zero position cells: {open_share:.3f}")
    print(f"engine seconds: {engine_seconds:.4f}")
    print(f"reference seconds: {reference_seconds:.1f} (timed on {REFERENCE_BARS} bars: "
          f"{reference_slice_seconds:.2f} s, scaled)")
    print(f"engine ns per pair-bar: {engine_ns:.1f}")
    print(f"peak RSS growth during engine runs: {(rss_after - rss_before) / 1024:.1f} MiB "
          f"(bars x securities x 8 bytes = {BARS * SECURITIES * 8 / 2**20:.1f} MiB)")
    print(f"johansen per call: native {native_us:.2f} us, statsmodels {statsmodels_us:.1f} us, "
          f"speedup {statsmodels_us / native_us:.0f}x")
    print(f"pair-bar speedup vs reference: {reference_seconds / engine_seconds:.0f}x")
    daily_case(crit)


if __name__ == "__main__":
    main()
