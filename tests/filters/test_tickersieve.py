"""The universe filter: binding, window and ranking rules, column selection, bad input, parity with pandas."""

import copy
import pickle

import numpy as np
import pandas as pd
import pytest

from korvane._common.synthetic_universe import FIELDS, universe_table
import korvane.utils.filters.tickersieve as module
import korvane.utils.inference.inference as inference
from korvane.factors.technical.pairtrader import PairsTradingSerialCointegrationFactor
from korvane.utils.filters.tickersieve import Tickersieve
from reference import tickersieve_reference as reference

SIEVE = Tickersieve(1, 2, ignored=3)
SORT = "__sort_dictionary"
NAN_FIRST = np.r_[np.nan, np.full(99, 2.0)]


def universe(volumes, n_rows=100):
    """Closes of 1, so a security's score is its summed volume over the window."""
    columns = {f"{name}_{field}": np.ones(n_rows) for name in volumes for field in FIELDS}
    columns.update({f"{name}_volume": np.broadcast_to(v, n_rows).astype(float) for name, v in volumes.items()})
    return pd.DataFrame(columns)


def kept_ids(table):
    return list(dict.fromkeys(label.rsplit("_", 1)[0] for label in table.columns))


def spiked(n_rows, row):
    volume = np.zeros(n_rows)
    volume[row] = 1e3
    return universe({"A": 1.0, "B": volume}, n_rows)


@pytest.mark.parametrize("args, kwargs, error, message", [
    ((), {"securities": ["A"]}, TypeError, "filter_without_lookahead() takes at least 1 positional argument (0 given)"),
    ((1, (), "x", "y"), {}, TypeError, "must be real number, not str"),  # fraction, then count, then list
    ((1, (), 0.1, "y"), {}, TypeError, "an integer is required"),
    ((1, type("Ids", (list,), {})()), {}, TypeError,
     "Argument 'securities' has incorrect type (expected list, got Ids)"),
])
def test_argument_errors(args, kwargs, error, message):
    with pytest.raises(error) as raised:
        SIEVE.filter_without_lookahead(*args, **kwargs)
    assert str(raised.value) == message


@pytest.mark.parametrize("table, securities, keep, pct", [
    (universe({"A": 1, "B": 2}), ["A", "A"], 2.9, 0.1),  # truncated to 2; the repeat counts
    ("not a table", ["A"], 1, float("nan")),  # neither the table nor the fraction is read
    (pd.DataFrame({"x": [1.0]}), None, 0, 0.1),  # nothing inferred
])
def test_early_return_gives_the_very_table(table, securities, keep, pct):
    assert SIEVE.filter_without_lookahead(table, securities, pct, keep) is table


@pytest.mark.parametrize("n_rows, pct, spike_row, winner", [
    (100, 0.29, 28, "A"), (100, 0.29, 27, "B"),  # 28 rows: 100 * 0.29 is 28.999...
    (57, None, 5, "A"), (57, None, 4, "B"),  # the default 0.1 of 57 rows is 5 rows
    (100, -0.1, 90, "A"), (100, -0.1, 89, "B"),  # all rows but the last 10
    (100, 1.5, 99, "B"), (100, 0.0, 0, "A"),  # no rows: every score 0, list order decides
])
def test_window(n_rows, pct, spike_row, winner):
    options = {} if pct is None else {"pct_of_filtration": pct}
    table = spiked(n_rows, spike_row)
    result = SIEVE.filter_without_lookahead(table, ["A", "B"], number_of_securities_to_keep=1, **options)
    assert kept_ids(result) == [winner] and len(result) == n_rows


