"""Plain-Python reference of the pairs engine's rules.

Written the slow, obvious way: per-pair dictionaries, statsmodels' Johansen
test, scikit-learn's regression and numpy's statistics on every call, one bar
and one pair at a time. The native engine must take the same discrete
decisions (verdicts, countdowns, entries, exits, labels, trade records) and
produce the same values within the kernels' tolerances.

Deliberate rules: inclusive barrier comparisons, a barrier resizing countdown
that carries over to the pair's next trade, re-estimation only for a flat pair
once its daily countdown has run out, unnormalised hedge ratios. Safeguards:
fewer than six daily rows (or a non-finite statistic or eigenvalue) fail the
Johansen test; the z-score window is cut to the spread's length; a trade's
return is relative to the absolute entry value, and 0.0 for an entry value
of 0.
"""

import math
from itertools import combinations

import numpy as np
from sklearn.linear_model import LinearRegression
from statsmodels.tsa.vector_ar.vecm import coint_johansen

MINIMUM_DAILY_ROWS = 6


def hedge_ratio_from_johansen(log_close_1, log_close_2, bars_per_day):
    resampled_1 = log_close_1[::bars_per_day][1:]
    resampled_2 = log_close_2[::bars_per_day][1:]
    if len(resampled_1) < MINIMUM_DAILY_ROWS:
        return 0.0, 0.0, False
    try:
        with np.errstate(invalid="ignore", divide="ignore"):
            result = coint_johansen(
                endog=np.column_stack((resampled_1, resampled_2)), det_order=1, k_ar_diff=0
            )
        hedge_ratio_1 = float(result.evec[:, 0][0])
        hedge_ratio_2 = float(result.evec[:, 0][1])
        eigen_statistic = float(result.max_eig_stat[0])
        eigen_critical = float(result.max_eig_stat_crit_vals[0][0])
        trace_statistic = float(result.lr1[0])
        trace_critical = float(result.cvt[0][0])
        if not (np.all(np.isfinite(result.eig)) and math.isfinite(eigen_statistic)
                and math.isfinite(trace_statistic)):
            return 0.0, 0.0, False
        verdict = eigen_statistic >= eigen_critical and trace_statistic >= trace_critical
        return hedge_ratio_1, hedge_ratio_2, bool(verdict)
    except Exception:
        return 0.0, 0.0, False


def halflife_slope(spread):
    lagged = spread[: len(spread) - 1]
    change = spread[1:] - lagged
    reg = LinearRegression()
    reg.fit(lagged.reshape(-1, 1), change)
    return float(reg.coef_[0])


def halflife_from_spread(is_cointegrated, size_of_rolling_windows, spread):
    if not is_cointegrated:
        return 0
    try:
        with np.errstate(divide="ignore"):
            quotient = np.log(2) / np.float64(halflife_slope(spread[:size_of_rolling_windows]))
        halflife = -int(quotient)
        if not -(2**63) <= halflife < 2**63:
            return 0
        return halflife
    except Exception:
        return 0


def zscore_for_pair(params, is_cointegrated, halflife, spread, minimum_window, maximum_window):
    n = len(spread)
    current_value = float(spread[n - 1])
    window = int(params["zscore_halflife_multiplier"] * halflife)
    window = max(window, minimum_window)
    if halflife > 0 and window <= maximum_window and is_cointegrated:
        used = min(window, n)
        values = spread[n - used:n]
        std = float(np.std(values))
        mean = float(np.mean(values))
        zscore = (current_value - mean) / std if std > 0 else 0.0
        return zscore, current_value, std, mean
    return 0.0, current_value, 0.0, 0.0


def volatility_multiplier(params, spread, halflife):
    try:
        length = len(spread)
        window = int(params["rolling_volatility_halflife_multiplier"] * halflife)
        window = min(window, length - 30)
        window = max(window, 2)
        stds = np.std(np.lib.stride_tricks.sliding_window_view(spread, window), axis=1)
        mean = np.mean(stds)
        if mean > 0:
            return float(1 + stds[-1] / mean)
        return 1.0
    except Exception:
        return 0.0


def set_triple_barrier(state, params, position, value, std, halflife, multiplier):
    sign = np.sign(position)
    state["take_profit"] = value + (
        (params["take_profit_std_multiplier"] * std)
        * (params["take_profit_current_volatility_multiplier_sensitivity_at_time_of_entry"] * multiplier)
    ) * sign
    state["stop_loss"] = value - (
        (params["stop_loss_std_multiplier"] * std)
        * (params["stop_loss_current_volatility_multiplier_sensitivity_at_time_of_entry"] * multiplier)
    ) * sign
    state["time_stop"] = params["time_stop_halflife_multiplier"] * halflife
    state["entry_value"] = value
    state["entry_std"] = std


def update_triple_barrier(state, params, position, multiplier_fn, interval):
    countdown = int(state["adjustment_countdown"])
    if countdown <= 0:
        sign = np.sign(position)
        multiplier = multiplier_fn()
        state["take_profit"] = state["entry_value"] + (
            (params["take_profit_std_multiplier"] * state["entry_std"])
            * (params["take_profit_current_volatility_multiplier_sensitivity_at_adjustment"] * multiplier)
        ) * sign
        state["stop_loss"] = state["entry_value"] - (
            (params["stop_loss_std_multiplier"] * state["entry_std"])
            * (params["stop_loss_current_volatility_multiplier_sensitivity_at_adjustment"] * multiplier)
        ) * sign
        state["adjustment_countdown"] = interval
    else:
        state["adjustment_countdown"] = countdown - 1
    state["time_stop"] = float(state["time_stop"]) - 1 * params["time_stop_adjustment_sensitivity"]


