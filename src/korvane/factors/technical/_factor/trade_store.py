"""The closed-trade store, held as columns.

An optimisation fit stores the trades of every trial in one store, so a store
of records (one dictionary per trade) costs about a kilobyte per trade and
rebuilding tables from it costs more with each trial. Here each run's trades
arrive as one batch of arrays (pair index, entry and exit times, label,
return, features token), about 30 bytes per trade; a record dictionary is
built only when a caller reads one, and the train/test tables only when a
caller reads them.

To a caller the store is a mapping from the keys 0, 1, 2, ... (in order of
closing) to trade records, as a dictionary of records would be. Assigning
or deleting an entry by hand turns it into such a dictionary for good.
"""

import bisect
from collections.abc import MutableMapping

import numpy as np

# Runs that close few trades (live steps) are merged into the batch before
# them while it is smaller than this, so small batches do not each carry
# their arrays' overhead.
_MERGE_BELOW = 4096

_TIME_KEYS = ("time_of_entry", "time_of_exit")


class TradeBatch:
    """The trades one run closed, column by column. Never changed once stored."""

    __slots__ = ("first_key", "pairs", "pair", "entry", "exit", "label", "returns", "token",
                 "features", "template", "time_dtype")

    def __init__(self, first_key, pairs, pair, entry, exit_, label, returns, token, features,
                 template, time_dtype):
        self.first_key = first_key
        self.pairs = pairs
        self.pair = pair
        self.entry = entry
        self.exit = exit_
        self.label = label
        self.returns = returns
        self.token = token  # None: no trade of the batch carries features
        self.features = features
        self.template = template
        self.time_dtype = time_dtype

    def __len__(self):
        return len(self.pair)

    def times(self, ns):
        """Entry or exit times in the bar times' unit (NaT where unknown)."""
        return ns.view("datetime64[ns]").astype(self.time_dtype)

    def record(self, j):
        record = self.template.copy()
        record["time_of_entry"] = self.times(self.entry[j:j + 1])[0]
        record["time_of_exit"] = self.times(self.exit[j:j + 1])[0]
        record["trade_label"] = int(self.label[j])
        record["trade_returns"] = float(self.returns[j])
        record["trade_securities"] = self.pairs[int(self.pair[j])]
        token = -1 if self.token is None else int(self.token[j])
        record["features"] = self.features[token] if token >= 0 else None
        return record

    def merged_with(self, other):
        """One batch holding this batch's trades, then ``other``'s (same pairs and template)."""
        token = None
        if self.token is not None or other.token is not None:
            # Tokens index each batch's own features list: renumber into one list.
            mine = self.token if self.token is not None else np.full(len(self), -1, np.int64)
            theirs = other.token if other.token is not None else np.full(len(other), -1, np.int64)
            offset = len(self.features)
            token = np.concatenate((mine, np.where(theirs >= 0, theirs + offset, -1)))
            features = list(self.features) + list(other.features)
        else:
            features = ()
        return TradeBatch(
            self.first_key, self.pairs,
            np.concatenate((self.pair, other.pair)), np.concatenate((self.entry, other.entry)),
            np.concatenate((self.exit, other.exit)), np.concatenate((self.label, other.label)),
            np.concatenate((self.returns, other.returns)), token, features, self.template,
            self.time_dtype,
        )


