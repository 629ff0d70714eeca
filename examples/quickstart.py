"""korvane quickstart.

1. Builds a synthetic universe table (four securities sharing a common trend,
   hourly rows over thirteen months, UTC), constructs the pairs-trading factor
   on it at a one-hour resolution within a 13:30-20:00 UTC session on weekdays,
   and prints what the factor holds: bars, securities, intervals and spread
   estimates.
2. Builds a `Scorebook` from the sixteen per-bar arrays of a small synthetic
   backtest (two securities, one year of daily bars), prints its statistics
   table and its objective score. The benchmark "VT" is downloaded with
   yfinance; without internet access the table is still printed, with alpha and
   beta left as NaN.
"""

from datetime import time

import numpy as np
import pandas as pd

from korvane.factors.technical.pairtrader import PairsTradingSerialCointegrationFactor
from korvane.utils.results.scorebook import Scorebook


def synthetic_universe(names=("AAA", "BBB", "CCC", "DDD"), hours=396 * 24, seed=7):
    """A universe table: five columns per security, hourly rows, a UTC index.

    Every security follows one shared random-walk trend plus a mean-reverting
    deviation of its own, so every pair of them is cointegrated.
    """
    rng = np.random.default_rng(seed)
    index = pd.date_range("2024-01-01", periods=hours, freq="1h", tz="UTC")
    trend = np.cumsum(rng.normal(0.0, 0.003, hours))
    columns = {}
    for k, name in enumerate(names):
        deviation = np.zeros(hours)
        shocks = rng.normal(0.0, 0.002, hours)
        for t in range(1, hours):
            deviation[t] = 0.98 * deviation[t - 1] + shocks[t]
        close = np.exp(np.log(20.0 + 15.0 * k) + (0.8 + 0.2 * k) * trend + deviation)
        columns[f"{name}_open"] = close * (1.0 + rng.normal(0.0, 0.001, hours))
        columns[f"{name}_high"] = close * (1.0 + rng.uniform(0.0, 0.004, hours))
        columns[f"{name}_low"] = close * (1.0 - rng.uniform(0.0, 0.004, hours))
        columns[f"{name}_close"] = close
        columns[f"{name}_volume"] = rng.integers(100, 10_000, hours).astype(float)
    return pd.DataFrame(columns, index=index)


def show_factor():
    universe = synthetic_universe()
    factor = PairsTradingSerialCointegrationFactor(
        universe_name="synthetic",
        raw_OHCLV_dataframe=universe,
        resolution_in_mins=60,
        trading_hours=[(time(13, 30), time(20, 0))],
        trades_only_on_weekdays=True,
    )
    bars = factor.get_clean_dataframe()
    print("== factor constructed from a synthetic universe")
    print(f"universe table: {universe.shape[0]:,} rows x {universe.shape[1]} columns")
    print(f"securities: {factor._securities_names_list}")
    print(
        f"bars: {factor._datetime_length:,} x {factor._column_length} "
        f"from {bars.index[0]} to {bars.index[-1]} (UTC)"
    )
    print(f"minutes in a trading day: {factor._number_of_minutes_in_trading_day}")
    print(
        "bars per trading day (spread, Johansen, barrier intervals): "
        f"{factor._NEW_SPREAD_UPDATE_INTERVAL}, {factor._JOHANSEN_RESAMPLING_INTERVAL}, "
        f"{factor._TRIPLE_BARRIER_UPDATE_INTERVAL}"
    )
    print(f"largest z-score window: {factor._MAX_ZSCORE_ROLLING_WINDOW} bars")
    spreads = ", ".join(
        f"{name} {value:.5f}"
        for name, value in zip(factor._securities_names_list, factor._estimated_proportional_slippage_array)
    )
    print(f"estimated proportional spreads: {spreads}")
    print("last bars:")
    print(bars.filter(like="_close").tail(3).to_string())
    print()


def hand_built_split(days=252, starting_equity=100_000.0, seed=42):
    rng = np.random.default_rng(seed)
    bar_times = pd.bdate_range("2024-01-02", periods=days).as_unit("ns").to_numpy()
    closes = 100.0 * np.exp(np.cumsum(rng.normal(0.0002, 0.01, (days, 2)), axis=0))
    # Positions held for two weeks at a time.
    positions = np.repeat(np.round(rng.normal(0.0, 200.0, (days // 10 + 1, 2))), 10, axis=0)[:days]
    market_value = positions * closes
    change = np.diff(positions, axis=0, prepend=0.0)
    change_value = change * closes
    securities_pnl = np.vstack([np.zeros((1, 2)), positions[:-1] * np.diff(closes, axis=0)])
    commissions = 0.001 * np.abs(change_value)
    slippage = 0.0005 * np.abs(change_value)
    after_costs = securities_pnl - commissions - slippage
    total_pnl = after_costs.sum(axis=1)
    equity = starting_equity + np.cumsum(total_pnl)
    returns = total_pnl[1:] / equity[:-1]
    return dict(
        starting_equity=starting_equity,
        securities_names_list=["AAA", "BBB"],
        datetime_length=days,
        datetime_array=bar_times,
        positions_matrix_array=positions,
        positions_market_value_matrix_array=market_value,
        change_in_positions_matrix_array=change,
        change_in_positions_market_value_matrix_array=change_value,
        securities_pnl_matrix_array=securities_pnl,
        commissions_matrix_array=commissions,
        slippage_matrix_array=slippage,
        securities_pnl_after_transaction_costs_matrix_array=after_costs,
        total_pnl_after_transaction_costs_array=total_pnl,
        equity_value_array=equity,
        returns_after_transaction_costs_array=returns,
        cumprod_returns_after_transaction_costs_array=np.cumprod(1.0 + returns),
    )


def main():
    show_factor()
    print("== statistics of a hand-built backtest split")
    scorebook = Scorebook(**hand_built_split())
    table = scorebook.get_full_results()
    print(table.to_string())
    objective = "stability_weighted_median_bootstrapped_cumprod_returns"
    print(f"\n{objective}: {scorebook.get_objective_score(objective=objective):.6f}")


if __name__ == "__main__":
    main()
