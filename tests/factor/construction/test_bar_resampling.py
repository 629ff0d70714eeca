"""The native bar kernel against pandas resampling, on random tables.

Tolerance: prices and bar times exact; volume sums rtol 1e-12 (the kernel's
compensated sum against whichever summation pandas picks).
"""

import numpy as np
import pandas as pd
import pytest

from korvane.factors.technical import _pairtrader
from korvane.factors.technical._factor.bars import resample_to_bars

from factor.construction.construction_helpers import random_table
from factor.construction.reference_cleaning import reference_resample


def as_frame(bars):
    return bars.to_dataframe()


def assert_matches_pandas(table, resolution):
    got = as_frame(resample_to_bars(table, resolution))
    want = reference_resample(table, resolution)
    assert list(got.columns) == list(want.columns)
    np.testing.assert_array_equal(got.index.as_unit("ns").asi8, want.index.as_unit("ns").asi8)
    assert str(got.index.tz) == str(want.index.tz)
    is_price = ~np.array([c.endswith("_volume") for c in got.columns])
    np.testing.assert_array_equal(got.to_numpy()[:, is_price], want.to_numpy(dtype=float)[:, is_price])
    np.testing.assert_allclose(got.to_numpy(), want.to_numpy(dtype=float), rtol=1e-12, atol=0.0)


@pytest.mark.parametrize("tz", ["UTC", "America/New_York", "Asia/Kolkata", "Australia/Sydney"])
@pytest.mark.parametrize("resolution", [1, 5, 7, 60, 390, 1440, 2880])
def test_matches_pandas_across_zones_and_bar_sizes(tz, resolution):
    # The start straddles the US daylight-saving change of 2021-03-14.
    rng = np.random.default_rng(resolution)
    table = random_table(rng, 6000, 2, tz)
    assert_matches_pandas(table, resolution)


@pytest.mark.parametrize("layout", ["columns", "rows", "strided"])
def test_reads_row_and_column_major_tables_alike(layout):
    rng = np.random.default_rng(11)
    table = random_table(rng, 3000, 3, "Europe/London", layout=layout)
    if layout == "strided":
        assert not table.to_numpy().flags.c_contiguous and not table.to_numpy().flags.f_contiguous
    assert_matches_pandas(table, 5)


def test_integer_volumes_and_late_security():
    rng = np.random.default_rng(3)
    table = random_table(rng, 2000, 2, "UTC")
    table["S0_volume"] = rng.integers(0, 1000, len(table))
    # S1 starts trading an hour late: every bar before its first price goes.
    for field in ("open", "high", "low", "close"):
        table.iloc[:90, table.columns.get_loc(f"S1_{field}")] = np.nan
    got = as_frame(resample_to_bars(table, 5))
    assert got.index[0] >= table.index[90].floor("5min")
    assert_matches_pandas(table, 5)


def test_float_volume_sums_without_missing_values():
    rng = np.random.default_rng(5)
    table = random_table(rng, 9000, 1, "UTC")
    table["S0_volume"] = rng.random(len(table)) * 1e4
    assert_matches_pandas(table, 1440)


@pytest.mark.filterwarnings("ignore:invalid value encountered:RuntimeWarning")
def test_infinite_volume_sums_like_pandas():
    index = pd.date_range("2022-01-03", periods=20, freq="1min", tz="UTC")
    table = pd.DataFrame(
        {"A_close": np.arange(20.0), "A_volume": np.r_[1.0, np.inf, np.ones(8), -np.inf, np.ones(4), np.inf, -np.inf, 1, 1, 1]},
        index=index,
    )
    assert_matches_pandas(table, 5)


def test_bin_holds_last_prices_and_summed_volume():
    index = pd.date_range("2022-01-03 09:00", periods=10, freq="1min", tz="UTC")
    table = pd.DataFrame(
        {
            "A_open": np.arange(10.0) + 100,
            "A_high": np.arange(10.0) + 200,
            "A_low": np.arange(10.0) + 50,
            "A_close": np.arange(10.0) + 150,
            "A_volume": np.arange(10.0),
        },
        index=index,
    )
    got = as_frame(resample_to_bars(table, 5))
    first = got.loc[pd.Timestamp("2022-01-03 09:00", tz="UTC")]
    # Open, high and low of a bar are the bin's last values too.
    assert first.tolist() == [104.0, 204.0, 54.0, 154.0, 0 + 1 + 2 + 3 + 4]


def test_column_never_priced_leaves_no_bars():
    index = pd.date_range("2022-01-03", periods=30, freq="1min", tz="UTC")
    table = pd.DataFrame({"A_close": np.full(30, np.nan), "A_volume": np.ones(30)}, index=index)
    assert len(resample_to_bars(table, 5).utc_ns) == 0


def test_kernel_rejects_mismatched_shapes_and_unsorted_times():
    values = np.zeros((4, 2))
    times = np.array([0, 1, 2, 3], dtype=np.int64)
    rules = np.zeros(2, dtype=np.uint8)
    with pytest.raises(ValueError):
        _pairtrader.resample_bars(values, times, 0, 2, rules, np.empty((1, 2)))
    with pytest.raises(ValueError):
        _pairtrader.resample_bars(values, times[::-1].copy(), 0, 2, rules, np.empty((2, 2)))
    with pytest.raises(ValueError):
        _pairtrader.resample_bars(values, times, 0, 0, rules, np.empty((2, 2)))
    # The bars are written in place: an output that would need converting
    # (and so receive nothing) is refused.
    for out in (np.empty((2, 2), order="F"), np.empty((2, 2), dtype=np.float32)):
        with pytest.raises(TypeError):
            _pairtrader.resample_bars(values, times, 0, 2, rules, out)


@pytest.mark.parametrize("weekdays", [True, False])
def test_daily_bars_keep_their_local_day_across_daylight_saving(weekdays):
    # Equity closes on a naive daily index localised to New York: each day's
    # row must stay in the bar of its own date through the summer months, not
    # slide into the bar of the day before (which would drop summer Mondays
    # with the weekend and add empty Fridays).
    from korvane.factors.technical.pairtrader import PairsTradingSerialCointegrationFactor

    from korvane._common.synthetic_universe import universe_table

    table = universe_table(n_securities=2, n_bars=300, freq="B", start="2021-01-04", tz=None, seed=5)
    table.index = table.index.tz_localize("America/New_York")
    factor = PairsTradingSerialCointegrationFactor(
        "dst", table, 1440, [], weekdays, objective="annual_sharpe_ratio"
    )
    clean = factor.get_clean_dataframe()
    local = clean.index.tz_localize("UTC").tz_convert("America/New_York")
    assert (local.hour == 0).all() and (local.minute == 0).all()
    on_days = clean.set_axis(local.normalize())
    if weekdays:
        assert len(clean) == len(table)
        np.testing.assert_array_equal(on_days.index, table.index)
    np.testing.assert_array_equal(on_days.loc[table.index, "S0_close"], table["S0_close"])
    np.testing.assert_array_equal(on_days.loc[table.index, "S1_volume"], table["S1_volume"])
