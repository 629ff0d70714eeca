"""Argument binding, conversions, exact types and the fixed order of the constructor's checks."""

import math
from datetime import time

import numpy as np
import pandas as pd
import pytest

from korvane._common.synthetic_universe import universe_table
import korvane.factors.technical.pairtrader as pairtrader
from korvane.factors.technical.pairtrader import PairsTradingSerialCointegrationFactor as Factor
from korvane.utils.results.scorebook import Scorebook

from factor.construction.construction_helpers import ArgumentsOnlyFactor

NOT_A_DATAFRAME = (
    "pd.DataFrame is not passed, pass a pd.DataFrame object containing the OHCLV of all the securities in this "
    "universe and indexed by datetime"
)
NOT_DATETIME_INDEXED = (
    "pd.DataFrame is not indexed by datetime, please pass a pd.DataFrame object containing the OHCLV of all the "
    "securities in this universe and indexed by datetime"
)
NOT_AWARE = (
    "pd.DataFrame is not datetime aware, please pass a pd.DataFrame object that is datetime aware, and to pass the "
    "trading hours in the same timezone"
)
COLUMN_COUNT = (
    "Number of columns passed in the pd.DataFrame does not match with the number of securities in the "
    "securities_name_list"
)
RESOLUTION = "resolution_in_mins cannot be less than 1"
TRADING_HOURS = (
    "trading_hours should be a List[Tuple[time(start), time(end)]] object. Please ensure the data structures match"
)
OBJECTIVE = "Objective specified is not available"
TRAIN_SPLIT = "train_split_ratio is mispecified, please ensure 0 < train_split_ratio <= 1.0"
PCT_EQUITY = "pct_equity_invested is less than 0, please ensure pct_equity_invested > 0"
INSUFFICIENT = "Insufficient data encountered, please consider getting more data"


def raises_exactly(exception_type, message, *args, factory=ArgumentsOnlyFactor, **kwargs):
    with pytest.raises(exception_type) as caught:
        factory(*args, **kwargs)
    assert type(caught.value) is exception_type
    assert str(caught.value) == message


# ------------------------------------------------------------------ binding


def test_argument_binding_messages(daily_universe):
    df = daily_universe
    raises_exactly(TypeError, "__cinit__() takes at least 5 positional arguments (0 given)")
    raises_exactly(TypeError, "__cinit__() takes at least 5 positional arguments (3 given)", "u", df, 1440)
    raises_exactly(
        TypeError, "__cinit__() takes at most 15 positional arguments (16 given)", "u", df, 1440, [], False, *[None] * 11
    )
    # A gap among the required arguments reports how many were bound before it.
    raises_exactly(
        TypeError,
        "__cinit__() takes at least 5 positional arguments (3 given)",
        "u",
        df,
        resolution_in_mins=1440,
        trades_only_on_weekdays=False,
    )
    raises_exactly(
        TypeError, "__cinit__() got an unexpected keyword argument 'resolution'", "u", df, 1440, [], False, resolution=5
    )
    raises_exactly(
        TypeError,
        "__cinit__() got multiple values for keyword argument 'universe_name'",
        "u",
        df,
        1440,
        [],
        False,
        universe_name="v",
    )


def test_all_arguments_by_keyword_and_defaults(daily_universe):
    factor = ArgumentsOnlyFactor(
        trades_only_on_weekdays=False,
        trading_hours=None,
        resolution_in_mins=1440,
        raw_OHCLV_dataframe=daily_universe,
        universe_name=None,
    )
    assert factor._universe_name is None
    assert factor._objective == "stability_activity_weighted_annual_sharpe_from_median_bootstrapped_returns"
    assert (factor._train_split_ratio, factor._starting_equity, factor._pct_equity_invested) == (0.8, 100000.0, 0.9)
    assert (factor._market_value_pct_commissions, factor._bid_ask_spread_pct_slippage) == (0.001, 0.5)
    assert factor._scale_equity_to_traded_securities is True
    assert factor._rarAV_signalforge is None and factor._rarAV_optimal_entry_model is None
    assert factor._INFINITE_UPDATE_INTERVAL == 10_000_000_000
    assert (factor._MINIMUM_RESOLUTION, factor._MINIMUM_SIZE_OF_ROLLING_WINDOW) == (1, 30)
    assert factor._study_name == "PairsTradingSerialCointegrationFactor"
    assert factor.object_store_dict == {}


