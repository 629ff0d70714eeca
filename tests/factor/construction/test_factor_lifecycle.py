"""Properties, attribute rules, the rarAV initialiser, pickling, subclass overrides and the caller's inputs."""

import copy
import pickle
from datetime import time

import numpy as np
import pandas as pd
import pytest

from korvane._common.synthetic_universe import universe_table
import korvane.utils.pickling.rebuilds as rebuilds
from korvane.factors.technical.pairtrader import PairsTradingSerialCointegrationFactor as Factor
from korvane.factors.technical._factor.parallel_fit import copy_for_workers, factor_copy_for_fit, forget_fit


RECORD_KEYS = ["time_of_entry", "time_of_exit", "trade_label", "trade_returns", "trade_securities", "features"]


@pytest.fixture(scope="module")
def table():
    return universe_table(n_securities=3, n_bars=300, seed=3)


@pytest.fixture
def factor(table):
    return Factor("u", table, 1440, [], False)


class SavedClassifier:
    """Answers the saved-pipeline question and records how it was asked."""

    def __init__(self, answer=True):
        self.answer = answer
        self.calls = []

    def _ask(self, **kwargs):
        self.calls.append(kwargs)
        return self.answer


setattr(SavedClassifier, "__check_and_load_optimal_entry_classifier", SavedClassifier._ask)


class UnpicklableSignalforge:
    def __reduce__(self):
        raise TypeError("cannot pickle 'Signalforge' object")


# ------------------------------------------------------------------ properties and attributes


def test_properties(factor):
    fresh = object.__new__(Factor)
    assert fresh.current_time is None and fresh.object_store_dict is None
    assert factor.object_store_dict == {} and factor.current_time is None

    factor.current_time = 5
    assert factor.current_time == 5
    del factor.current_time
    assert factor.current_time is None

    del factor.object_store_dict
    assert factor.object_store_dict is None
    store = {"a": 1}
    factor.object_store_dict = store
    assert factor.object_store_dict is store

    class Store(dict):
        pass

    for bad, name in ((Store(), "Store"), ([], "list"), (5, "int")):
        with pytest.raises(TypeError) as caught:
            factor.object_store_dict = bad
        assert str(caught.value) == f"Expected dict, got {name}"
        assert factor.object_store_dict is store
    factor.object_store_dict = None
    assert factor.object_store_dict is None


def test_no_attribute_dictionary(factor):
    with pytest.raises(AttributeError):
        factor.data_matrix = np.zeros(3)
    with pytest.raises(AttributeError):
        factor.anything = 1
    assert not hasattr(factor, "__dict__")
    with pytest.raises(TypeError):
        import weakref

        weakref.ref(factor)


# ------------------------------------------------------------------ rarAV initialiser


def test_rarav_reset_and_classifier_check(table):
    classifier = SavedClassifier(answer=True)
    signalforge = object()
    factor = Factor("u", table, 1440, [], False, signalforge, classifier)
    assert factor._rarAV_signalforge is signalforge and factor._rarAV_optimal_entry_model is classifier
    assert classifier.calls == [{"factor_name": "PairsTradingSerialCointegrationFactor"}]
    assert factor._rarAV_optimal_entry_ready is True
    assert list(factor._rarav_clean_single_trade_store_dict) == RECORD_KEYS
    assert all(value is None for value in factor._rarav_clean_single_trade_store_dict.values())

    factor._rarav_trades_store_dict[0] = {"trade_label": 1}
    factor._rarav_trades_count = 1
    template = factor._rarav_clean_single_trade_store_dict
    assert factor.initialize_rarAV_data_structures(rarAV_signalforge=None, rarAV_optimal_entry_model=None) is None
    assert factor._rarav_trades_store_dict == {} and factor._rarav_trades_count == 0
    assert factor._rarav_clean_single_trade_store_dict is not template
    assert factor._rarAV_optimal_entry_ready is False
    assert len(classifier.calls) == 1  # no classifier, no call

    with pytest.raises(TypeError) as caught:
        factor.initialize_rarAV_data_structures(None)
    assert str(caught.value) == "initialize_rarAV_data_structures() takes exactly 2 positional arguments (1 given)"
    with pytest.raises(TypeError) as caught:
        factor.initialize_rarAV_data_structures(None, None, None)
    assert str(caught.value) == "initialize_rarAV_data_structures() takes exactly 2 positional arguments (3 given)"


def test_classifier_failure_ends_construction(table):
    class BrokenClassifier:
        pass

    def fail(self, factor_name):
        raise RuntimeError("saved pipeline is corrupt")

    setattr(BrokenClassifier, "__check_and_load_optimal_entry_classifier", fail)
    with pytest.raises(RuntimeError, match="saved pipeline is corrupt"):
        Factor("u", table, 1440, [], False, None, BrokenClassifier())


# ------------------------------------------------------------------ pickling


def constructor_values(factor):
    function, values = factor.__reduce__()
    assert function is rebuilds.rebuild_pairs_trading_serial_cointegration_factor
    return values


