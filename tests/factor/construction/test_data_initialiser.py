"""The data initialiser: intervals, the one-trading-year threshold, the bar matrices and bad tables."""

from datetime import time
from decimal import Decimal

import numpy as np
import pandas as pd
import pytest

from korvane._common.synthetic_universe import universe_table
from korvane.factors.technical.pairtrader import PairsTradingSerialCointegrationFactor as Factor

from factor.construction.construction_helpers import ArgumentsOnlyFactor

INSUFFICIENT = "Insufficient data encountered, please consider getting more data"


def minute_rows_per_day(n_days, first_minute, n_minutes, tz="UTC", start="2023-01-02", n_securities=2, seed=0):
    """A table with rows every minute from `first_minute` (a time) for `n_minutes` minutes on consecutive days."""
    days = pd.date_range(start, periods=n_days, freq="1D", tz=tz)
    offsets = pd.to_timedelta(first_minute.hour * 60 + first_minute.minute + np.arange(n_minutes), unit="min")
    index = pd.DatetimeIndex([day + offset for day in days for offset in offsets])
    rng = np.random.default_rng(seed)
    columns = {}
    for k in range(n_securities):
        close = 50.0 * np.exp(np.cumsum(rng.normal(0, 0.001, len(index))))
        columns[f"S{k}_open"] = close
        columns[f"S{k}_high"] = close * 1.001
        columns[f"S{k}_low"] = close * 0.999
        columns[f"S{k}_close"] = close
        columns[f"S{k}_volume"] = np.ones(len(index))
    return pd.DataFrame(columns, index=index)


def build_fields_only(table, resolution, hours):
    """Run the real initialiser on a factor built without bars; return the factor and any exception."""
    factor = ArgumentsOnlyFactor("u", table, resolution, hours, False)
    try:
        Factor.intialize_pairs_trading_data_structures(factor)
    except Exception as exception:  # noqa: BLE001 - the fields written before the failure are checked
        return factor, exception
    return factor, None


# ------------------------------------------------------------------ threshold


def test_daily_threshold_at_its_boundary():
    factor = Factor("u", universe_table(n_bars=252), 1440, [], False)
    assert factor._datetime_length == 252
    with pytest.raises(Exception) as caught:
        Factor("u", universe_table(n_bars=251), 1440, [], False)
    assert type(caught.value) is Exception and str(caught.value) == INSUFFICIENT


def test_intraday_threshold_at_its_boundary():
    # Ten trading minutes a day at 5-minute bars: 2 bars a day, 504 bars a year.
    hours = [(time(9, 30), time(9, 40))]
    table = minute_rows_per_day(252, time(9, 30), 10)
    factor = Factor("u", table, 5, hours, False)
    assert (factor._number_of_minutes_in_trading_day, factor._NEW_SPREAD_UPDATE_INTERVAL) == (10, 2)
    assert factor._datetime_length == 504
    # Without the last five rows the last bar is 09:30 of the last day: 503 bars.
    with pytest.raises(Exception, match=INSUFFICIENT):
        Factor("u", table.iloc[:-5], 5, hours, False)


