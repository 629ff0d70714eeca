"""Closes that can price a position.

A close that is missing, not finite, zero or negative is no price: a halted
security or a gap in a live feed leaves one missing, and a security that was
not yet listed is often filled with 0. The engine and the accounting both see
such a close as the security's last valid close, so that a position is held
and marked there instead of every later weight, money total and statistic
becoming NaN. The bar matrices keep the values as they were given.
"""

import numpy as np
import pandas as pd

_LISTED_BARS = 10


def invalid_closes(close):
    """Mask of the closes that are no price: missing, infinite, zero or negative."""
    close = np.asarray(close, dtype=np.float64)
    with np.errstate(invalid="ignore"):
        return ~(np.isfinite(close) & (close > 0.0))


def carried_closes(close, previous=None):
    """Each invalid close replaced by its column's last valid close before it.

    Before a column's first valid close the value is ``previous[column]``
    (the last valid close before these rows), or NaN without it.
    """
    close = np.asarray(close, dtype=np.float64)
    invalid = invalid_closes(close)
    rows = np.arange(close.shape[0])[:, None]
    last_valid_row = np.maximum.accumulate(np.where(invalid, -1, rows), axis=0)
    carried = close[np.maximum(last_valid_row, 0), np.arange(close.shape[1])]
    before_first = last_valid_row < 0
    if previous is None:
        carried[before_first] = np.nan
    else:
        carried = np.where(before_first, np.asarray(previous, dtype=np.float64)[None, :], carried)
    return carried


def last_valid_closes(close, end):
    """Each column's last valid close in rows [0, end), NaN where there is none."""
    close = np.asarray(close)
    latest = np.array(close[end - 1], dtype=np.float64) if end > 0 else np.full(close.shape[1], np.nan)
    for column in np.flatnonzero(invalid_closes(latest)):
        valid_rows = np.flatnonzero(~invalid_closes(close[:end, column]))
        latest[column] = close[valid_rows[-1], column] if len(valid_rows) else np.nan
    return latest


def with_valid_closes(matrix, close_columns, previous=None):
    """`matrix` itself when its close columns hold only prices, else a copy
    whose close columns are carried forward (see :func:`carried_closes`)."""
    matrix = np.asarray(matrix, dtype=np.float64)
    closes = matrix[:, close_columns]
    if not invalid_closes(closes).any():
        return matrix
    repaired = np.array(matrix, dtype=np.float64, order="C")
    repaired[:, close_columns] = carried_closes(closes, previous)
    return repaired


def warn_of_invalid_closes(logger, names, times, close, suffix):
    """One WARNING per security that has invalid closes, naming it and the bars."""
    invalid = invalid_closes(close)
    for column in np.flatnonzero(invalid.any(axis=0)):
        bars = [str(pd.Timestamp(time)) for time in np.asarray(times)[invalid[:, column]]]
        listed = ", ".join(bars[:_LISTED_BARS])
        if len(bars) > _LISTED_BARS:
            listed += " AND %d LATER BARS" % (len(bars) - _LISTED_BARS)
        logger.warning(
            "CLOSE OF %s IS MISSING, ZERO OR NEGATIVE AT %s; POSITIONS ARE HELD AND MARKED AT ITS LAST VALID CLOSE%s",
            names[column],
            listed,
            suffix,
        )