def test_pickling_round_trip():
    table = universe_table(n_securities=3, n_bars=400, seed=3)
    hours = [(time(0), time(23, 59))]
    factor = Factor(
        "crypto",
        table,
        1440,
        hours,
        1,
        None,
        None,
        [],
        "annual_sharpe_ratio",
        0.7,
        5000,
        0.5,
        0.002,
        0.25,
        0,
    )
    factor._factor_best_params_dict = {"size_of_rolling_windows": 40}
    factor._rarav_trades_store_dict[0] = {"trade_label": 1}
    factor.current_time = np.datetime64("2021-01-01")
    values = constructor_values(factor)
    assert values[1] is not table and values[1].equals(table) and values[3] is hours
    assert values[7] == ["S0", "S1", "S2"]  # the inferred list travels
    assert [type(v) for v in (values[2], values[4], values[9], values[14])] == [int, bool, float, bool]

    copy_ = pickle.loads(pickle.dumps(factor))
    assert type(copy_) is Factor
    assert constructor_values(copy_)[:1] + constructor_values(copy_)[2:] == values[:1] + values[2:]
    pd.testing.assert_frame_equal(constructor_values(copy_)[1], table)
    assert copy_._factor_best_params_dict is None and copy_._rarav_trades_store_dict == {}
    assert copy_.current_time is None and copy_.object_store_dict == {}
    np.testing.assert_array_equal(copy_._data_matrix, factor._data_matrix)
    np.testing.assert_array_equal(copy_._estimated_proportional_slippage_array, factor._estimated_proportional_slippage_array)
    deep = copy.deepcopy(factor)
    np.testing.assert_array_equal(deep._data_datetime_array, factor._data_datetime_array)


def test_pickled_classifier_is_asked_again_and_unpicklable_objects_refuse(table):
    factor = Factor("u", table, 1440, [], False, None, SavedClassifier(answer=False))
    rebuilt = pickle.loads(pickle.dumps(factor))
    assert rebuilt._rarAV_optimal_entry_model.calls == [{"factor_name": "PairsTradingSerialCointegrationFactor"}] * 2
    with pytest.raises(TypeError, match="cannot pickle"):
        pickle.dumps(Factor("u", table, 1440, [], False, UnpicklableSignalforge()))


# ------------------------------------------------------------------ subclasses


def test_subclass_replacements_of_the_initialisers_are_used(table):
    calls = []

    class Recording(Factor):
        def intialize_pairs_trading_data_structures(self):
            calls.append("data")
            return super().intialize_pairs_trading_data_structures()

        def initialize_rarAV_data_structures(self, rarAV_signalforge, rarAV_optimal_entry_model):
            calls.append(("rarAV", rarAV_signalforge, rarAV_optimal_entry_model))
            return super().initialize_rarAV_data_structures(rarAV_signalforge, rarAV_optimal_entry_model)

        def get_clean_dataframe(self):
            return "replaced"

    marker = object()
    factor = Recording("u", table, 1440, [], False, rarAV_signalforge=marker)
    assert calls == ["data", ("rarAV", marker, None)]
    assert factor._datetime_length == 300 and factor.get_clean_dataframe() == "replaced"
    # A subclass defined in Python may carry its own attributes.
    factor.note = "kept"
    assert factor.note == "kept"


# ------------------------------------------------------------------ the caller's inputs


def test_caller_inputs_are_kept_unchanged():
    table = universe_table(n_securities=2, n_bars=300, tz="Europe/Berlin", seed=8)
    table.iloc[10:20, 0] = np.nan
    table["S1_volume"] = table["S1_volume"].astype("int64")
    before = table.copy(deep=True)
    hours = [(time(8), time(20)), (time(22), time(2))]
    hours_before = list(hours)
    names = ["S1", "S0"]
    factor = Factor("u", table, 1440, hours, True, securities_names_list=names)
    pd.testing.assert_frame_equal(table, before)
    assert table.dtypes.equals(before.dtypes)
    assert hours == hours_before and names == ["S1", "S0"]
    assert factor._trading_hours is hours
    # The table is held as a snapshot: later changes to the caller's table do
    # not reach what the factor (and its pickled copies) are rebuilt from.
    table.iloc[:, :] = 0.0
    table["S0_close"] = -1.0
    pd.testing.assert_frame_equal(factor._raw_OHCLV_dataframe, before)
    rebuilt = pickle.loads(pickle.dumps(factor))
    np.testing.assert_array_equal(rebuilt._data_matrix, factor._data_matrix)
    assert factor._securities_names_list is names


def test_a_table_over_the_callers_array_is_held_by_value(table):
    values = table.to_numpy(dtype=np.float64, copy=True)
    shared = pd.DataFrame(values, index=table.index, columns=table.columns, copy=False)
    factor = Factor("u", shared, 1440, [], False)
    values[:] = 0.0  # the caller reuses its buffer
    assert not np.shares_memory(factor._raw_OHCLV_dataframe.to_numpy(), values)
    # The copy a parallel fit's workers score trials on is rebuilt from the held table.
    carried = copy_for_workers(factor)
    try:
        rebuilt = factor_copy_for_fit(carried.token, carried.payload, carried.payload_path)
        np.testing.assert_array_equal(rebuilt._data_matrix, factor._data_matrix)
    finally:
        forget_fit(carried.token)
        carried.release()


def test_clean_dataframe_is_a_new_float_table(factor, table):
    cleaned = factor.get_clean_dataframe()
    assert cleaned.index.tz is None and cleaned.index[0] == pd.Timestamp("2020-01-01")
    assert (cleaned.dtypes == np.float64).all()
    assert list(cleaned.columns) == list(table.columns)
    cleaned.iloc[0, 0] = -1.0
    assert factor._data_matrix[0, 0] != -1.0
