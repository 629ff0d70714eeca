"""Constructing a Scorebook: argument matching, type and buffer checks, fields, pickling."""

import copy
import pickle

import numpy as np
import pandas as pd
import pytest

from korvane.utils.results.scorebook import Scorebook
from results.scorebook_factory import backtest_arrays

NAMES = list(backtest_arrays(np.zeros(3), pd.date_range("2024-01-01", periods=3)).keys())


@pytest.fixture
def arrays():
    return backtest_arrays(np.array([10.0, 0.0, -5.0]), pd.date_range("2024-01-01", periods=3))


class TestArgumentMatching:
    def test_all_by_keyword_in_any_order_or_all_by_position(self, arrays):
        reversed_keywords = dict(reversed(list(arrays.items())))
        assert isinstance(Scorebook(**reversed_keywords), Scorebook)
        assert isinstance(Scorebook(*arrays.values()), Scorebook)
        mixed = list(arrays.values())
        assert isinstance(Scorebook(*mixed[:5], **dict(list(arrays.items())[5:])), Scorebook)

    def test_fifteen_keywords_name_the_count(self, arrays):
        del arrays["cumprod_returns_after_transaction_costs_array"]
        with pytest.raises(TypeError, match=r"takes exactly 16 positional arguments \(15 given\)"):
            Scorebook(**arrays)

    def test_too_many_positional(self, arrays):
        with pytest.raises(TypeError, match=r"exactly 16 positional arguments \(17 given\)"):
            Scorebook(*arrays.values(), None)

    def test_unknown_and_duplicated_keywords(self, arrays):
        with pytest.raises(TypeError, match="unexpected keyword argument 'colour'"):
            Scorebook(**arrays, colour=1)
        values = list(arrays.values())
        with pytest.raises(TypeError, match="multiple values for keyword argument 'starting_equity'"):
            Scorebook(*values[:1], **arrays)


class TestTypeChecks:
    def test_names_must_be_exactly_a_list(self, arrays):
        arrays["securities_names_list"] = ("AAA", "BBB")
        with pytest.raises(TypeError, match=r"'securities_names_list' has incorrect type \(expected list, got tuple\)"):
            Scorebook(**arrays)

        class Names(list):
            pass

        arrays["securities_names_list"] = Names(["AAA", "BBB"])
        with pytest.raises(TypeError, match="expected list, got Names"):
            Scorebook(**arrays)

    def test_arrays_must_be_ndarrays_but_subclasses_pass(self, arrays):
        class Tagged(np.ndarray):
            pass

        arrays["positions_matrix_array"] = arrays["positions_matrix_array"].view(Tagged)
        Scorebook(**arrays)
        arrays["equity_value_array"] = list(arrays["equity_value_array"])
        with pytest.raises(TypeError, match=r"'equity_value_array' has incorrect type \(expected numpy.ndarray, got list\)"):
            Scorebook(**arrays)

    def test_float32_matrix_and_wrong_rank(self, arrays):
        bad = dict(arrays, slippage_matrix_array=arrays["slippage_matrix_array"].astype(np.float32))
        with pytest.raises(ValueError, match="Buffer dtype mismatch, expected 'float64_t' but got 'float'"):
            Scorebook(**bad)
        bad = dict(arrays, positions_matrix_array=np.zeros(3))
        with pytest.raises(ValueError, match=r"wrong number of dimensions \(expected 2, got 1\)"):
            Scorebook(**bad)
        bad = dict(arrays, total_pnl_after_transaction_costs_array=np.zeros((3, 1)))
        with pytest.raises(ValueError, match=r"expected 1, got 2"):
            Scorebook(**bad)

    def test_non_contiguous_and_read_only_arrays_are_accepted(self, arrays):
        wide = np.zeros((3, 4))
        arrays["positions_matrix_array"] = wide[:, ::2]
        pnl = arrays["total_pnl_after_transaction_costs_array"].copy()
        pnl.flags.writeable = False
        arrays["total_pnl_after_transaction_costs_array"] = pnl
        Scorebook(**arrays)

    def test_scalars(self, arrays):
        book = Scorebook(**dict(arrays, starting_equity=100))
        assert isinstance(book._starting_equity, float) and book._starting_equity == 100.0
        with pytest.raises(TypeError, match="must be real number, not str"):
            Scorebook(**dict(arrays, starting_equity="100"))
        with pytest.raises(TypeError, match="'float' object cannot be interpreted as an integer"):
            Scorebook(**dict(arrays, datetime_length=10.0))
        assert Scorebook(**dict(arrays, datetime_length=np.int64(3)))._datetime_length == 3

    def test_none_is_accepted_for_the_list_and_every_array(self, arrays):
        for name in NAMES[3:]:
            book = Scorebook(**dict(arrays, **{name: None}))
            assert getattr(book, "_" + name) is None
        assert Scorebook(**dict(arrays, securities_names_list=None))._securities_names_list is None


class TestFields:
    def test_fresh_object(self, arrays):
        book = Scorebook(**arrays)
        assert book.positions_matrix_df is None
        assert book.full_results_df is None
        assert book.test_positions_matrix_df is None
        assert isinstance(book.test_full_results_df, pd.DataFrame) and book.test_full_results_df.empty
        assert book._BOOTSTRAPPING_ROUNDS == 10000

    def test_public_attributes_accept_anything_and_delete_to_none(self, arrays):
        book = Scorebook(**arrays)
        book.equity_value_series = 5
        assert book.equity_value_series == 5
        del book.equity_value_series
        assert book.equity_value_series is None

    def test_no_instance_dict_and_no_unknown_attributes(self, arrays):
        book = Scorebook(**arrays)
        assert not hasattr(book, "__dict__")
        with pytest.raises(AttributeError):
            book.colour = "red"

    def test_arrays_are_shared_not_copied(self, arrays):
        first, second = Scorebook(**arrays), Scorebook(**arrays)
        arrays["cumprod_returns_after_transaction_costs_array"][-1] = 7.0
        assert first.get_objective_score(objective="latest_cumprod_returns") == 7.0
        assert second.get_objective_score(objective="latest_cumprod_returns") == 7.0

    def test_pickling_and_copying_are_refused(self, arrays):
        book = Scorebook(**arrays)
        message = "no default __reduce__ due to non-trivial __cinit__"
        for protocol in (0, 2, pickle.HIGHEST_PROTOCOL):
            with pytest.raises(TypeError, match=message):
                pickle.dumps(book, protocol=protocol)
        with pytest.raises(TypeError, match=message):
            copy.copy(book)
        with pytest.raises(TypeError, match=message):
            book.__setstate__({})

    def test_public_operation_argument_types(self, arrays):
        book = Scorebook(**arrays)
        with pytest.raises(TypeError, match=r"'objective' has incorrect type \(expected str, got int\)"):
            book.get_objective_score(5)
        with pytest.raises(TypeError, match=r"'name' has incorrect type \(expected str, got int\)"):
            book.get_full_results(name=3)
        with pytest.raises(TypeError):
            book.expose_internal_variables(1)