def test_hourly_threshold_without_trading_hours():
    table = universe_table(n_securities=2, n_bars=1440 * 252 // 60, freq="1h")
    assert Factor("u", table, 60, None, False)._datetime_length == 6048
    with pytest.raises(Exception, match=INSUFFICIENT):
        Factor("u", table.iloc[:-1], 60, None, False)


@pytest.mark.parametrize(
    "resolution, hours, minutes, interval",
    [
        (60, [(time(9, 30), time(16))], 390, 6),
        (500, [(time(9, 30), time(16))], 390, 1),
        (1, [], 1440, 1440),
        (1, None, 1440, 1440),
    ],
)
def test_intervals_are_bars_per_trading_day(resolution, hours, minutes, interval):
    factor, exception = build_fields_only(universe_table(n_bars=240, freq="1h"), resolution, hours)
    assert str(exception) == INSUFFICIENT
    assert factor._number_of_minutes_in_trading_day == minutes
    assert factor._NEW_SPREAD_UPDATE_INTERVAL == interval
    assert factor._JOHANSEN_RESAMPLING_INTERVAL == interval
    assert factor._TRIPLE_BARRIER_UPDATE_INTERVAL == interval
    # Fields of the steps before the threshold are written; later ones are not.
    assert factor._datetime_length > 0 and factor._number_of_securities == 0


def test_empty_after_cleaning_is_insufficient_data():
    hourly = universe_table(n_bars=400, freq="1h")
    with pytest.raises(Exception) as caught:
        Factor("u", hourly, 60, [(time(3, 10), time(3, 20))], False)
    assert type(caught.value) is Exception and str(caught.value) == INSUFFICIENT
    with pytest.raises(Exception, match=INSUFFICIENT):
        Factor("u", hourly.iloc[:0], 60, [], False)


# ------------------------------------------------------------------ bar matrices


def test_bar_matrix_fields():
    table = universe_table(n_securities=3, n_bars=301, tz="Asia/Tokyo")
    factor = Factor("u", table, 1440, [], False)
    t, c, n = 301, 15, 3
    times = factor._data_datetime_array
    assert times.dtype == np.dtype("datetime64[ns]") and times.shape == (t,)
    # UTC instants without a zone: Tokyo midnight is 15:00 UTC the day before.
    assert times[0] == np.datetime64("2019-12-31T15:00:00")
    assert factor._last_updated_positions_time == times[0]
    matrix = factor._data_matrix
    assert matrix.dtype == np.float64 and matrix.shape == (t, c) and matrix.flags.c_contiguous
    np.testing.assert_array_equal(matrix, table.to_numpy())
    assert factor._data_column_names_array.dtype.kind == "U"
    assert factor._data_column_names_array.tolist() == list(table.columns)
    assert (factor._datetime_length, factor._column_length, factor._number_of_securities) == (t, c, n)
    assert factor._MAX_ZSCORE_ROLLING_WINDOW == 150
    assert factor._securities_and_position_index_dict == {"S0": 0, "S1": 1, "S2": 2}
    assert all(type(v) is int for v in factor._securities_and_position_index_dict.values())
    for name, shape in (
        ("_raw_positions_matrix_array", (t, n)),
        ("_current_positions_array", (n,)),
        ("_last_updated_positions_weight_array", (n,)),
    ):
        array = getattr(factor, name)
        assert array.dtype == np.float64 and array.shape == shape and not array.any()
    np.testing.assert_array_equal(factor._close_columns_only_data_matrix_array, table.filter(like="_close").to_numpy())
    assert factor._estimated_proportional_slippage_array.shape == (n,)


def test_closes_follow_the_securities_list_not_the_column_order():
    table = universe_table(n_securities=3, n_bars=300)
    factor = Factor("u", table, 1440, [], False, securities_names_list=["S2", "S0", "S1"])
    np.testing.assert_array_equal(
        factor._close_columns_only_data_matrix_array, table[["S2_close", "S0_close", "S1_close"]].to_numpy()
    )
    assert factor._securities_and_position_index_dict == {"S2": 0, "S0": 1, "S1": 2}


def test_fields_are_matched_by_suffix_at_the_end_of_the_name():
    names = ["BTC_low_cap", "ETH_close_fund"]
    table = universe_table(n_securities=2, n_bars=300, names=names)
    factor = Factor("u", table, 1440, [], False)
    assert factor._close_columns_only_data_matrix_array.shape == (300, 2)
    np.testing.assert_array_equal(factor._data_matrix, table.to_numpy())


def test_second_call_rebuilds_from_the_stored_table():
    factor = Factor("u", universe_table(n_bars=300), 1440, [], False)
    matrix, times = factor._data_matrix.copy(), factor._data_datetime_array.copy()
    factor._data_matrix = factor._data_matrix[:10]
    factor._raw_positions_matrix_array[:] = 1.0
    assert factor.intialize_pairs_trading_data_structures() is None
    np.testing.assert_array_equal(factor._data_matrix, matrix)
    np.testing.assert_array_equal(factor._data_datetime_array, times)
    assert not factor._raw_positions_matrix_array.any()


# ------------------------------------------------------------------ bad tables


def test_bad_tables_get_clear_messages():
    table = universe_table(n_bars=300)

    with_nat = table.copy()
    with_nat.index = with_nat.index.insert(5, pd.NaT)[:-1]
    with pytest.raises(Exception, match="NaT") as caught:
        Factor("u", with_nat, 1440, [], False)
    assert type(caught.value) is Exception

    duplicated = table.iloc[np.r_[0:150, 149:299]]
    with pytest.raises(Exception, match="duplicate timestamps") as caught:
        Factor("u", duplicated, 1440, [], False)
    assert type(caught.value) is Exception

    with pytest.raises(Exception, match="not sorted") as caught:
        Factor("u", table.iloc[::-1], 1440, [], False)
    assert type(caught.value) is Exception

    text = table.copy()
    text["S1_close"] = text["S1_close"].astype(str)
    with pytest.raises(Exception, match=r"non-numeric columns \['S1_close'\]") as caught:
        Factor("u", text, 1440, [], False)
    assert type(caught.value) is Exception

    doubled = table.rename(columns={"S0_open": "S0_close"})
    with pytest.raises(Exception, match=r"duplicate column names \['S0_close'\]") as caught:
        Factor("u", doubled, 1440, [], False, securities_names_list=["S0", "S1", "S2"])
    assert type(caught.value) is Exception

    renamed = table.rename(columns={"S0_volume": "S0_turnover"})
    with pytest.raises(KeyError, match="S0_turnover"):
        Factor("u", renamed, 1440, [], False, securities_names_list=["S0", "S1", "S2"])

    with pytest.raises(KeyError, match="X_close"):
        Factor("u", table, 1440, [], False, securities_names_list=["S0", "S1", "X"])


def test_integer_and_nullable_columns_are_read_as_float64():
    table = universe_table(n_securities=2, n_bars=300)
    table["S0_volume"] = table["S0_volume"].astype("int64")
    table["S1_open"] = table["S1_open"].astype("Float64")
    table.iloc[3, table.columns.get_loc("S1_open")] = pd.NA
    # Numbers held in object columns (None for a missing value) are numbers too.
    table["S0_close"] = table["S0_close"].astype(object)
    table.iloc[4, table.columns.get_loc("S0_close")] = None
    table["S1_volume"] = [Decimal(int(v)) for v in table["S1_volume"]]
    factor = Factor("u", table, 1440, [], False)
    assert factor._data_matrix.dtype == np.float64
    assert factor._data_matrix[3, 5] == factor._data_matrix[2, 5]  # carried forward
    assert factor._data_matrix[4, 3] == factor._data_matrix[3, 3]
    np.testing.assert_array_equal(factor._data_matrix[:, 9], table["S1_volume"].to_numpy(dtype=float))

    mixed = universe_table(n_securities=2, n_bars=300)
    mixed["S0_close"] = mixed["S0_close"].astype(object)
    mixed.iloc[4, mixed.columns.get_loc("S0_close")] = "n/a"
    with pytest.raises(Exception, match=r"non-numeric columns \['S0_close'\]") as caught:
        Factor("u", mixed, 1440, [], False)
    assert type(caught.value) is Exception


@pytest.mark.parametrize(
    "universe_name, value, message",
    [
        ("u", pd.NA, None),  # missing, like None
        ("u", 10**400, r"^pd.DataFrame has non-numeric columns \['S0_close'\], please ensure"),
        ("a\udcffb", None, r"^universe_name 'a\\udcffb' cannot name a study file: it contains '\\udcff', please"),
        ("\ud800", None, r"^universe_name '\\ud800' cannot name a study file: it contains '\\ud800', please"),
    ],
)
def test_odd_values_are_read_as_missing_or_refused_clearly(universe_name, value, message, in_tmp_dir):
    table = universe_table(n_securities=2, n_bars=300)
    table["S0_close"] = table["S0_close"].astype(object)
    with_none = table.copy()
    table.iloc[4, 3] = value
    with_none.iloc[4, 3] = None
    if message is None:
        factor = Factor(universe_name, table, 1440, [], False)
        np.testing.assert_array_equal(factor._data_matrix, Factor("u", with_none, 1440, [], False)._data_matrix)
        return
    with pytest.raises(Exception, match=message) as caught:
        Factor(universe_name, table, 1440, [], False)
    assert type(caught.value) is Exception
    assert list(in_tmp_dir.iterdir()) == []


def test_one_bar_wider_than_the_data():
    factor = Factor("u", universe_table(n_bars=30), 10**12, [], False)
    assert factor._datetime_length == 1 and factor._MAX_ZSCORE_ROLLING_WINDOW == 0
    assert factor._NEW_SPREAD_UPDATE_INTERVAL == 1
