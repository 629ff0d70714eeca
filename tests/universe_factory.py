"""Synthetic universe tables for tests."""

import numpy as np
import pandas as pd

FIELDS = ("open", "high", "low", "close", "volume")


def make_universe(
    n_securities=3,
    n_bars=400,
    freq="1D",
    start="2020-01-01",
    tz="UTC",
    seed=0,
    cointegrated=True,
    names=None,
):
    """A universe table: five columns per security, a tz-aware DatetimeIndex.

    With ``cointegrated`` the securities share one random-walk trend plus a
    stationary (AR(1)) deviation each, so every pair is cointegrated; without
    it each security is an independent random walk.
    """
    rng = np.random.default_rng(seed)
    names = list(names) if names is not None else [f"S{k}" for k in range(n_securities)]
    index = pd.date_range(start, periods=n_bars, freq=freq, tz=tz)
    trend = np.cumsum(rng.normal(0.0, 0.01, n_bars))
    columns = {}
    for k, name in enumerate(names):
        if cointegrated:
            deviation = np.zeros(n_bars)
            shocks = rng.normal(0.0, 0.01, n_bars)
            for t in range(1, n_bars):
                deviation[t] = 0.9 * deviation[t - 1] + shocks[t]
            log_close = np.log(50.0 + 10.0 * k) + (1.0 + 0.1 * k) * trend + deviation
        else:
            log_close = np.log(50.0 + 10.0 * k) + np.cumsum(rng.normal(0.0, 0.01, n_bars))
        close = np.exp(log_close)
        spread = np.abs(rng.normal(0.0, 0.002, n_bars)) * close
        columns[f"{name}_open"] = close * (1.0 + rng.normal(0.0, 0.001, n_bars))
        columns[f"{name}_high"] = close + spread
        columns[f"{name}_low"] = close - spread
        columns[f"{name}_close"] = close
        columns[f"{name}_volume"] = rng.integers(1_000, 10_000, n_bars).astype(float)
    return pd.DataFrame(columns, index=index)


# A strategy parameter set that trades on the cointegrated daily universes above;
# random draws from the search space mostly do not.
TRADING_PARAMS = {
    "size_of_rolling_windows": 60,
    "zscore_halflife_multiplier": 2.0,
    "starting_sd_for_position_entry": 1,
    "rolling_volatility_halflife_multiplier": 1.0,
    "take_profit_std_multiplier": 1.0,
    "take_profit_current_volatility_multiplier_sensitivity_at_time_of_entry": 1.0,
    "take_profit_current_volatility_multiplier_sensitivity_at_adjustment": 1.0,
    "stop_loss_std_multiplier": 3.0,
    "stop_loss_current_volatility_multiplier_sensitivity_at_time_of_entry": 1.0,
    "stop_loss_current_volatility_multiplier_sensitivity_at_adjustment": 1.0,
    "time_stop_halflife_multiplier": 3.0,
    "time_stop_adjustment_sensitivity": 1.0,
}
