"""Rolling windows of a bar matrix for the feature tests: five columns per security."""

import numpy as np

from korvane._common.synthetic_universe import FIELDS


def make_window(securities, rows, seed=0):
    """Column names (object array) and a rows x 5n float64 window of plausible OHLCV bars."""
    rng = np.random.default_rng(seed)
    names, columns = [], []
    for k, security in enumerate(securities):
        close = (40.0 + 5.0 * k) * np.exp(np.cumsum(rng.normal(0.0, 0.01, rows)))
        open_ = close * np.exp(rng.normal(0.0, 0.003, rows))
        high = np.maximum(open_, close) * (1.0 + rng.uniform(0.0, 0.004, rows))
        low = np.minimum(open_, close) * (1.0 - rng.uniform(0.0, 0.004, rows))
        volume = rng.uniform(1e3, 1e4, rows)
        for field, values in zip(FIELDS, (open_, high, low, close, volume)):
            names.append(security + "_" + field)
            columns.append(values)
    return np.array(names, dtype=object), np.column_stack(columns)
