"""korvane quickstart: the statistics table of a hand-built backtest split.

Builds a `Scorebook` from the sixteen per-bar arrays of a small synthetic
backtest (two securities, one year of daily bars), prints its statistics table
and its objective score. The benchmark "VT" is downloaded with yfinance; without
internet access the table is still printed, with alpha and beta left as NaN.
"""

import numpy as np
import pandas as pd

from korvane.utils.results.scorebook import Scorebook


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
    scorebook = Scorebook(**hand_built_split())
    table = scorebook.get_full_results()
    print(table.to_string())
    objective = "stability_weighted_median_bootstrapped_cumprod_returns"
    print(f"\n{objective}: {scorebook.get_objective_score(objective=objective):.6f}")


if __name__ == "__main__":
    main()
