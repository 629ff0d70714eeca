"""Plain numpy oracle of the backtest accounting rules.

Written from the rules, one whole-array numpy expression per step, with no
reuse of the native code: sizing on a running equity that ignores costs,
costs on absolute traded value, an after-cost equity curve, and a bankruptcy
cut-off under which the ruinous bar loses exactly the equity left (return -1,
its money rows scaled to that loss) and every later bar is wiped from the books.
"""

import numpy as np

from korvane.utils.results._arguments import BACKTEST_ARRAYS_NAMES

# The twelve computed arrays of a split, in the order the results take them.
ARRAY_NAMES = BACKTEST_ARRAYS_NAMES[4:]


def scale_positions(raw_row, total_abs_raw, close_row, equity, pct_equity_invested, scale_to_traded):
    weights = raw_row / total_abs_raw
    raw_market_value = weights * close_row
    market_value_weights = raw_market_value / np.sum(np.abs(raw_market_value))
    scaled = market_value_weights * equity * pct_equity_invested
    if scale_to_traded:
        scaled = scaled * (np.count_nonzero(market_value_weights) / market_value_weights.shape[0])
    return scaled


def equity_step(close_row, previous_close_row, previous_units, previous_equity):
    pnl = previous_units * (close_row - previous_close_row)
    return pnl, previous_equity + np.sum(pnl)


def walk(starting_equity, pct_equity_invested, raw, close, bars, scale_to_traded):
    n = raw.shape[1]
    out = [np.zeros((bars, n)) for _ in range(5)]
    in_position = False
    equity = starting_equity
    previous_units = np.zeros(n)
    previous_close = None
    with np.errstate(all="ignore"):
        for t in range(bars):
            market_value = np.zeros(n)
            pnl = np.zeros(n)
            row = raw[t]
            total = np.sum(np.abs(row))
            close_row = close[t]
            if not in_position:
                if total != 0:
                    sizing_equity = 0.0 if equity < 0 else equity
                    market_value = scale_positions(row, total, close_row, sizing_equity, pct_equity_invested,
                                                   scale_to_traded)
                    in_position = True
            else:
                pnl, equity = equity_step(close_row, previous_close, previous_units, equity)
                if total == 0:
                    in_position = False
                else:
                    # Nothing is held on a negative equity.
                    sizing_equity = 0.0 if equity < 0 else equity
                    market_value = scale_positions(row, total, close_row, sizing_equity, pct_equity_invested,
                                                   scale_to_traded)
            units = market_value / close_row
            change = units - previous_units
            change_value = change * close_row
            previous_units = units.copy()
            previous_close = close_row.copy()
            for matrix, values in zip(out, (units, market_value, change, change_value, pnl)):
                matrix[t] = values
    return tuple(out)


def costs(change_value, spread, pct_commissions, slippage_share):
    commissions = np.abs(change_value) * pct_commissions
    slippage = np.abs(change_value)
    for column in range(change_value.shape[1]):
        slippage[:, column] = slippage[:, column] * spread[column] * slippage_share
    return commissions, slippage


def settle(pnl, positions, market_value, change, change_value, commissions, slippage, starting_equity, bars):
    after = pnl - commissions - slippage
    total = np.sum(after, axis=1)
    equity = np.cumsum(total) + starting_equity
    ruined = np.flatnonzero(equity <= 0)
    if ruined.size:
        k = ruined[0]
        left = starting_equity if k == 0 else equity[k - 1]
        capped = -left if left > 0 else 0.0
        if total[k] != capped:
            factor = capped / total[k]
            for matrix in (after, commissions, slippage, pnl):
                matrix[k] = matrix[k] * factor
            total[k] = capped
        equity[k:] = 0.0
        total[k + 1:] = 0.0
        for matrix in (after, commissions, slippage, pnl, positions, market_value, change, change_value):
            matrix[k + 1:] = 0.0
    with np.errstate(divide="ignore", invalid="ignore"):
        returns = total[1:] / equity[:-1]
    returns = np.nan_to_num(returns, nan=0.0)
    if ruined.size and ruined[0] == 0 and returns.size:
        returns[0] = -1.0
    cumprod = np.cumprod(1 + returns)
    arrays = (positions, market_value, change, change_value, pnl, commissions, slippage, after, total, equity,
              returns, cumprod)
    return dict(zip(ARRAY_NAMES, arrays))


def account_split(raw, close, spread, starting_equity, pct_equity_invested, scale_to_traded,
                  pct_commissions, slippage_share, bars):
    """The twelve computed arrays of one split, keyed like the results' keywords."""
    raw = np.asarray(raw, dtype=float)[:bars]
    close = np.asarray(close, dtype=float)[:bars]
    positions, market_value, change, change_value, pnl = walk(
        starting_equity, pct_equity_invested, raw, close, bars, scale_to_traded
    )
    commissions, slippage = costs(change_value, spread, pct_commissions, slippage_share)
    return settle(pnl, positions, market_value, change, change_value, commissions, slippage, starting_equity, bars)