# ------------------------------------------------------------------ conversions


def test_conversions(daily_universe):
    df = daily_universe
    assert ArgumentsOnlyFactor("u", df, 2.9, [], False)._resolution_in_mins == 2
    assert ArgumentsOnlyFactor("u", df, True, [], False)._resolution_in_mins == 1
    assert ArgumentsOnlyFactor("u", df, np.int64(7), [], False)._resolution_in_mins == 7
    raises_exactly(TypeError, "an integer is required", "u", df, "5", [], False)
    raises_exactly(TypeError, "an integer is required", "u", df, None, [], False)
    with pytest.raises(OverflowError):
        ArgumentsOnlyFactor("u", df, 2**63, [], False)

    factor = ArgumentsOnlyFactor("u", df, 5, [], None, scale_equity_to_traded_securities=None)
    assert factor._trades_only_on_weekdays is False and factor._scale_equity_to_traded_securities is False
    factor = ArgumentsOnlyFactor("u", df, 5, [], "yes", scale_equity_to_traded_securities=0)
    assert factor._trades_only_on_weekdays is True and factor._scale_equity_to_traded_securities is False

    factor = ArgumentsOnlyFactor("u", df, 5, [], False, train_split_ratio=1, starting_equity=np.float32(5.5))
    assert type(factor._train_split_ratio) is float and factor._train_split_ratio == 1.0
    assert factor._starting_equity == 5.5
    raises_exactly(TypeError, "must be real number, not str", "u", df, 5, [], False, train_split_ratio="0.5")
    raises_exactly(TypeError, "must be real number, not NoneType", "u", df, 5, [], False, starting_equity=None)


def test_exact_types(daily_universe):
    df = daily_universe

    class TextSubclass(str):
        pass

    class ListSubclass(list):
        pass

    raises_exactly(
        TypeError, "Argument 'universe_name' has incorrect type (expected str, got int)", 5, df, 5, [], False
    )
    raises_exactly(
        TypeError,
        "Argument 'universe_name' has incorrect type (expected str, got TextSubclass)",
        TextSubclass("u"),
        df,
        5,
        [],
        False,
    )
    raises_exactly(
        TypeError, "Argument 'trading_hours' has incorrect type (expected list, got tuple)", "u", df, 5, (), False
    )
    raises_exactly(
        TypeError,
        "Argument 'securities_names_list' has incorrect type (expected list, got tuple)",
        "u",
        df,
        5,
        [],
        False,
        securities_names_list=("S0", "S1", "S2"),
    )
    raises_exactly(
        TypeError,
        "Argument 'securities_names_list' has incorrect type (expected list, got ListSubclass)",
        "u",
        df,
        5,
        [],
        False,
        securities_names_list=ListSubclass(["S0", "S1", "S2"]),
    )
    raises_exactly(
        TypeError, "Argument 'objective' has incorrect type (expected str, got int)", "u", df, 5, [], False, objective=3
    )


# ------------------------------------------------------------------ the fixed order


