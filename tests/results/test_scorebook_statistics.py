"""The statistics table against empyrical, the "VT" benchmark download and its failures."""

import logging

import empyrical
import matplotlib.pyplot as plt
import numpy as np
import pandas as pd
import pytest

from korvane.utils.results import scorebook as scorebook_module
from korvane.utils.results.scorebook import Scorebook
from results.scorebook_factory import backtest_arrays, daily_scorebook

KEYS = [
    "annual_returns", "annual_volatility", "annual_sharpe_ratio", "annnual_sortino_ratio",
    "annual_alpha", "annual_beta", "daily_returns_series", "daily_volatility", "daily_sharpe",
    "max_drawdown", "stability_of_timeseries", "tail_ratio", "value_at_risk", "ending_equity",
    "gross_pnl", "total_slippage", "total_commission", "net_pnl",
]


def results_of(book):
    return book.get_full_results()["train_results"]


@pytest.fixture
def fake_download(offline_benchmark):
    """The offline stand-in for yfinance's download (see the shared conftest)."""
    return offline_benchmark


@pytest.fixture
def downloads(monkeypatch, fake_download):
    """Record the benchmark requests while serving the fake download."""
    calls = []

    def recording(tickers, **kwargs):
        calls.append((tickers, kwargs))
        return fake_download(tickers, **kwargs)

    monkeypatch.setattr(scorebook_module.yf, "download", recording)
    return calls


def expected_column(fake_download, pnl, bar_times, securities_pnl, slippage, commissions):
    """One statistics column written out from its definition: per-bar pnl summed
    per calendar day from a starting equity of 100,000, daily returns on the
    previous day's equity, empyrical against the fake "VT" closes.
    Returns (column, first day, last day)."""
    daily_pnl = pd.Series(pnl, index=pd.DatetimeIndex(bar_times)).resample("1D").sum()
    equity = daily_pnl.cumsum() + 100_000.0
    r = (daily_pnl / equity.shift(1)).dropna().replace([np.inf, -np.inf], np.nan).fillna(0)
    close = fake_download("VT", start=equity.index[0], end=equity.index[-1])["Close"]["VT"]
    benchmark = (close / close.shift(1) - 1).dropna().resample("1D").first().fillna(0)
    joined = pd.concat([benchmark.rename("b"), r.rename("s")], axis=1, join="inner")
    alpha, beta = empyrical.alpha_beta(joined["s"], joined["b"])
    assert not np.isnan(alpha) and not np.isnan(beta)
    values = r.to_numpy()
    deviation = values.std()
    ratios = [
        empyrical.annual_return(r), empyrical.annual_volatility(r), empyrical.sharpe_ratio(r),
        empyrical.sortino_ratio(r), alpha, beta, values.mean(), deviation,
        values.mean() / deviation, empyrical.max_drawdown(r), empyrical.stability_of_timeseries(r),
        empyrical.tail_ratio(r), empyrical.value_at_risk(r),
    ]
    money = [equity.iloc[-1], np.sum(securities_pnl), np.sum(slippage), np.sum(commissions), np.sum(pnl)]
    column = dict(zip(KEYS, [round(v, 5) for v in ratios] + [int(v) for v in money]))
    return column, equity.index[0], equity.index[-1]


def assert_column(table, name, expected):
    for key in KEYS:
        assert table.loc[key, name] == expected[key], (name, key)


def split_values(arrays):
    return [
        arrays[name]
        for name in (
            "total_pnl_after_transaction_costs_array",
            "datetime_array",
            "securities_pnl_matrix_array",
            "slippage_matrix_array",
            "commissions_matrix_array",
        )
    ]


class TestStatisticsTable:
    def test_rows_match_empyrical_called_directly(self, downloads, fake_download):
        arrays = backtest_arrays(
            np.random.default_rng(5).normal(40.0, 900.0, 150), pd.bdate_range("2024-01-02", periods=150)
        )
        table = Scorebook(**arrays).get_full_results()
        assert list(table.index) == KEYS
        expected, first, last = expected_column(fake_download, *split_values(arrays))
        assert_column(table, "train_results", expected)
        # yfinance's end date is exclusive: the request ends on the last day.
        assert downloads == [("VT", {"start": first, "end": last, "progress": False})]

    def test_hand_made_values(self):
        book = daily_scorebook(5)
        index = pd.date_range("2024-01-02", periods=2)
        equity = pd.Series([105.9, 100.2], index=index)
        results = book._generate_results_dict(
            equity, pd.Series([0.01, 0.03], index=index), 2, index[0], index[1],
            np.array([1.9, 2.0]), np.array([-3.7]), np.zeros((2, 2)), np.array([-0.5, 0.2]),
        )
        assert list(results) == KEYS
        assert results["daily_returns_series"] == 0.02
        assert results["ending_equity"] == 100 and results["gross_pnl"] == 3
        assert results["total_slippage"] == -3 and results["net_pnl"] == 0

    def test_flat_returns_have_zero_daily_sharpe(self):
        book = daily_scorebook(5)
        index = pd.date_range("2024-01-02", periods=4)
        results = book._generate_results_dict(
            pd.Series(100.0, index=index), pd.Series(0.0, index=index[1:]), 4, index[0], index[-1],
            np.zeros(1), np.zeros(1), np.zeros(1), np.zeros(1),
        )
        assert results["daily_sharpe"] == 0.0 and results["daily_volatility"] == 0.0

    def test_weekend_days_stay_in_the_join_with_a_zero_benchmark_return(self, monkeypatch):
        seen = {}

        def spy(returns, factor_returns):
            seen["factor"] = factor_returns
            return 0.0, 1.0

        monkeypatch.setattr(scorebook_module.empyrical, "alpha_beta", spy)
        book = Scorebook(**backtest_arrays(np.full(21, 10.0), pd.date_range("2024-01-01", periods=21)))
        book.get_full_results()
        saturday = pd.Timestamp("2024-01-06")
        assert seen["factor"].loc[saturday] == 0.0
        # The last day is outside the exclusive download; the first has no return.
        assert seen["factor"].index[-1] < pd.Timestamp("2024-01-21")


