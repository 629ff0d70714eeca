"""Plain pandas oracle of the look-ahead-free universe filter.

Written the obvious way, one security at a time: rank by the summed close
times volume over the leading rows (pandas' NaN-skipping sum), stable
descending order, keep the first ids, and return every column of the kept ids
(including labels that are exactly an id plus a field suffix).
"""

import numpy as np

SUFFIXES = ("_open", "_close", "_high", "_low", "_volume")


def traded_values(table, securities, pct_of_filtration):
    window = table.iloc[: int(len(table) * pct_of_filtration)]
    return {s: np.sum(window[f"{s}_close"] * window[f"{s}_volume"]) for s in securities}


def filter_without_lookahead(table, securities, pct_of_filtration=0.1, number_of_securities_to_keep=10):
    if number_of_securities_to_keep >= len(securities):
        return table
    scores = traded_values(table, securities, pct_of_filtration)
    ranked = sorted(scores.items(), key=lambda item: item[1], reverse=True)
    kept = [security for security, _ in ranked][:number_of_securities_to_keep]
    labels = {f"{s}{suffix}" for s in kept if isinstance(s, str) for suffix in SUFFIXES}
    columns = [c for c in table.columns if c in labels or any(c.split(x)[0] in kept for x in SUFFIXES)]
    return table[columns]
