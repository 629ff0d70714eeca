"""The proportional spread estimate against an independent computation.

The oracle cleans the table with pandas' own resampling (reference_cleaning),
re-cleans it into trading-day rows, and takes for each security twice the
root mean square of (log close - log mid) over the dates that the estimate
uses: the first N dates of the close series, without the mid series' first
date and without its dates from position N-1 on (N = bars held). Tolerance:
rtol 1e-10.
"""

from datetime import time

import numpy as np
import pandas as pd
import pytest

from korvane._common.synthetic_universe import universe_table
from korvane.factors.technical.pairtrader import PairsTradingSerialCointegrationFactor as Factor

from factor.construction.reference_cleaning import reference_clean


def carried_logs(values):
    """Logs with infinities and invalid values treated as missing and carried forward; leading missing stay NaN."""
    with np.errstate(divide="ignore", invalid="ignore"):
        logs = values.copy()
    logs[~np.isfinite(logs)] = np.nan
    for k in range(1, len(logs)):
        if np.isnan(logs[k]):
            logs[k] = logs[k - 1]
    return logs


def independent_estimate(table, resolution, hours, weekdays, names, minutes):
    bars = reference_clean(table, resolution, hours, weekdays)
    n = len(bars)
    daily = reference_clean(bars, minutes, hours, weekdays)
    estimates = []
    for name in names:
        with np.errstate(divide="ignore", invalid="ignore"):
            close = carried_logs(np.log(daily[name + "_close"].to_numpy()))
            mid = carried_logs(np.log(daily[name + "_high"].to_numpy()) + np.log(daily[name + "_low"].to_numpy())) * 0.5
        close_start = int(np.argmax(~np.isnan(close)))
        mid_start = int(np.argmax(~np.isnan(mid)))
        positions = np.arange(len(daily))
        used = (
            (positions >= close_start)
            & (positions < close_start + n)
            & (positions >= mid_start + 1)
            & (positions < mid_start + n - 1)
        )
        distances = close[used] - mid[used]
        estimates.append(2 * np.sqrt(np.mean(distances**2)) if used.any() else np.nan)
    return np.array(estimates)


def widened(table, rng):
    """Give each bar a realistic high-low range around the close."""
    table = table.copy()
    for name in {c.rsplit("_", 1)[0] for c in table.columns}:
        close = table[name + "_close"]
        table[name + "_high"] = close * (1 + rng.uniform(0.001, 0.02, len(table)))
        table[name + "_low"] = close * (1 - rng.uniform(0.001, 0.02, len(table)))
    return table


def test_daily_estimate_with_zero_prices():
    rng = np.random.default_rng(2)
    table = widened(universe_table(n_securities=3, n_bars=300, seed=4), rng)
    table.iloc[5, table.columns.get_loc("S1_close")] = 0.0  # carried over from the day before
    table.iloc[0, table.columns.get_loc("S2_close")] = 0.0  # leaves the close series
    table.iloc[7, table.columns.get_loc("S0_low")] = 0.0
    factor = Factor("u", table, 1440, [], False)
    want = independent_estimate(table, 1440, [], False, ["S0", "S1", "S2"], 1440)
    np.testing.assert_allclose(factor._estimated_proportional_slippage_array, want, rtol=1e-10)
    assert (want > 0.001).all()


def test_bars_longer_than_a_day_use_only_the_first_n_days():
    rng = np.random.default_rng(3)
    table = widened(universe_table(n_securities=2, n_bars=260, seed=5), rng)
    factor = Factor("u", table, 2880, [], False)
    assert factor._datetime_length == 130
    want = independent_estimate(table, 2880, [], False, ["S0", "S1"], 1440)
    np.testing.assert_allclose(factor._estimated_proportional_slippage_array, want, rtol=1e-10)


def test_intraday_estimate_with_trading_hours_and_weekdays():
    # 5-minute rows over 380 calendar days, a 13:30-20:00 UTC session, weekdays only.
    rng = np.random.default_rng(9)
    index = pd.date_range("2023-01-02", periods=380 * 288, freq="5min", tz="America/New_York")
    columns = {}
    for k in range(2):
        close = 40.0 * np.exp(np.cumsum(rng.normal(0, 0.001, len(index))))
        columns[f"S{k}_open"] = close
        columns[f"S{k}_high"] = close * (1 + rng.uniform(0, 0.003, len(index)))
        columns[f"S{k}_low"] = close * (1 - rng.uniform(0, 0.003, len(index)))
        columns[f"S{k}_close"] = close
        columns[f"S{k}_volume"] = rng.integers(1, 100, len(index)).astype(float)
    table = pd.DataFrame(columns, index=index)
    hours = [(time(13, 30), time(20))]
    factor = Factor("u", table, 5, hours, True)
    assert factor._number_of_minutes_in_trading_day == 390
    want = independent_estimate(table, 5, hours, True, ["S0", "S1"], 390)
    np.testing.assert_allclose(factor._estimated_proportional_slippage_array, want, rtol=1e-10)


def test_estimate_is_nan_over_no_dates():
    factor = Factor("u", universe_table(n_securities=2, n_bars=300), 1440, [], False)
    one_day = factor.get_clean_dataframe().iloc[:1].tz_localize("UTC")
    factor._datetime_length = 1
    estimate = factor._estimate_proportional_spread_for_slippage(one_day, [], False, ["S0", "S1"], 2)
    assert estimate.dtype == np.float64 and np.isnan(estimate).all()
    with pytest.raises(KeyError):
        factor._estimate_proportional_spread_for_slippage(one_day, [], False, ["S0", "X"], 2)
