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

from backtest import PARAMS as BACKTEST_PARAMS

from korvane._common.synthetic_universe import BarNoise, PriceModel, universe_table

SECURITIES = int(os.environ.get("KORVANE_BENCH_SECURITIES", "200"))
BARS = 1_500
TARGET_SECONDS = 3.0
TARGET_MIB = 1024.0

PARAMS = dict(BACKTEST_PARAMS, size_of_rolling_windows=120)


# A third of the securities follow one of five common trends with stationary
# deviations; the rest are independent random walks.
DAILY_MODEL = PriceModel(trends=5, trend_sd=0.012, persistence=0.9, shock_sd=0.008, walk_sd=0.015,
                         first_price=30.0, price_step=1.0, price_cycle=50,
                         first_loading=0.7, loading_step=0.01, loading_cycle=30)
DAILY_NOISE = BarNoise(range_sd=0.004, open_sd=0.002)


def daily_universe_table(securities, bars, seed=5):
    """A universe table of daily OHLCV bars in the factor's column layout."""
    return universe_table(securities, bars, start="2019-01-01", seed=seed, cointegrated=range(0, securities, 3),
                          names=[f"SEC{k:03d}" for k in range(securities)], model=DAILY_MODEL, noise=DAILY_NOISE)


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