def check_triple_barrier(state, position, value):
    """(new position, label or None, return)."""
    p = float(position)
    entry = state["entry_value"]
    scale = abs(entry)

    def returns(gain):
        return gain / scale if scale != 0 else 0.0

    if p > 0:
        r = returns(value - entry)
        if value >= state["take_profit"]:
            return 0.0, 1, r
        if value <= state["stop_loss"]:
            return 0.0, 0, r
        if state["time_stop"] <= 0:
            return 0.0, 1 if r > 0 else 0, r
    elif p < 0:
        r = returns(entry - value)
        if value <= state["take_profit"]:
            return 0.0, 1, r
        if value >= state["stop_loss"]:
            return 0.0, 0, r
        if state["time_stop"] <= 0:
            return 0.0, 1 if r > 0 else 0, r
    return p, None, 0.0


# A NaN barrier setting or volatility multiplier leaves an exit rule undefined,
# so such a parameter set never enters.
_EXIT_PARAMETER_MARKERS = ("take_profit", "stop_loss", "time_stop", "rolling_volatility")


def _exits_defined(params):
    return not any(
        math.isnan(value) for key, value in params.items() if key.startswith(_EXIT_PARAMETER_MARKERS)
    )


class ReferenceEngine:
    """The backtest loop on a bars x securities close matrix.

    ``entry_hook(pair_index, bar, h1, h2) -> (refused, token)`` plays the
    feature generator and classifier gate; trade times are bar indices.
    """

    def __init__(self, closes, window, params, bars_per_day, max_zscore_window,
                 min_zscore_window=30, entry_hook=None):
        self.closes = np.asarray(closes, dtype=float)
        self.window = window
        self.params = params
        self.k = bars_per_day
        self.max_zscore_window = max_zscore_window
        self.min_zscore_window = min_zscore_window
        self.entry_hook = entry_hook
        n = self.closes.shape[1]
        self.pairs = list(combinations(range(n), 2))
        self.reset()

    def reset(self):
        self.hedge_ratios = {p: (0.0, 0.0) for p in self.pairs}
        self.is_cointegrated = {p: False for p in self.pairs}
        self.halflife = {p: 0 for p in self.pairs}
        self.position = {p: 0 for p in self.pairs}
        self.countdown = {p: 0 for p in self.pairs}
        self.barrier = {p: {"take_profit": 0, "stop_loss": 0, "time_stop": 0, "entry_value": 0,
                            "entry_std": 0, "adjustment_countdown": 0} for p in self.pairs}
        self.refused = {p: False for p in self.pairs}
        self.record = {p: None for p in self.pairs}
        self.trades = []
        self.trace = []

    def run(self):
        rows, n = self.closes.shape
        W = self.window
        positions = np.zeros((rows, n))
        for i in range(W, rows):
            window = self.closes[i - W:i]
            positions[i] = self.step(window, i)
        return positions

    def step(self, window, bar):
        W = self.window
        row = np.zeros(window.shape[1])
        bar_trace = []
        for index, pair in enumerate(self.pairs):
            a, b = pair
            log_1 = np.log(window[:, a])
            log_2 = np.log(window[:, b])
            if self.position[pair] == 0 and self.countdown[pair] <= 0:
                h1, h2, verdict = hedge_ratio_from_johansen(log_1, log_2, self.k)
                self.is_cointegrated[pair] = verdict
                spread = h1 * log_1 + h2 * log_2
                halflife = halflife_from_spread(verdict, W, spread)
                self.countdown[pair] = self.k
            else:
                self.countdown[pair] = self.countdown[pair] - 1
                h1, h2 = self.hedge_ratios[pair]
                spread = h1 * log_1 + h2 * log_2
                halflife = self.halflife[pair]
            self.hedge_ratios[pair] = (h1, h2)
            self.halflife[pair] = halflife

            zscore, value, std, _ = zscore_for_pair(
                self.params, self.is_cointegrated[pair], halflife, spread,
                self.min_zscore_window, self.max_zscore_window)
            reported = self._spread_position(index, pair, bar, zscore, value, std, halflife, spread)
            if reported != 0:
                row[a] += reported * h1 * window[W - 1, b]
                row[b] += reported * h2 * window[W - 1, a]
            bar_trace.append((self.is_cointegrated[pair], self.countdown[pair], halflife,
                              self.position[pair], reported, h1, h2, zscore, value))
        self.trace.append(bar_trace)
        return row

    def _spread_position(self, index, pair, bar, zscore, value, std, halflife, spread):
        params = self.params
        position = int(self.position[pair])
        state = self.barrier[pair]
        entry = np.abs(zscore) > params["starting_sd_for_position_entry"] and position == 0
        if entry and _exits_defined(params):
            token = -1
            if self.entry_hook is not None:
                refused, token = self.entry_hook(index, bar, *self.hedge_ratios[pair])
                if refused:
                    self.refused[pair] = True
            position = int(-np.sign(zscore))
            self.position[pair] = position
            set_triple_barrier(state, params, position, value, std, halflife,
                               volatility_multiplier(params, spread, halflife))
            if not self.refused[pair]:
                self.record[pair] = {"time_of_entry": bar, "trade_securities": pair, "token": token}
        elif position != 0:
            update_triple_barrier(state, params, position,
                                  lambda: volatility_multiplier(params, spread, halflife),
                                  self.k)
            new_position, label, returns = check_triple_barrier(state, position, value)
            position = int(new_position)
            self.position[pair] = position
            if position == 0:
                if self.refused[pair]:
                    self.refused[pair] = False
                else:
                    record = dict(self.record[pair])
                    record.update(time_of_exit=bar, trade_label=label, trade_returns=returns)
                    self.trades.append(record)
        return 0 if self.refused[pair] else position
