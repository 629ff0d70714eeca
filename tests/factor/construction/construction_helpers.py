"""Helpers shared by the construction tests."""

import numpy as np
import pandas as pd

from korvane.factors.technical.pairtrader import PairsTradingSerialCointegrationFactor


class ArgumentsOnlyFactor(PairsTradingSerialCointegrationFactor):
    """Runs the constructor's checks and storing, but builds no bars."""

    def intialize_pairs_trading_data_structures(self):
        return None


def random_table(rng, n_rows, n_securities, tz, freq="1min", start="2021-03-12 21:47", layout="columns"):
    """A universe table with missing rows and missing values, in one of three memory layouts."""
    index = pd.date_range(start, periods=n_rows, freq=freq, tz=tz)
    # Drop rows at random so that some bars are empty.
    index = index[np.sort(rng.choice(n_rows, size=int(n_rows * 0.7), replace=False))]
    n = len(index)
    columns = {}
    for k in range(n_securities):
        for field in ("open", "high", "low", "close"):
            values = 100.0 * np.exp(np.cumsum(rng.normal(0.0, 0.01, n)))
            values[rng.random(n) < 0.2] = np.nan
            columns[f"S{k}_{field}"] = values
        volume = rng.random(n) * 1e3
        volume[rng.random(n) < 0.2] = np.nan
        columns[f"S{k}_volume"] = volume
    if layout == "columns":
        return pd.DataFrame(columns, index=index)
    # One row-major block, the layout of a table built from a 2-D array.
    matrix = np.ascontiguousarray(np.column_stack(list(columns.values())))
    if layout == "strided":
        # A view that steps over rows and columns of a larger array.
        wide = np.zeros((2 * n, 2 * matrix.shape[1]))
        wide[::2, ::2] = matrix
        matrix = wide[::2, ::2]
    return pd.DataFrame(matrix, index=index, columns=list(columns), copy=False)