class TestBenchmarkFailures:
    def test_failed_download_logs_one_warning_and_only_alpha_beta_are_nan(self, monkeypatch, caplog):
        book = daily_scorebook(80, seed=1)
        good = results_of(book)

        def offline(*args, **kwargs):
            raise ConnectionError("no route to host\nretry later")

        monkeypatch.setattr(scorebook_module.yf, "download", offline)
        with caplog.at_level(logging.WARNING, logger=" "):
            bad = results_of(book)
        warnings = [r for r in caplog.records if r.name == " " and r.levelno == logging.WARNING]
        assert len(warnings) == 1
        message = warnings[0].getMessage()
        assert '"VT"' in message and "ConnectionError: no route to host retry later" in message
        assert "\n" not in message
        assert np.isnan(bad["annual_alpha"]) and np.isnan(bad["annual_beta"])
        pd.testing.assert_series_equal(
            bad.drop(["annual_alpha", "annual_beta"]), good.drop(["annual_alpha", "annual_beta"])
        )

    def test_empty_download_is_a_failure(self, monkeypatch, caplog, fake_download):
        empty = fake_download("VT", start="2024-01-01", end="2024-01-01")
        monkeypatch.setattr(scorebook_module.yf, "download", lambda *a, **k: empty)
        with caplog.at_level(logging.WARNING, logger=" "):
            table = results_of(daily_scorebook(30))
        assert len([r for r in caplog.records if "no data" in r.getMessage()]) == 1
        assert np.isnan(table["annual_alpha"]) and not np.isnan(table["annual_sharpe_ratio"])

    def test_no_overlap_gives_nan_without_a_warning(self, monkeypatch, caplog, fake_download):
        elsewhere = fake_download("VT", start="2010-01-01", end="2010-03-01")
        monkeypatch.setattr(scorebook_module.yf, "download", lambda *a, **k: elsewhere)
        with caplog.at_level(logging.WARNING, logger=" "):
            table = results_of(daily_scorebook(30))
        assert not caplog.records
        assert np.isnan(table["annual_alpha"]) and np.isnan(table["annual_beta"])

    def test_a_split_within_one_day_gives_nan_statistics(self, downloads):
        times = pd.date_range("2024-01-02 09:30", periods=12, freq="30min")
        table = results_of(Scorebook(**backtest_arrays(np.full(12, 5.0), times)))
        assert all(np.isnan(table[key]) for key in KEYS[:13])
        assert table["ending_equity"] == 100_060
        assert downloads == []

    def test_an_empty_split_downloads_nothing(self, downloads):
        table = results_of(Scorebook(**backtest_arrays(np.zeros(0), pd.DatetimeIndex([]))))
        assert downloads == []
        assert np.isnan(table["ending_equity"]) and np.isnan(table["annual_returns"])
        assert table["net_pnl"] == 0


class TestFullResults:
    def test_columns_without_and_with_a_test_split(self):
        train = daily_scorebook(60)
        assert list(train.get_full_results().columns) == ["train_results"]
        assert list(train.get_full_results(name="x").columns) == ["x"]
        train.register_test_set_results(daily_scorebook(20, start="2024-03-26", seed=9))
        table = train.get_full_results()
        assert list(table.columns) == ["train_results", "test_set_results", "full_in_sample_results"]
        assert list(table.index) == KEYS
        pd.testing.assert_frame_equal(train.get_full_results(), table)
        assert train.full_results_df is not None and list(train.full_results_df.columns) == list(table.columns)

    def test_combined_history_sums_both_splits_per_calendar_day(self, fake_download):
        # Hourly bars: the train split ends on the day the test split begins.
        train_times = pd.date_range("2024-01-01 09:00", periods=30 * 24, freq="60min")
        test_times = pd.date_range(train_times[-1] + pd.Timedelta("30min"), periods=10 * 24, freq="60min")
        rng = np.random.default_rng(2)
        train_arrays = backtest_arrays(rng.normal(1, 60, len(train_times)), train_times, seed=1)
        test_arrays = backtest_arrays(rng.normal(1, 60, len(test_times)), test_times, seed=2)
        train = Scorebook(**train_arrays)
        train.register_test_set_results(Scorebook(**test_arrays))
        table = train.get_full_results()
        train_values, test_values = split_values(train_arrays), split_values(test_arrays)
        assert_column(table, "train_results", expected_column(fake_download, *train_values)[0])
        assert_column(table, "test_set_results", expected_column(fake_download, *test_values)[0])
        # Both splits as one history: every calendar day sums both splits' pnl,
        # and the money rows sum all bars and securities of both.
        joined = [np.r_[a.ravel(), b.ravel()] for a, b in zip(train_values, test_values)]
        joined[1] = train_times.append(test_times)
        assert_column(table, "full_in_sample_results", expected_column(fake_download, *joined)[0])


def test_module_start_up():
    assert len(Scorebook.available_objectives) == 14
    assert "median_boostrapped_cumprod_returns" in Scorebook.available_objectives
    assert "median_bootstrapped_cumprod_returns" not in Scorebook.available_objectives
    assert logging.getLogger(" ").level == logging.INFO
    assert logging.getLogger("blib2to3.pgen2.driver").level == logging.WARNING
    assert tuple(plt.rcParams["figure.figsize"]) == (14, 8)
    assert Scorebook.__doc__ == "Implements the Scorebook of a single run"
