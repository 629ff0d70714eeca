"""Hand-built backtest splits for the results tests."""

import numpy as np
import pandas as pd

from korvane.utils.results.scorebook import Scorebook


def backtest_arrays(
    total_pnl,
    bar_times,
    starting_equity=100_000.0,
    securities=("AAA", "BBB"),
    seed=0,
):
    """The sixteen constructor values of a split with the given per-bar pnl."""
    total_pnl = np.asarray(total_pnl, dtype=np.float64)
    bar_times = pd.DatetimeIndex(bar_times).as_unit("ns").to_numpy()
    bars = len(total_pnl)
    names = list(securities)
    rng = np.random.default_rng(seed)

    def matrix():
        return rng.normal(0.0, 10.0, (bars, len(names)))

    equity = starting_equity + np.cumsum(total_pnl)
    with np.errstate(divide="ignore", invalid="ignore"):
        # After a bankruptcy (zero equity) nothing more is earned: 0, not 0/0.
        returns = np.nan_to_num(total_pnl[1:] / equity[:-1], nan=0.0, posinf=0.0, neginf=0.0)
    return dict(
        starting_equity=starting_equity,
        securities_names_list=names,
        datetime_length=bars,
        datetime_array=bar_times,
        positions_matrix_array=matrix(),
        positions_market_value_matrix_array=matrix(),
        change_in_positions_matrix_array=matrix(),
        change_in_positions_market_value_matrix_array=matrix(),
        securities_pnl_matrix_array=matrix(),
        commissions_matrix_array=np.abs(matrix()),
        slippage_matrix_array=np.abs(matrix()),
        securities_pnl_after_transaction_costs_matrix_array=matrix(),
        total_pnl_after_transaction_costs_array=total_pnl,
        equity_value_array=equity,
        returns_after_transaction_costs_array=returns,
        cumprod_returns_after_transaction_costs_array=np.cumprod(1.0 + returns),
    )


def daily_scorebook(days=120, start="2024-01-02", seed=0, drift=40.0, scale=900.0, **kwargs):
    """A split of `days` daily bars (business days) with random pnl."""
    rng = np.random.default_rng(seed)
    bar_times = pd.bdate_range(start, periods=days)
    pnl = rng.normal(drift, scale, days)
    return Scorebook(**backtest_arrays(pnl, bar_times, seed=seed, **kwargs))


def random_daily_returns(days, seed=0, scale=0.01):
    """A daily returns Series with a calendar-day index."""
    rng = np.random.default_rng(seed)
    index = pd.date_range("2024-01-02", periods=days, freq="D")
    return pd.Series(rng.normal(0.0005, scale, days), index=index)