@pytest.mark.parametrize("securities, keep, expected", [
    (["A", "B", "C"], 2, ["A", "C"]),  # A and B tie: list order
    (["B", "A", "C"], 2, ["B", "C"]),
    (["A", "B", "C", "D"], -1, ["A", "B", "C"]),  # all-missing volumes score 0
    (["A", "E"], 1, ["E"]),  # a missing volume leaves out one row: 198 > 100
    (["A", "A", "C"], 2, ["A", "C"]),  # a repeated id takes one ranking place
    (["A", "B", "C"], 0, []),
    ([], 2, ["C", "E"]),  # ids inferred from the table
])
def test_ranking_and_cut(securities, keep, expected):
    table = universe({"A": 1.0, "B": 1.0, "C": 3.0, "D": np.nan, "E": NAN_FIRST})
    result = SIEVE.filter_without_lookahead(table, securities, 1.0, keep)
    assert kept_ids(result) == expected and len(result) == len(table)


def test_columns_of_kept_ids_including_ids_with_a_field_suffix():
    table = universe({"AB_lowcap": 5.0, "X": 1.0, "Z": 9.0}).assign(AB_lowcap=0.0, AB_lowcap_close_adj=0.0)
    result = SIEVE.filter_without_lookahead(table, ["AB_lowcap", "X"], 0.5, 1)
    assert list(result.columns) == [f"AB_lowcap_{field}" for field in FIELDS] + ["AB_lowcap", "AB_lowcap_close_adj"]
    # Ids that are not strings are ranked from their text's columns but select none.
    assert list(SIEVE.filter_without_lookahead(universe({"1": 1, "2": 2}), [1, 2], 1.0, 1).columns) == []


@pytest.mark.parametrize("table, pct, inferred, error, message", [
    # Half a security is named; a security with neither column is a missing label.
    (universe({"A": 1}).assign(Q_close=1.0), 1.0, ["A", "Q"], ValueError,
     "security 'Q' has the column 'Q_close' but no 'Q_volume': ranking needs both its close and its volume"),
    (universe({"A": 1}).assign(Q_volume=1.0), 1.0, ["A", "Q"], KeyError,
     "security 'Q' has the column 'Q_volume' but no 'Q_close': ranking needs both its close and its volume"),
    (universe({"A": 1}), 1.0, ["A", "Q"], KeyError, "'Q_close'"),
    (universe({"A": 1, "B": 1}).assign(x=0.0).rename(columns={"x": 7}), 1.0, None, AttributeError,
     "'int' object has no attribute 'split'"),
    (pd.concat([universe({"A": 1}), universe({"A": 1, "B": 1})], axis=1), 1.0, ["A", "B"], ValueError,
     "clean_OHCLV_dataframe has duplicate column labels: ['A_open', 'A_high', 'A_low', 'A_close', 'A_volume']"),
    ([1, 2, 3], 1.0, ["A", "B"], AttributeError, "'list' object has no attribute 'iloc'"),
    (universe({"A": 1, "B": 2}), float("nan"), None, ValueError, "cannot convert float NaN to integer"),
    (universe({"A": 1, "B": 2}), float("inf"), None, OverflowError, "cannot convert float infinity to integer"),
    (universe({"A": 1, "B": 2}), 0.1, ("A", "B"), TypeError, "Expected list, got tuple"),
    (universe({"A": 1, "B": 2}), 0.1, "none", TypeError, "object of type 'NoneType' has no len()"),
])
def test_bad_input(monkeypatch, table, pct, inferred, error, message):
    if inferred is not None:
        ids = None if inferred == "none" else inferred
        fake = type("Fake", (), {"infer_securities_from_OHCLV_df": lambda self, table: ids})
        monkeypatch.setattr(module, "Inference", fake)
    with pytest.raises(error) as raised:
        SIEVE.filter_without_lookahead(table, None, pct, 1)
    assert str(raised.value) == message
    if isinstance(raised.value, module.IncompleteSecurityError):
        # A KeyError carries the missing label, and survives a worker's pickle.
        assert raised.value.args == (message.split("'")[-2],)
        assert str(pickle.loads(pickle.dumps(raised.value))) == message


