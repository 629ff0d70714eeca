"""Plain pandas oracle of the bar cleaning rules.

Prices keep the last value of each bar and volumes the sum, each half is
forward-filled and loses its incomplete leading bars, the halves are joined
again in the table's column order, then bars outside the trading hours (read
on the UTC clock; none filtered at exactly 1440 minutes) and, when asked,
weekend bars (read in the table's own zone) are dropped.
"""

import numpy as np
import pandas as pd

PRICE_SUFFIXES = ("_open", "_high", "_close", "_low")


def reference_resample(table, resolution_in_mins):
    # Whole-day bars are calendar days of the index's zone (pandas' "D" rule);
    # shorter bars are fixed spans of minutes.
    if resolution_in_mins % 1440 == 0:
        rule = f"{resolution_in_mins // 1440}D"
    else:
        rule = f"{resolution_in_mins}min"
    columns = list(table.columns)
    prices = [c for c in columns if c.endswith(PRICE_SUFFIXES)]
    volumes = [c for c in columns if c.endswith("_volume")]
    price_half = table[prices].resample(rule).last().ffill().dropna()
    volume_half = table[volumes].resample(rule).sum().ffill().dropna()
    joined = pd.merge(price_half, volume_half, how="outer", left_index=True, right_index=True)
    return joined.ffill().dropna()[columns]


def reference_time_mask(utc_times, trading_hours):
    times_of_day = pd.DatetimeIndex(utc_times).time
    if not trading_hours:
        return np.ones(len(utc_times), dtype=bool)
    mask = np.zeros(len(utc_times), dtype=bool)
    for start, end in trading_hours:
        if end > start:
            mask |= np.array([start <= t < end for t in times_of_day], dtype=bool)
        else:
            mask |= np.array([t >= start or t < end for t in times_of_day], dtype=bool)
    return mask


def reference_clean(table, resolution_in_mins, trading_hours, trades_only_on_weekdays):
    cleaned = reference_resample(table, resolution_in_mins)
    if resolution_in_mins != 1440:
        utc = cleaned.index.tz_convert("UTC").tz_localize(None)
        cleaned = cleaned[reference_time_mask(utc, trading_hours)]
    if trades_only_on_weekdays:
        cleaned = cleaned[cleaned.index.day_of_week <= 4]
    return cleaned
