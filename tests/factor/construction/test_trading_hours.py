"""Trading hours (UTC clock), weekdays (the table's own zone), minute counts and gap filling."""

import sys
from datetime import time

import numpy as np
import pandas as pd
import pytest

from korvane._common.synthetic_universe import universe_table
from korvane.factors.technical.pairtrader import PairsTradingSerialCointegrationFactor as Factor

from factor.construction.construction_helpers import ArgumentsOnlyFactor, random_table
from factor.construction.reference_cleaning import reference_clean

CONTEXT = (
    "korvane.factors.technical.pairtrader.PairsTradingSerialCointegrationFactor.__get_number_of_minutes_in_trading_day"
)


@pytest.fixture
def factor():
    return ArgumentsOnlyFactor("u", universe_table(n_bars=300), 5, [], False)


def utc(*stamps):
    return np.array(stamps, dtype="datetime64[ns]")


# ------------------------------------------------------------------ minute count


@pytest.mark.parametrize(
    "hours, minutes",
    [
        (None, 1440),
        ([], 1440),
        ([(time(9, 30), time(16))], 390),
        ([(time(9, 0, 30), time(9, 5))], 4),
        # Each interval is truncated on its own: 4 + 4, not 9.
        ([(time(9, 0, 30), time(9, 5)), (time(10, 0, 30), time(10, 5))], 8),
        # Overlaps are counted in full.
        ([(time(9), time(12)), (time(11), time(13))], 300),
        # An overnight interval counts its whole span.
        ([(time(22), time(2))], 240),
        ([(time(9), time(9))], 1440),
    ],
)
def test_minute_count(factor, hours, minutes):
    count = factor._get_number_of_minutes_in_trading_day(hours)
    assert count == minutes and type(count) is int


@pytest.mark.parametrize("hours", [[(time(9), time(10), time(11))], [("09:00", "10:00")], [(time(9), time(10)), 5]])
def test_unreadable_hours_count_zero_and_are_reported(factor, hours, monkeypatch):
    reports = []
    monkeypatch.setattr(sys, "unraisablehook", reports.append)
    assert factor._get_number_of_minutes_in_trading_day(hours) == 0
    assert len(reports) == 1
    assert reports[0].object == CONTEXT
    assert isinstance(reports[0].exc_value, (TypeError, ValueError))


def test_unreadable_hours_at_full_day_bars_end_construction_clearly(monkeypatch):
    # The constructor examines every interval, so unreadable hours never
    # reach the minute count or the daily re-sampling of the spread estimate.
    reports = []
    monkeypatch.setattr(sys, "unraisablehook", reports.append)
    with pytest.raises(Exception) as caught:
        Factor("u", universe_table(n_bars=300), 1440, [(time(1), time(2), time(3))], False)
    assert type(caught.value) is Exception
    assert str(caught.value).startswith("trading_hours should be a List[Tuple[time(start), time(end)]] object.")
    assert reports == []


# ------------------------------------------------------------------ mask


def test_mask_bounds_and_overlaps(factor):
    times = utc("2024-01-02T09:29:59", "2024-01-02T09:30", "2024-01-02T11:30", "2024-01-02T15:59:59", "2024-01-02T16:00")
    mask = factor._filter_trading_hours(times, [(time(9, 30), time(16))])
    assert mask.tolist() == [False, True, True, True, False]
    overlapping = factor._filter_trading_hours(times, [(time(9), time(12)), (time(11), time(13))])
    assert overlapping.dtype == bool and overlapping.tolist() == [True, True, True, False, False]


def test_mask_overnight_interval(factor):
    times = utc("2024-01-02T21:59", "2024-01-02T22:00", "2024-01-02T23:30", "2024-01-03T01:59", "2024-01-03T02:00")
    assert factor._filter_trading_hours(times, [(time(22), time(2))]).tolist() == [False, True, True, True, False]


def test_mask_without_hours_and_with_bad_hours(factor):
    times = utc("2024-01-02T03:00", "2024-01-02T23:00")
    assert factor._filter_trading_hours(times, None).tolist() == [True, True]
    assert factor._filter_trading_hours(times, []).tolist() == [True, True]
    with pytest.raises(ValueError, match="too many values to unpack"):
        factor._filter_trading_hours(times, [(time(9), time(10), time(11))])
    with pytest.raises(TypeError):
        factor._filter_trading_hours(times, [(time(9), "10:00")])


# ------------------------------------------------------------------ cleaning with hours and weekdays