def test_checks_run_in_their_fixed_order():
    """Start from arguments with every fault at once and mend one fault at a time."""
    naive = universe_table(n_securities=3, n_bars=300, tz=None)
    aware = universe_table(n_securities=3, n_bars=300)
    short = universe_table(n_securities=3, n_bars=50)
    args = {
        "universe_name": 1,
        "raw_OHCLV_dataframe": "not a table",
        "resolution_in_mins": "x",
        "trading_hours": (),
        "trades_only_on_weekdays": False,
        "securities_names_list": ("S0",),
        "objective": 2,
        "train_split_ratio": "y",
        "pct_equity_invested": 0.0,
    }
    ladder = [
        (TypeError, "an integer is required", {"resolution_in_mins": 0}),
        (TypeError, "must be real number, not str", {"train_split_ratio": 0.0}),
        (TypeError, "Argument 'universe_name' has incorrect type (expected str, got int)", {"universe_name": "u"}),
        (TypeError, "Argument 'trading_hours' has incorrect type (expected list, got tuple)", {"trading_hours": [("09:30", time(16))]}),
        (
            TypeError,
            "Argument 'securities_names_list' has incorrect type (expected list, got tuple)",
            {"securities_names_list": ["S0"]},
        ),
        (TypeError, "Argument 'objective' has incorrect type (expected str, got int)", {"objective": "unknown"}),
        (Exception, NOT_A_DATAFRAME, {"raw_OHCLV_dataframe": naive.reset_index(drop=True)}),
        (Exception, NOT_DATETIME_INDEXED, {"raw_OHCLV_dataframe": naive}),
        (Exception, NOT_AWARE, {"raw_OHCLV_dataframe": short}),
        (Exception, COLUMN_COUNT, {"securities_names_list": []}),
        (Exception, RESOLUTION, {"resolution_in_mins": 1440}),
        (Exception, TRADING_HOURS, {"trading_hours": [(time(9, 30), time(16))]}),
        (Exception, OBJECTIVE, {"objective": "annual_sharpe_ratio"}),
        (Exception, TRAIN_SPLIT, {"train_split_ratio": 1.0}),
        (Exception, PCT_EQUITY, {"pct_equity_invested": 1e-9}),
        (Exception, INSUFFICIENT, {"raw_OHCLV_dataframe": aware}),
    ]
    for exception_type, message, mend in ladder:
        with pytest.raises(exception_type) as caught:
            Factor(**args)
        assert type(caught.value) is exception_type
        assert str(caught.value) == message
        args.update(mend)
    factor = Factor(**args)
    assert factor._datetime_length == 300


# ------------------------------------------------------------------ table and list checks


def test_table_checks(daily_universe):
    raises_exactly(Exception, NOT_A_DATAFRAME, "u", daily_universe.to_numpy(), 5, [], False)
    raises_exactly(Exception, NOT_DATETIME_INDEXED, "u", daily_universe.reset_index(drop=True), 5, [], False)
    raises_exactly(Exception, NOT_AWARE, "u", daily_universe.tz_localize(None), 5, [], False)

    class UniverseTable(pd.DataFrame):
        pass

    factor = Factor("u", UniverseTable(daily_universe), 1440, [], False)
    assert factor._datetime_length == len(daily_universe)