class TradeStore(MutableMapping):
    """Mapping from trade key to trade record, stored as batches of columns."""

    __slots__ = ("_batches", "_firsts", "_records")

    def __init__(self):
        self._batches = []
        self._firsts = []
        self._records = None  # a plain dictionary once edited by hand

    # ------------------------------------------------------------- storing

    def add_batch(self, first_key, pairs, pair, entry, exit_, label, returns, token, features,
                  template, time_dtype):
        """Store one run's closed trades under the keys first_key, first_key + 1, ..."""
        if len(pair) == 0:
            return
        has_features = token is not None and bool((token >= 0).any())
        batch = TradeBatch(
            first_key, pairs, np.asarray(pair, np.int32), np.asarray(entry, np.int64),
            np.asarray(exit_, np.int64), np.asarray(label, np.int8), np.asarray(returns, np.float64),
            np.asarray(token, np.int64) if has_features else None,
            features if has_features else (), dict(template), np.dtype(time_dtype),
        )
        if self._records is not None:
            for j in range(len(batch)):
                self._records[first_key + j] = batch.record(j)
            return
        batches = self._batches
        if batches:
            last = batches[-1]
            # Runs over the same universe share one pairs list.
            if last.pairs is not pairs and last.pairs == pairs:
                batch.pairs = pairs = last.pairs
            end = last.first_key + len(last)
            if first_key < end:
                # Keys overlap earlier trades (the count was set back by hand):
                # the later record replaces the earlier, as in a dictionary.
                self._to_records()
                self.add_batch(first_key, pairs, pair, entry, exit_, label, returns, token,
                               features, template, time_dtype)
                return
            if (first_key == end and len(last) < _MERGE_BELOW and last.pairs is pairs
                    and last.template == batch.template and last.time_dtype == batch.time_dtype):
                batches[-1] = last.merged_with(batch)
                return
        batches.append(batch)
        self._firsts.append(first_key)

    def batches(self):
        """The stored batches as they stand (None once edited by hand)."""
        return None if self._records is not None else tuple(self._batches)

    def _to_records(self):
        if self._records is None:
            records = {}
            for batch in self._batches:
                for j in range(len(batch)):
                    records[batch.first_key + j] = batch.record(j)
            self._records = records
            self._batches = []
            self._firsts = []
        return self._records

    # ------------------------------------------------------------- mapping

    def _locate(self, key):
        if not isinstance(key, (int, np.integer)) or isinstance(key, bool):
            return None, 0
        i = bisect.bisect_right(self._firsts, key) - 1
        if i < 0:
            return None, 0
        batch = self._batches[i]
        j = int(key) - batch.first_key
        return (batch, j) if j < len(batch) else (None, 0)

    def __getitem__(self, key):
        if self._records is not None:
            return self._records[key]
        batch, j = self._locate(key)
        if batch is None:
            raise KeyError(key)
        return batch.record(j)

    def __setitem__(self, key, value):
        self._to_records()[key] = value

    def __delitem__(self, key):
        del self._to_records()[key]

    def __iter__(self):
        if self._records is not None:
            return iter(self._records)
        return (batch.first_key + j for batch in self._batches for j in range(len(batch)))

    def __len__(self):
        if self._records is not None:
            return len(self._records)
        return sum(len(batch) for batch in self._batches)

    def __contains__(self, key):
        if self._records is not None:
            return key in self._records
        return self._locate(key)[0] is not None

    def __repr__(self):
        return f"TradeStore({len(self)} trades)"


def store_columns(batches):
    """The store's columns in record order, from its batches (one value per trade).

    The same values a table of the records would hold; the features column
    holds each trade's features or None.
    """
    template = batches[0].template
    pair = np.concatenate([b.pair for b in batches])
    columns = {}
    for key in template:
        if key == "time_of_entry":
            columns[key] = np.concatenate([b.times(b.entry) for b in batches])
        elif key == "time_of_exit":
            columns[key] = np.concatenate([b.times(b.exit) for b in batches])
        elif key == "trade_label":
            columns[key] = np.concatenate([b.label for b in batches]).astype(np.int64)
        elif key == "trade_returns":
            columns[key] = np.concatenate([b.returns for b in batches])
        elif key == "trade_securities":
            values = np.empty(len(pair), dtype=object)
            values[:] = [b.pairs[i] for b in batches for i in b.pair.tolist()]
            columns[key] = values
        elif key == "features":
            if any(b.token is not None for b in batches):
                columns[key] = [
                    (b.features[t] if t >= 0 else None)
                    for b in batches
                    for t in (b.token.tolist() if b.token is not None else [-1] * len(b))
                ]
            else:
                columns[key] = [None] * len(pair)
        else:
            columns[key] = [template[key]] * len(pair)
    return columns
