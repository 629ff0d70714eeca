"""korvane quickstart: the main job end to end, offline, on a synthetic universe.

1. Build a universe table of five securities whose prices share one stochastic
   trend, so that every pair is cointegrated.
2. Construct the pairs-trading factor on all but the last few days.
3. Search its parameters with ``fit`` (a few dozen trials on two worker jobs).
4. Rerun the best parameters: print the train and test statistics table and
   save the equity plot to a PNG.
5. Feed the held-back days with ``update`` and read target weights from
   ``predict``.

Everything runs offline: the benchmark series that the statistics table
compares against is synthetic too. Files (the optimiser's study and the plot)
are written to ``examples/quickstart_output/``.
"""

import os
import time
from pathlib import Path

import matplotlib

matplotlib.use("Agg")

import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402

import korvane.utils.results.scorebook as scorebook_module  # noqa: E402
from korvane.factors.technical.pairtrader import PairsTradingSerialCointegrationFactor  # noqa: E402

SECURITIES = ["ALPHA", "BRAVO", "CHARLIE", "DELTA", "ECHO"]
N_DAYS = 1000
HELD_BACK_DAYS = 3
N_TRIALS = 36
N_JOBS = 2
REPOSITORY = Path(__file__).resolve().parent.parent
OUTPUT_DIR = REPOSITORY / "examples" / "quickstart_output"


def synthetic_universe(n_days=N_DAYS, seed=7):
    """Daily OHLCV bars on business days, in the universe-table layout.

    Each log price is a security-specific loading on one common random walk
    plus its own mean-reverting (AR(1)) deviation: any two of them have a
    stationary linear combination, which is what the factor looks for.
    """
    rng = np.random.default_rng(seed)
    index = pd.bdate_range("2019-01-01", periods=n_days, tz="UTC", name="datetime")
    trend = np.cumsum(rng.normal(0.0003, 0.012, n_days))
    columns = {}
    for k, name in enumerate(SECURITIES):
        deviation = np.zeros(n_days)
        shocks = rng.normal(0.0, 0.01, n_days)
        for t in range(1, n_days):
            deviation[t] = 0.93 * deviation[t - 1] + shocks[t]
        close = np.exp(np.log(40.0 + 15.0 * k) + (0.8 + 0.1 * k) * trend + deviation)
        half_range = np.abs(rng.normal(0.0, 0.004, n_days)) * close
        columns[f"{name}_open"] = close * (1.0 + rng.normal(0.0, 0.002, n_days))
        columns[f"{name}_high"] = close + half_range
        columns[f"{name}_low"] = close - half_range
        columns[f"{name}_close"] = close
        columns[f"{name}_volume"] = rng.integers(50_000, 150_000, n_days).astype(float)
    return pd.DataFrame(columns, index=index)


class OfflineBenchmark:
    """Stands in for yfinance: daily closes of a smooth synthetic benchmark.

    The results report compares returns with a downloaded benchmark; this
    keeps the demo offline. Columns follow yfinance 1.x: (Price, Ticker).
    """

    @staticmethod
    def download(tickers, start=None, end=None, progress=True, **kwargs):
        names = [tickers] if isinstance(tickers, str) else list(tickers)
        start = pd.Timestamp(start).tz_localize(None).normalize()
        end = pd.Timestamp(end).tz_localize(None).normalize()
        index = pd.bdate_range(start, end - pd.Timedelta(days=1), name="Date")
        days = (index - pd.Timestamp("2000-01-03")).days.to_numpy()
        close = 100.0 * np.exp(0.0002 * days + 0.02 * np.sin(days / 30.0))
        frame = pd.DataFrame(
            {(field, name): close for field in ("Close", "High", "Low", "Open") for name in names}, index=index
        )
        for name in names:
            frame[("Volume", name)] = 1e6
        frame.columns = pd.MultiIndex.from_tuples(frame.columns, names=["Price", "Ticker"])
        return frame


def main():
    started = time.perf_counter()
    OUTPUT_DIR.mkdir(exist_ok=True)
    os.chdir(OUTPUT_DIR)
    scorebook_module.yf = OfflineBenchmark()

    universe = synthetic_universe()
    history, new_bars = universe.iloc[:-HELD_BACK_DAYS], universe.iloc[-HELD_BACK_DAYS:]
    print(f"universe: {len(SECURITIES)} securities x {len(history)} daily bars "
          f"({history.index[0].date()} .. {history.index[-1].date()}), {HELD_BACK_DAYS} days held back")

    factor = PairsTradingSerialCointegrationFactor(
        universe_name="quickstart_synthetic",
        raw_OHCLV_dataframe=history,
        resolution_in_mins=1440,
        trading_hours=[],
        trades_only_on_weekdays=True,
        securities_names_list=list(SECURITIES),
        objective="annual_sharpe_ratio",
    )
    factor.erase_fit_memory()  # start from an empty study on every run of the demo

    factor.fit(n_trials_to_estimate_params=N_TRIALS, n_jobs=N_JOBS)

    results = factor.get_full_backtest_results()
    print("\nstatistics of the best parameters (train, test and the two together):")
    results.plot_full_results()
    plot_path = OUTPUT_DIR / "quickstart_equity.png"
    plt.gcf().savefig(plot_path, dpi=80)
    plt.close("all")
    print(f"equity plot saved to {plot_path.relative_to(REPOSITORY)}")

    factor.update(new_bars)
    weights = factor.predict()
    print(f"\ntarget weights after {HELD_BACK_DAYS} new bars (absolute weights sum to 1 when any pair trades):")
    print(weights.round(4).to_string())
    print(f"\nquickstart finished in {time.perf_counter() - started:.1f} s")


if __name__ == "__main__":
    main()
