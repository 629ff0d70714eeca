"""The columnar trade store reads as the store of records it replaces."""

import numpy as np
import pandas as pd
import pytest

from korvane.factors.technical._factor.trade_store import TradeStore
from factor.accounting.run_stand_ins import build_factor

TEMPLATE = dict.fromkeys(
    ("time_of_entry", "time_of_exit", "trade_label", "trade_returns", "trade_securities", "features")
)
PAIRS = [("A", "B"), ("A", "C"), ("B", "C")]
NAT = np.iinfo(np.int64).min
DAY = 86_400 * 10**9


def batch(store, first, entries, features=(), tokens=None, unit="datetime64[us]", pairs=PAIRS):
    n = len(entries)
    entry = np.array([NAT if e is None else e * DAY for e in entries], np.int64)
    store.add_batch(first, pairs, np.arange(n) % 3, entry, entry + DAY, np.arange(n) % 2,
                    np.linspace(-0.01, 0.02, n), tokens, list(features), TEMPLATE, unit)
    return first + n


@pytest.fixture
def stores():
    """The same trades in a columnar store and in a dictionary of records."""
    store = TradeStore()
    key = batch(store, 0, [5, 3, 2, 9])
    key = batch(store, key, [4, 7], features=[{"f": 1.0, "g": 2.0}], tokens=np.array([-1, 0]))
    key = batch(store, key, [8, 1, 6], pairs=list(PAIRS))  # a later run's equal pairs list
    return store, {k: store[k] for k in store}


def test_reads_as_a_dictionary_of_records(stores):
    store, records = stores
    assert store == records and len(store) == 9 and list(store) == list(range(9))
    assert records[1] == dict(TEMPLATE, time_of_entry=np.datetime64(3 * DAY, "ns").astype("datetime64[us]"),
                              time_of_exit=np.datetime64(4 * DAY, "ns").astype("datetime64[us]"),
                              trade_label=1, trade_returns=records[1]["trade_returns"],
                              trade_securities=("A", "C"), features=None)
    assert records[5]["features"] == {"f": 1.0, "g": 2.0}
    unknown = TradeStore()
    batch(unknown, 0, [None])
    assert np.isnat(unknown[0]["time_of_entry"])
    assert 9 not in store and store.get(-1) is None


def test_tables_equal_those_of_the_records(factory_factor, stores):
    store, records = stores
    end = np.datetime64(6 * DAY, "ns").astype("datetime64[us]")
    for got, want in zip(factory_factor._get_train_test_split_for_rarav_trades(end, store),
                         factory_factor._get_train_test_split_for_rarav_trades(end, records)):
        pd.testing.assert_frame_equal(got, want)


def test_editing_by_hand_keeps_every_record(stores):
    store, records = stores
    store[3] = {"trade_label": 1}
    records[3] = {"trade_label": 1}
    batch(store, 9, [2])
    assert list(store) == list(range(10)) and {k: store[k] for k in range(9)} == records


def test_a_trade_without_features_costs_under_100_bytes():
    store = TradeStore()
    key = 0
    for _ in range(50):  # runs of one universe, as in a fit
        key = batch(store, key, list(range(2000)), pairs=list(PAIRS))
    held = sum(b.pair.nbytes + b.entry.nbytes + b.exit.nbytes + b.label.nbytes + b.returns.nbytes
               for b in store.batches())
    assert held / len(store) < 100 and len({id(b.pairs) for b in store.batches()}) == 1


@pytest.fixture
def factory_factor():
    return build_factor(bars=60)
