"""Per-bar pnl into daily equity and returns; exposed tables; test-set registration."""

import numpy as np
import pandas as pd
import pytest

from korvane.utils.results.scorebook import Scorebook
from results.scorebook_factory import backtest_arrays, daily_scorebook


def daily(pnl, times, starting_equity=100.0):
    book = Scorebook(**backtest_arrays(pnl, times, starting_equity=starting_equity))
    return book._get_daily_returns_series_and_length(
        book._starting_equity, np.asarray(pnl, dtype=np.float64), book._datetime_array
    )


def pandas_daily_returns(pnl, times, starting_equity):
    """The same conversion written out with plain pandas operations."""
    series = pd.Series(pnl, index=pd.DatetimeIndex(times).as_unit("ns"))
    per_day = series.resample("1D").sum()
    equity = per_day.cumsum() + starting_equity
    returns = (per_day / equity.shift(1)).dropna().replace([np.inf, -np.inf], np.nan).fillna(0)
    return equity, returns


class TestDailyConversion:
    def test_three_days(self):
        _, equity, returns, days = daily([10.0, 0.0, -5.0], pd.date_range("2024-01-01", periods=3))
        assert equity.tolist() == [110.0, 110.0, 105.0]
        assert returns.tolist() == [0.0, -5.0 / 110.0]
        assert days == 3
        assert equity.name == returns.name == "total_pnl_after_transaction_costs_series"

    def test_days_without_bars_count_with_zero_pnl(self):
        times = pd.to_datetime(["2024-01-01 10:00", "2024-01-04 10:00"])  # Monday, Thursday
        pnl_series, equity, returns, days = daily([5.0, 7.0], times)
        assert days == 4 and len(equity) == 4
        assert returns.tolist()[:2] == [0.0, 0.0]
        assert list(pnl_series.index) == list(times)

    def test_bars_within_one_day(self):
        times = pd.to_datetime(["2024-01-01 10:00", "2024-01-01 10:05", "2024-01-01 15:00"])
        _, equity, returns, days = daily([1.0, 2.0, 3.0], times)
        assert days == 1 and equity.tolist() == [106.0] and returns.empty

    def test_zero_equity_days(self):
        # Equity is wiped out on day 1: a gain on zero equity counts as 0, a
        # zero day on zero equity (0/0) is dropped.
        _, equity, returns, days = daily(
            [-100.0, 5.0], pd.to_datetime(["2024-01-01", "2024-01-02"])
        )
        assert returns.tolist() == [0.0]
        _, equity, returns, days = daily(
            [-100.0, 0.0, 0.0], pd.date_range("2024-01-01", periods=3)
        )
        assert days == 3 and returns.empty

    def test_matches_pandas_on_random_minute_bars(self):
        rng = np.random.default_rng(4)
        times = pd.date_range("2024-03-01 09:30", periods=3000, freq="7min")
        pnl = rng.normal(0, 50, len(times))
        _, equity, returns, days = daily(pnl, times, starting_equity=1e5)
        expected_equity, expected_returns = pandas_daily_returns(pnl, times, 1e5)
        pd.testing.assert_series_equal(equity, expected_equity, check_names=False, rtol=1e-12)
        pd.testing.assert_series_equal(returns, expected_returns, check_names=False, rtol=1e-12)

    def test_refuses_non_float_pnl(self):
        book = daily_scorebook(5)
        with pytest.raises(ValueError, match="Buffer dtype mismatch"):
            book._get_daily_returns_series_and_length(1.0, np.arange(5), book._datetime_array)


class TestExposedTables:
    def test_tables_are_labelled_and_returns_start_at_the_second_bar(self):
        book = daily_scorebook(6)
        book.expose_internal_variables()
        bar_times = pd.DatetimeIndex(book._datetime_array)
        assert list(book.positions_matrix_df.columns) == ["AAA", "BBB"]
        assert book.positions_matrix_df.index.equals(bar_times)
        assert book.returns_after_transaction_costs_series.index.equals(bar_times[1:])
        assert len(book.cumprod_returns_after_transaction_costs_series) == 5
        assert book.equity_value_series.name == "equity_value_series"
        np.testing.assert_array_equal(
            book.slippage_matrix_df.values, book._slippage_matrix_array
        )

    def test_second_call_rebuilds_equal_tables(self):
        book = daily_scorebook(6)
        book.expose_internal_variables()
        first = book.commissions_matrix_df
        book.expose_internal_variables()
        assert book.commissions_matrix_df is not first
        pd.testing.assert_frame_equal(book.commissions_matrix_df, first)

    def test_mismatched_names_raise_the_table_error(self):
        book = daily_scorebook(6)
        book._securities_names_list = ["only_one"]
        with pytest.raises(ValueError):
            book.expose_internal_variables()


class TestRegisteringTheTestSet:
    def test_tables_are_shared_and_statistics_are_one_column(self):
        train, test = daily_scorebook(40), daily_scorebook(15, start="2024-03-01", seed=2)
        train.register_test_set_results(test_set_results=test)
        assert train.test_positions_matrix_df is test.positions_matrix_df
        assert train.test_cumprod_returns_after_transaction_costs_series is (
            test.cumprod_returns_after_transaction_costs_series
        )
        assert list(train.test_full_results_df.columns) == ["test_set_results"]
        assert not train.test_full_results_df.empty
        assert train.positions_matrix_df is None and train.full_results_df is None

    def test_registering_twice_gives_new_equal_tables(self):
        train, test = daily_scorebook(40), daily_scorebook(15, start="2024-03-01", seed=2)
        train.register_test_set_results(test)
        first = train.test_slippage_matrix_df
        train.register_test_set_results(test)
        assert train.test_slippage_matrix_df is not first
        pd.testing.assert_frame_equal(train.test_slippage_matrix_df, first)

    def test_none_raises_attribute_error_and_changes_nothing(self):
        train = daily_scorebook(10)
        with pytest.raises(AttributeError):
            train.register_test_set_results()
        assert train.test_full_results_df.empty
