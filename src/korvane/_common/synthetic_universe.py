"""Synthetic universes: price paths with known cointegration, as close matrices or universe tables.

Every security's log close starts at the log of its price level. A
cointegrated security adds a loading on one of a few common random-walk
trends and its own stationary AR(1) deviation, so any two of them on the same
trend have a stationary linear combination; any other security is an
independent random walk. A universe table dresses each close in open, high,
low and volume bars, in the factor's ``<name>_<field>`` column layout.

The draws are made in a fixed order from one seeded generator (the trends,
then each security in turn: its close, then its bars), so a given seed and
model always give the same numbers.
"""

from dataclasses import dataclass

import numpy as np
import pandas as pd

FIELDS = ("open", "high", "low", "close", "volume")


@dataclass(frozen=True)
class PriceModel:
    """How the log closes are drawn; security ``k`` uses the ``k``-th level and loading.

    The price level of security ``k`` is ``first_price + price_step * k`` and
    its trend loading ``first_loading + loading_step * k``; a ``*_cycle``
    replaces ``k`` there by ``k % cycle``. A cointegrated security follows
    trend ``k % trends``. The independent walks take their levels from
    ``walk_first_price`` and ``walk_price_step`` when these are set.
    """

    trends: int = 1
    trend_drift: float = 0.0
    trend_sd: float = 0.01
    persistence: float = 0.9
    shock_sd: float = 0.01
    walk_sd: float = 0.01
    first_price: float = 50.0
    price_step: float = 10.0
    price_cycle: int | None = None
    first_loading: float = 1.0
    loading_step: float = 0.1
    loading_cycle: int | None = None
    walk_first_price: float | None = None
    walk_price_step: float | None = None

    def price(self, k, cointegrated=True):
        if not cointegrated and self.walk_first_price is not None:
            return self.walk_first_price + self.walk_price_step * k
        return self.first_price + self.price_step * (k if self.price_cycle is None else k % self.price_cycle)

    def loading(self, k):
        return self.first_loading + self.loading_step * (k if self.loading_cycle is None else k % self.loading_cycle)


@dataclass(frozen=True)
class BarNoise:
    """How the bars around a close are drawn: a high-low half range, an open off the close, a volume."""

    range_sd: float = 0.002
    open_sd: float = 0.001
    volume_low: int = 1_000
    volume_high: int = 10_000


def _cointegrated_set(cointegrated, n_securities):
    if cointegrated is True:
        return range(n_securities)
    if cointegrated is False:
        return range(0)
    return cointegrated


def _closes(rng, n_securities, n_bars, model, cointegrated):
    """Yields each security's closes in turn, drawing from ``rng`` as it goes."""
    cointegrated = _cointegrated_set(cointegrated, n_securities)
    trends = np.cumsum(rng.normal(model.trend_drift, model.trend_sd, (model.trends, n_bars)), axis=1)
    for k in range(n_securities):
        level = np.log(model.price(k, k in cointegrated))
        if k in cointegrated:
            shocks = rng.normal(0.0, model.shock_sd, n_bars)
            deviation = np.zeros(n_bars)
            for t in range(1, n_bars):
                deviation[t] = model.persistence * deviation[t - 1] + shocks[t]
            log_close = level + model.loading(k) * trends[k % model.trends] + deviation
        else:
            log_close = level + np.cumsum(rng.normal(0.0, model.walk_sd, n_bars))
        yield np.exp(log_close)


def _bar_columns(name, close, rng, noise):
    n_bars = len(close)
    half_range = np.abs(rng.normal(0.0, noise.range_sd, n_bars)) * close
    return {
        f"{name}_open": close * (1.0 + rng.normal(0.0, noise.open_sd, n_bars)),
        f"{name}_high": close + half_range,
        f"{name}_low": close - half_range,
        f"{name}_close": close,
        f"{name}_volume": rng.integers(noise.volume_low, noise.volume_high, n_bars).astype(float),
    }


def _names(names, n_securities):
    return list(names) if names is not None else [f"S{k}" for k in range(n_securities)]


def close_matrix(n_securities, n_bars, seed, model=PriceModel(), cointegrated=True):
    """Closes only, one column a security (bars x securities).

    ``cointegrated`` is True (every security), False (none) or the positions
    of the cointegrated securities (a ``range`` reads well: ``range(5)``,
    ``range(0, n, 3)``).
    """
    rng = np.random.default_rng(seed)
    closes = np.empty((n_bars, n_securities))
    for k, close in enumerate(_closes(rng, n_securities, n_bars, model, cointegrated)):
        closes[:, k] = close
    return closes


def universe_table(
    n_securities=3,
    n_bars=400,
    freq="1D",
    start="2020-01-01",
    tz="UTC",
    seed=0,
    cointegrated=True,
    names=None,
    model=PriceModel(),
    noise=BarNoise(),
    index_name=None,
):
    """A universe table: five columns per security, a DatetimeIndex of ``n_bars`` stamps.

    Securities are named ``names`` or ``S0``, ``S1``, ...; ``cointegrated`` as
    in ``close_matrix``. Each security's bars are drawn right after its closes.
    """
    rng = np.random.default_rng(seed)
    names = _names(names, n_securities)
    index = pd.date_range(start, periods=n_bars, freq=freq, tz=tz, name=index_name)
    columns = {}
    for name, close in zip(names, _closes(rng, len(names), n_bars, model, cointegrated)):
        columns.update(_bar_columns(name, close, rng, noise))
    return pd.DataFrame(columns, index=index)


# A strategy parameter set that trades on the cointegrated daily universes of
# ``universe_table``'s default model; random draws from the search space mostly do not.
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


def table_around(closes, index, names, seed, noise=BarNoise()):
    """A universe table around given closes (bars x securities), its bars drawn from a fresh generator."""
    rng = np.random.default_rng(seed)
    columns = {}
    for k, name in enumerate(names):
        columns.update(_bar_columns(name, closes[:, k], rng, noise))
    return pd.DataFrame(columns, index=index)