def test_five_minute_bars_within_utc_hours(factor):
    table = universe_table(n_securities=1, n_bars=3 * 1440, freq="1min", start="2024-01-02")
    cleaned = factor._clean_dataframe(table, 5, [(time(9, 30), time(16))], False)
    first_day = cleaned[cleaned.index.normalize() == pd.Timestamp("2024-01-02", tz="UTC")]
    assert first_day.index[0] == pd.Timestamp("2024-01-02 09:30", tz="UTC")
    assert first_day.index[-1] == pd.Timestamp("2024-01-02 15:55", tz="UTC")
    # The 15:55 bar holds the rows up to 15:59.
    assert first_day["S0_close"].iloc[-1] == table.loc["2024-01-02 15:59", "S0_close"]
    assert len(first_day) == 78


def test_hours_read_on_the_utc_clock_for_a_new_york_table(factor):
    table = universe_table(n_securities=1, n_bars=3 * 24, freq="1h", start="2024-01-02", tz="America/New_York")
    # 12:00 in New York in January is 17:00 UTC.
    as_utc = factor._clean_dataframe(table, 60, [(time(14, 30), time(21))], False)
    assert pd.Timestamp("2024-01-02 12:00", tz="America/New_York") in as_utc.index
    assert str(as_utc.index.tz) == "America/New_York"
    as_local = factor._clean_dataframe(table, 60, [(time(9, 30), time(16))], False)
    assert pd.Timestamp("2024-01-02 12:00", tz="America/New_York") not in as_local.index
    assert pd.Timestamp("2024-01-02 05:00", tz="America/New_York") in as_local.index


def test_weekdays_read_in_the_tables_own_zone(factor):
    new_york = universe_table(n_securities=1, n_bars=7 * 24, freq="1h", start="2024-01-01", tz="America/New_York")
    cleaned = factor._clean_dataframe(new_york, 60, [], True)
    # Friday 20:00 in New York is Saturday in UTC and stays; local Saturday goes.
    assert pd.Timestamp("2024-01-05 20:00", tz="America/New_York") in cleaned.index
    assert not (cleaned.index.day_of_week >= 5).any()
    tokyo = universe_table(n_securities=1, n_bars=7 * 24, freq="1h", start="2024-01-01", tz="Asia/Tokyo")
    cleaned = factor._clean_dataframe(tokyo, 60, [], True)
    # Monday 08:00 in Tokyo is Sunday 23:00 UTC and stays.
    assert pd.Timestamp("2024-01-01 08:00", tz="Asia/Tokyo") in cleaned.index
    assert pd.Timestamp("2024-01-07 08:00", tz="Asia/Tokyo") not in cleaned.index


def test_full_day_bars_ignore_hours_and_longer_bars_do_not(factor):
    table = universe_table(n_securities=1, n_bars=20)
    hours = [(time(9, 30), time(16))]
    assert len(factor._clean_dataframe(table, 1440, hours, False)) == 20
    assert len(factor._clean_dataframe(table, 2880, hours, False)) == 0


@pytest.mark.parametrize("tz", ["UTC", "America/New_York", "Asia/Kolkata"])
@pytest.mark.parametrize(
    "hours",
    [[(time(13, 30), time(20))], [(time(22), time(2))], [(time(1), time(4)), (time(3), time(7, 30))], None],
)
@pytest.mark.parametrize("weekdays", [False, True])
def test_cleaning_matches_the_pandas_rules(tz, hours, weekdays, factor):
    rng = np.random.default_rng(7)
    table = random_table(rng, 12 * 1440, 2, tz, freq="1min", start="2024-03-01 17:03")
    for resolution in (5, 390):
        got = factor._clean_dataframe(table, resolution, hours, weekdays)
        want = reference_clean(table, resolution, hours, weekdays)
        np.testing.assert_array_equal(got.index.as_unit("ns").asi8, want.index.as_unit("ns").asi8)
        np.testing.assert_allclose(got.to_numpy(), want.to_numpy(), rtol=1e-12, atol=0.0)


# ------------------------------------------------------------------ gaps


def test_empty_bars_carry_prices_forward_with_zero_volume(factor):
    table = universe_table(n_securities=2, n_bars=30, freq="1min", start="2024-01-02 09:00")
    gapped = table.drop(table.index[5:10])  # no rows from 09:05 to 09:09
    cleaned = factor._clean_dataframe(gapped, 5, [], False)
    gap, before = cleaned.loc["2024-01-02 09:05"], cleaned.loc["2024-01-02 09:00"]
    for column in cleaned.columns:
        if column.endswith("_volume"):
            assert gap[column] == 0.0
        else:
            assert gap[column] == before[column]
    assert len(cleaned) == 6

