"""One optimiser trial on a large daily universe: seconds and peak memory.

Universe: 200 securities (19,900 pairs) x 1,500 daily bars, a third of them
cointegrated around common trends, the rest independent random walks. The
trial is the whole objective a fit runs: the backtest loop, the train/test
split and the accounting into a scored ``Scorebook``. Targets: at most 3 s
and 1 GiB of peak resident memory; the ratios printed are against them.
Set KORVANE_BENCH_SECURITIES to try another size.
"""

import logging
import os
import resource
import sys
import time

import numpy as np
import pandas as pd
from backtest import PARAMS as BACKTEST_PARAMS

SECURITIES = int(os.environ.get("KORVANE_BENCH_SECURITIES", "200"))
BARS = 1_500
TARGET_SECONDS = 3.0
TARGET_MIB = 1024.0

PARAMS = dict(BACKTEST_PARAMS, size_of_rolling_windows=120)


def daily_universe_table(securities, bars, seed=5):
    """A universe table of daily OHLCV bars in the factor's column layout."""
    rng = np.random.default_rng(seed)
    index = pd.date_range("2019-01-01", periods=bars, freq="1D", tz="UTC")
    trends = np.cumsum(rng.normal(0.0, 0.012, (5, bars)), axis=1)
    columns = {}
    for k in range(securities):
        if k % 3 == 0:
            deviation = np.zeros(bars)
            shocks = rng.normal(0.0, 0.008, bars)
            for t in range(1, bars):
                deviation[t] = 0.9 * deviation[t - 1] + shocks[t]
            log_close = np.log(30.0 + k % 50) + (0.7 + 0.01 * (k % 30)) * trends[k % 5] + deviation
        else:
            log_close = np.log(30.0 + k % 50) + np.cumsum(rng.normal(0.0, 0.015, bars))
        close = np.exp(log_close)
        half_range = np.abs(rng.normal(0.0, 0.004, bars)) * close
        name = f"SEC{k:03d}"
        columns[f"{name}_open"] = close * (1.0 + rng.normal(0.0, 0.002, bars))
        columns[f"{name}_high"] = close + half_range
        columns[f"{name}_low"] = close - half_range
        columns[f"{name}_close"] = close
        columns[f"{name}_volume"] = rng.integers(1_000, 10_000, bars).astype(float)
    return pd.DataFrame(columns, index=index)


def make_daily_factor(universe, name):
    from korvane.factors.technical.pairtrader import PairsTradingSerialCointegrationFactor

    return PairsTradingSerialCointegrationFactor(
        universe_name=name, raw_OHCLV_dataframe=universe, resolution_in_mins=1440,
        trading_hours=[], trades_only_on_weekdays=False, securities_names_list=[],
    )


def trial_with(params):
    import optuna

    study = optuna.create_study(direction="maximize")
    study.enqueue_trial(params)
    return study.ask()


def main():
    logging.getLogger(" ").setLevel(logging.WARNING)
    universe = daily_universe_table(SECURITIES, BARS)
    factor = make_daily_factor(universe, "bench_large")
    run = factor.__run_pairs_trading_serial_cointegration_factor
    rss_before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0
    timings = []
    for _ in range(2):
        trial = trial_with(PARAMS)
        started = time.perf_counter()
        run(trial)
        timings.append(time.perf_counter() - started)
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0
    pairs = SECURITIES * (SECURITIES - 1) // 2
    seconds = min(timings)
    print(f"large universe: {SECURITIES} securities ({pairs} pairs) x {BARS} daily bars, "
          f"W = {PARAMS['size_of_rolling_windows']}, trades stored: {len(factor._rarav_trades_store_dict)}")
    print(f"one trial: {seconds:.2f} s (runs {', '.join(f'{t:.2f}' for t in timings)}; "
          f"ratio to the {TARGET_SECONDS:.0f} s target {seconds / TARGET_SECONDS:.2f}); "
          f"{1e9 * seconds / (pairs * (BARS - PARAMS['size_of_rolling_windows'])):.0f} ns per pair-bar")
    print(f"peak RSS: {peak:.0f} MiB (before the trials {rss_before:.0f} MiB; ratio to the "
          f"1 GiB target {peak / TARGET_MIB:.2f}); load average {os.getloadavg()[0]:.1f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
