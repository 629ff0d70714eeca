"""Plain numpy sample-uniqueness weights: the counting rule written out directly."""

import numpy as np


def uniqueness(index, starts, ends):
    """Mean of 1/c over each inclusive span, c the number of spans holding each point."""
    counts = np.zeros(len(index))
    spans = []
    for start, end in zip(starts, ends[: len(starts)]):
        first = np.searchsorted(index, start, side="left")
        last = np.searchsorted(index, end, side="right")
        counts[first:last] += 1.0
        spans.append((first, last))
    return np.array([np.mean(1.0 / counts[a:b]) if b > a else np.nan for a, b in spans], dtype=np.float64)


def weights(index, starts, ends, impacts=()):
    u = uniqueness(index, starts, ends)
    impacts = np.asarray(impacts, dtype=np.float64)
    values = np.abs(impacts) / u if len(impacts) else u
    return values / values.sum() * len(values)