@pytest.fixture(scope="module")
def layouts():
    """One random universe with missing values, in the layouts and dtypes callers hand in."""
    rng = np.random.default_rng(7)
    values = rng.random((300, 60)) * 10.0 ** rng.integers(0, 6, 60)
    values[rng.random(values.shape) < 0.1] = np.nan
    table = pd.DataFrame(values, columns=[f"S{k}_{field}" for k in range(12) for field in FIELDS])
    return {
        "columns": pd.DataFrame(dict(table.items())),
        "row-major": table,
        "blocks": pd.concat([table.iloc[:, k : k + 5] for k in range(0, 60, 5)], axis=1),
        "integer volumes": table.fillna(1.0).astype({f"S{k}_volume": "int64" for k in range(12)}),
        "nullable": table.astype("Float64"),
    }


@pytest.mark.parametrize("layout", ["columns", "row-major", "blocks", "integer volumes", "nullable"])
@pytest.mark.parametrize("pct, keep", [(0.37, 4), (-0.5, -3)])
def test_matches_the_pandas_rule_bit_for_bit(layouts, layout, pct, keep):
    table, untouched = layouts[layout], layouts[layout].copy()
    securities = [f"S{k}" for k in (11, 3, 7, 0, 5, 1, 2, 4, 6, 8, 9, 10, 3)]
    ranked = []  # the scores as the ranking receives them
    sort = getattr(Tickersieve, SORT)
    recording = type("Recording", (Tickersieve,), {SORT: lambda self, **kw: ranked.append(kw) or sort(self, **kw)})
    result = recording().filter_without_lookahead(table, securities, pct, keep)
    pd.testing.assert_frame_equal(result, reference.filter_without_lookahead(table, securities, pct, keep))
    expected = reference.traded_values(table, securities, pct)
    scores = ranked[0]["dict_to_sort"]
    assert scores == expected and list(map(type, scores.values())) == list(map(type, expected.values()))
    pd.testing.assert_frame_equal(table, untouched)
    assert len(securities) == 13 and module._DEFAULT_SECURITIES == []


@pytest.mark.parametrize("pairs, message", [
    ([("A", 1, 2)], "too many values to unpack (expected 2)"),
    ([()], "need more than 0 values to unpack"),
])
def test_ranked_entries_of_another_length(pairs, message):
    odd = type("Odd", (Tickersieve,), {SORT: lambda self, dict_to_sort, reverse: pairs})
    with pytest.raises(ValueError) as raised:
        odd().filter_without_lookahead(universe({"A": 1, "B": 2}), None, 1.0, 1)
    assert str(raised.value) == message


def test_object_sorting_pickling_and_documentation():
    with pytest.raises(AttributeError):
        SIEVE.weights = 1
    for refuse in (pickle.dumps, copy.copy, copy.deepcopy):
        with pytest.raises(TypeError, match="no default __reduce__ due to non-trivial __cinit__"):
            refuse(SIEVE)
    sort, scores = getattr(SIEVE, SORT), {"k1": 1, "k2": 3, "k3": 1}
    assert sort({}) == [] and sort(scores) == [("k2", 3), ("k1", 1), ("k3", 1)]
    assert sort(dict_to_sort=scores, reverse=False) == [("k1", 1), ("k3", 1), ("k2", 3)]
    with pytest.raises(TypeError) as raised:
        sort(1, 2, 3)
    assert str(raised.value) == "__sort_dictionary() takes at most 2 positional arguments (3 given)"
    assert (module.np, module.pd, module.Inference) == (np, pd, inference.Inference) and not hasattr(module, "logger")
    lines = SIEVE.filter_without_lookahead.__doc__.split("\n")
    assert lines[1] == "        By looking at a percentage of data at the start of the dataframe"
    assert lines[4] == "        Args:" and lines[-3] == "        Returns:"


def test_a_factor_is_constructed_from_a_filtered_table():
    table = universe_table(n_securities=4, n_bars=300, seed=5)
    filtered = SIEVE.filter_without_lookahead(table, number_of_securities_to_keep=2)
    factor = PairsTradingSerialCointegrationFactor("u", filtered, 1440, [], False)
    assert list(factor.get_clean_dataframe().columns) == list(filtered.columns) and len(filtered.columns) == 10