def test_securities_list_inference(daily_universe, monkeypatch):
    default = pairtrader.DEFAULT_SECURITIES_NAMES_LIST
    first = ArgumentsOnlyFactor("u", daily_universe, 5, [], False)
    other = universe_table(n_securities=2, n_bars=300, names=["X", "Y"])
    second = ArgumentsOnlyFactor("u", other, 5, [], False, securities_names_list=[])
    assert first._securities_names_list == ["S0", "S1", "S2"]
    assert second._securities_names_list == ["X", "Y"]
    assert pairtrader.DEFAULT_SECURITIES_NAMES_LIST is default and default == []

    given = ["S0", "S1", "S2"]
    factor = ArgumentsOnlyFactor("u", daily_universe, 5, [], False, securities_names_list=given)
    assert factor._securities_names_list is given
    given.append("S3")
    assert factor._securities_names_list == ["S0", "S1", "S2", "S3"]

    # Inference follows the order of the "_close" columns, whatever the order of the other fields.
    by_field = daily_universe[[f"{name}_{field}" for field in ("open", "close", "high", "low", "volume") for name in ("S2", "S0", "S1")]]
    assert ArgumentsOnlyFactor("u", by_field, 5, [], False)._securities_names_list == ["S2", "S0", "S1"]

    raises_exactly(Exception, COLUMN_COUNT, "u", daily_universe, 5, [], False, securities_names_list=["S0", "S1"])
    raises_exactly(
        Exception, COLUMN_COUNT, "u", daily_universe.iloc[:, :10], 5, [], False, securities_names_list=["S0", "S1", "S2"]
    )

    class TupleInference:
        def infer_securities_from_OHCLV_df(self, table):
            return ("S0", "S1", "S2")

    class NoneInference:
        def infer_securities_from_OHCLV_df(self, table):
            return None

    monkeypatch.setattr(pairtrader, "Inference", TupleInference)
    raises_exactly(TypeError, "Expected list, got tuple", "u", daily_universe, 5, [], False)
    monkeypatch.setattr(pairtrader, "Inference", NoneInference)
    raises_exactly(TypeError, "object of type 'NoneType' has no len()", "u", daily_universe, 5, None, False)


def test_resolution_bounds(daily_universe):
    raises_exactly(Exception, RESOLUTION, "u", daily_universe, 0, [], False)
    raises_exactly(Exception, RESOLUTION, "u", daily_universe, -5, [], False)
    assert ArgumentsOnlyFactor("u", daily_universe, 1, [], False)._resolution_in_mins == 1


def test_trading_hours_check(daily_universe):
    df = daily_universe
    hours = [(time(9, 30), time(16))]
    assert ArgumentsOnlyFactor("u", df, 5, hours, False)._trading_hours is hours
    assert ArgumentsOnlyFactor("u", df, 5, None, False)._trading_hours is None
    empty = []
    assert ArgumentsOnlyFactor("u", df, 5, empty, False)._trading_hours is empty
    raises_exactly(Exception, TRADING_HOURS, "u", df, 5, [("09:30", "16:00")], False)
    raises_exactly(Exception, TRADING_HOURS, "u", df, 5, [()], False)
    # Every interval is examined, not only the first start.
    for bad in ([(time(9), "16:00")], [hours[0], "anything"], [hours[0], (time(1),)], [time(9, 30)], ["09:30"]):
        raises_exactly(Exception, TRADING_HOURS, "u", df, 5, bad, False)


def test_objective_check(daily_universe, monkeypatch):
    raises_exactly(Exception, OBJECTIVE, "u", daily_universe, 5, [], False, objective=None)
    raises_exactly(Exception, OBJECTIVE, "u", daily_universe, 5, [], False, objective="median_bootstrapped_cumprod_returns")
    for name in Scorebook.available_objectives:
        assert ArgumentsOnlyFactor("u", daily_universe, 5, [], False, objective=name)._objective == name
    # The list is read at every construction.
    monkeypatch.setattr(Scorebook, "available_objectives", Scorebook.available_objectives + ["custom"])
    assert ArgumentsOnlyFactor("u", daily_universe, 5, [], False, objective="custom")._objective == "custom"


@pytest.mark.parametrize("ratio", [0.0, -0.1, 1.0000001, math.nan])
def test_train_split_rejected(daily_universe, ratio):
    raises_exactly(Exception, TRAIN_SPLIT, "u", daily_universe, 5, [], False, train_split_ratio=ratio)


@pytest.mark.parametrize("share", [0.0, -1.0, math.nan])
def test_pct_equity_rejected(daily_universe, share):
    raises_exactly(Exception, PCT_EQUITY, "u", daily_universe, 5, [], False, pct_equity_invested=share)


def test_accepted_bounds_and_unchecked_numbers(daily_universe):
    factor = ArgumentsOnlyFactor(
        "u",
        daily_universe,
        5,
        [],
        False,
        train_split_ratio=1.0,
        pct_equity_invested=1e-9,
        starting_equity=-5.0,
        market_value_pct_commissions=0.0,
        bid_ask_spread_pct_slippage=0.0,
    )
    assert (factor._train_split_ratio, factor._pct_equity_invested) == (1.0, 1e-9)
    assert (factor._starting_equity, factor._market_value_pct_commissions, factor._bid_ask_spread_pct_slippage) == (
        -5.0,
        0.0,
        0.0,
    )
    assert ArgumentsOnlyFactor("u", daily_universe, 5, [], False, pct_equity_invested=3.0)._pct_equity_invested == 3.0


@pytest.mark.parametrize(
    "keywords, message",
    [
        ({"starting_equity": math.nan}, "starting_equity is not a finite number"),
        ({"starting_equity": -math.inf}, "starting_equity is not a finite number"),
        ({"pct_equity_invested": math.inf}, "pct_equity_invested is infinite"),
        ({"market_value_pct_commissions": math.nan}, "market_value_pct_commissions is nan"),
        ({"market_value_pct_commissions": -0.001}, "market_value_pct_commissions is -0.001"),
        ({"bid_ask_spread_pct_slippage": -0.5}, "bid_ask_spread_pct_slippage is -0.5"),
        ({"bid_ask_spread_pct_slippage": math.inf}, "bid_ask_spread_pct_slippage is inf"),
        ({"securities_names_list": ["S0", "S1", "S0"]}, r"securities_names_list names \['S0'\] more than once"),
    ],
)
def test_amounts_that_corrupt_the_accounting_are_refused(daily_universe, keywords, message):
    # A negative cost books a profit on every trade; NaN or infinite amounts
    # make every money total NaN; a security listed twice is paired with itself.
    with pytest.raises(Exception, match="^" + message) as caught:
        ArgumentsOnlyFactor("u", daily_universe, 5, [], False, **keywords)
    assert type(caught.value) is Exception


@pytest.mark.parametrize("start", ["2300-01-01", "1600-01-01"])
def test_dates_outside_the_nanosecond_range_are_refused_clearly(start):
    table = universe_table(n_bars=300)
    table.index = pd.date_range(start, periods=300, freq="D", tz="UTC", unit="s")
    with pytest.raises(Exception, match="^pd.DataFrame index holds dates outside") as caught:
        Factor("u", table, 1440, [], False)
    assert type(caught.value) is Exception


@pytest.mark.parametrize(
    "name", ["intialize_pairs_trading_data_structures", "get_clean_dataframe", "get_full_backtest_results",
             "erase_fit_memory", "__reduce__"]
)
def test_methods_without_arguments_refuse_them_in_the_interpreters_wording(daily_universe, name):
    method = getattr(Factor.__new__(Factor, "u", daily_universe, 1440, [], False), name)
    with pytest.raises(TypeError, match=rf"^{name}\(\) takes no arguments \(1 given\)$"):
        method(1)
    with pytest.raises(TypeError, match=rf"^{name}\(\) takes no keyword arguments$"):
        method(x=1)


def test_backtest_run_binds_its_arguments_like_the_other_methods(daily_universe):
    run = getattr(ArgumentsOnlyFactor("u", daily_universe, 5, [], False), "__run_pairs_trading_serial_cointegration_factor")
    name = "__run_pairs_trading_serial_cointegration_factor"
    with pytest.raises(TypeError, match=rf"^{name}\(\) takes at most 4 positional arguments \(5 given\)$"):
        run(None, False, {}, True, 1)
    with pytest.raises(TypeError, match=rf"^{name}\(\) takes at least 1 positional argument \(0 given\)$"):
        run(is_optimising=False)
    with pytest.raises(TypeError, match=rf"^{name}\(\) got an unexpected keyword argument 'trials'$"):
        run(None, trials=1)
