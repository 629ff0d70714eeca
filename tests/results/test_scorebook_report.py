"""Train-set extrapolations, the printed table and the report figure (Agg back end)."""

import matplotlib

matplotlib.use("Agg")

import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402
import pytest  # noqa: E402

from korvane.utils.results import scorebook as scorebook_module  # noqa: E402
from korvane.utils.results.scorebook import Scorebook  # noqa: E402
from results.scorebook_factory import backtest_arrays, daily_scorebook  # noqa: E402

ALL_CURVES = [
    "upper_bound_2sd_extrapolation_from_train_set",
    "lower_bound_2sd_extrapolation_from_train_set",
    "straight_line_extrapolation_from_train_set",
    "train_set_cumprod_equity_curve",
    "test_set_cumprod_equity_curve",
    "worst_outcome_alternate_path",
    "best_outcome_alternate_path",
]


@pytest.fixture(autouse=True)
def fresh_figure():
    plt.close("all")
    plt.figure()
    yield
    plt.close("all")


def drawn():
    return {line.get_label(): line for line in plt.gca().get_lines()}


def book_of(pnl, times, **kwargs):
    return Scorebook(**backtest_arrays(pnl, times, **kwargs))


def joined_growth(train_pnl, train_times, test_pnl, test_times):
    """Daily returns and growth of both splits joined, from 100,000."""
    everything = pd.Series(np.r_[train_pnl, test_pnl], index=train_times.append(test_times))
    daily_pnl = everything.resample("1D").sum()
    returns = (daily_pnl / (daily_pnl.cumsum() + 100_000.0).shift(1)).dropna()
    return returns, (1 + returns).cumprod()


class TestExtrapolations:
    def extrapolate(self, returns, train_times):
        return daily_scorebook(3)._get_extrapolations_from_train_set(returns, pd.DatetimeIndex(train_times))

    def test_line_and_band(self):
        index = pd.date_range("2024-01-02", periods=6)
        returns = pd.Series([0.01, 0.03, 0.5, 0.5, 0.5, 0.5], index=index)
        line, upper, lower = self.extrapolate(returns, ["2024-01-02 09:30", "2024-01-03 16:00"])
        # Two train days: mean 0.02, population deviation 0.01.
        np.testing.assert_allclose(line, 1 + 0.02 * np.arange(6), rtol=1e-15)
        np.testing.assert_allclose(upper - line, 2 * 0.01 * np.sqrt(np.arange(6)), rtol=1e-12)
        np.testing.assert_allclose(line - lower, 2 * 0.01 * np.sqrt(np.arange(6)), rtol=1e-12)
        assert line[0] == upper[0] == lower[0] == 1.0

    def test_window_edges(self):
        index = pd.date_range("2024-01-01", periods=4)
        returns = pd.Series([0.10, 0.02, 0.04, 0.30], index=index)
        # A first timestamp at midnight also takes in the day before it.
        line, _, _ = self.extrapolate(returns, ["2024-01-02 00:00", "2024-01-03 12:00"])
        assert line[1] == pytest.approx(1 + np.mean([0.10, 0.02, 0.04]))
        # A first timestamp during the day does not.
        line, _, _ = self.extrapolate(returns, ["2024-01-02 09:30", "2024-01-03 12:00"])
        assert line[1] == pytest.approx(1.03)

    def test_flat_window_and_single_entry(self):
        returns = pd.Series([0.01] * 5, index=pd.date_range("2024-01-01", periods=5))
        line, upper, lower = self.extrapolate(returns, ["2024-01-01", "2024-01-04"])
        np.testing.assert_array_equal(line, upper)
        np.testing.assert_array_equal(line, lower)
        one = pd.Series([0.2], index=pd.date_range("2024-01-01", periods=1))
        assert [a.tolist() for a in self.extrapolate(one, ["2024-01-01"])] == [[1.0]] * 3

    def test_empty_train_index_raises(self):
        returns = pd.Series([0.01], index=pd.date_range("2024-01-01", periods=1))
        with pytest.raises(IndexError):
            self.extrapolate(returns, [])


class TestReport:
    def test_report_with_a_test_split_prints_three_columns_and_draws_every_curve(self, capsys, tmp_path):
        train = daily_scorebook(160, seed=1)
        train.register_test_set_results(daily_scorebook(40, start="2024-08-13", seed=2))
        assert train.plot_full_results() is None
        printed = capsys.readouterr().out
        header = next(line for line in printed.splitlines() if "train_set_results" in line)
        assert header.index("train_set_results") < header.index("test_set_results") < header.index(
            "full_in_sample_results"
        )
        assert "annnual_sortino_ratio" in printed and printed.lstrip().startswith("+")
        assert list(train.full_results_df.columns) == [
            "train_set_results", "test_set_results", "full_in_sample_results",
        ]
        lines = drawn()
        assert list(lines) == ALL_CURVES
        assert lines["train_set_cumprod_equity_curve"].get_color() == "blue"
        assert lines["worst_outcome_alternate_path"].get_alpha() == 0.33
        assert lines["straight_line_extrapolation_from_train_set"].get_linestyle() == "--"
        assert plt.gca().get_legend() is not None

        target = tmp_path / "report.png"
        plt.gcf().savefig(target)
        image = plt.imread(target)
        assert target.stat().st_size > 20_000
        assert image.shape[0] > 400 and image.shape[1] > 800  # 14 x 8 inches
        assert np.unique(image.reshape(-1, image.shape[-1]), axis=0).shape[0] > 50

    def test_train_column_matches_get_full_results(self, capsys):
        train = daily_scorebook(60, seed=3)
        table = train.get_full_results()
        train.register_test_set_results(daily_scorebook(20, start="2024-03-26", seed=4))
        train.plot_full_results(False, False)
        pd.testing.assert_series_equal(
            train.full_results_df["train_set_results"], table["train_results"], check_names=False
        )

    def test_without_test_split_and_with_flags_off(self, capsys):
        book = daily_scorebook(50)
        book.plot_full_results(plot_alternate_paths=0, plot_extrapolations="")
        header = capsys.readouterr().out.splitlines()[1]
        assert header.split("|")[2].strip() == "results"
        assert list(book.full_results_df.columns) == ["results"]
        lines = drawn()
        assert list(lines) == ["train_set_cumprod_equity_curve"]
        # Growth exists from the split's second day on, each value on its day.
        line = lines["train_set_cumprod_equity_curve"]
        days = pd.date_range(book._datetime_array[0], book._datetime_array[-1])
        assert list(line.get_xdata()) == list(days[1:]) and len(line.get_ydata()) == len(days) - 1

    def test_curve_values_with_a_test_split_starting_the_next_day(self, capsys):
        train_times = pd.date_range("2024-01-01 09:00", periods=30 * 2, freq="12h")  # 30 days
        test_times = pd.date_range("2024-01-31 09:00", periods=10 * 2, freq="12h")  # 10 days
        rng = np.random.default_rng(3)
        train_pnl, test_pnl = rng.normal(5, 300, len(train_times)), rng.normal(5, 300, len(test_times))
        train = book_of(train_pnl, train_times)
        train.register_test_set_results(book_of(test_pnl, test_times))
        train.plot_full_results()
        lines = drawn()

        returns, growth = joined_growth(train_pnl, train_times, test_pnl, test_times)
        # Train curve: the growth from the second train day to the first test
        # day, where the test curve takes over; each value on its own day.
        train_line = lines["train_set_cumprod_equity_curve"]
        assert list(train_line.get_xdata()) == list(pd.date_range("2024-01-02", "2024-01-31"))
        np.testing.assert_allclose(train_line.get_ydata(), growth["2024-01-02":"2024-01-31"], rtol=1e-14)
        test_line = lines["test_set_cumprod_equity_curve"]
        assert list(test_line.get_xdata()) == list(pd.date_range("2024-01-31", "2024-02-09"))
        np.testing.assert_allclose(test_line.get_ydata(), growth["2024-01-31":], rtol=1e-14)
        # The extrapolations' train window runs from the day before the first
        # train day to the appended first test day.
        window = returns["2023-12-31":"2024-01-31"].to_numpy()
        x = np.arange(len(returns))
        line = 1 + window.mean() * x
        np.testing.assert_allclose(
            lines["straight_line_extrapolation_from_train_set"].get_ydata(), line, rtol=1e-14
        )
        np.testing.assert_allclose(
            lines["lower_bound_2sd_extrapolation_from_train_set"].get_ydata(),
            line - 2 * np.sqrt(x) * window.std(),
            rtol=1e-14,
        )
        for label in ("worst_outcome_alternate_path", "best_outcome_alternate_path"):
            assert list(lines[label].get_xdata()) == list(returns.index)

    @pytest.mark.parametrize(
        "test_start",
        [
            "2024-01-20 12:00",  # a split within a day: the test starts on the last train day
            "2024-01-24 09:00",  # a gap of several days between the splits
            "2024-01-21 09:00",  # a test split of a single day, right after the train split
        ],
    )
    def test_equity_curves_draw_each_value_on_its_own_day(self, test_start, capsys):
        train_times = pd.date_range("2024-01-01 09:00", "2024-01-20 10:00", freq="12h")
        test_periods = 2 if test_start.startswith("2024-01-21") else 12
        test_times = pd.date_range(test_start, periods=test_periods, freq="1h")
        rng = np.random.default_rng(5)
        train_pnl, test_pnl = rng.normal(10, 300, len(train_times)), rng.normal(10, 300, len(test_times))
        train = book_of(train_pnl, train_times)
        train.register_test_set_results(book_of(test_pnl, test_times))
        train.plot_full_results()
        _, growth = joined_growth(train_pnl, train_times, test_pnl, test_times)
        first_test_day = pd.Timestamp(test_start).normalize()
        lines = drawn()
        train_line, test_line = lines["train_set_cumprod_equity_curve"], lines["test_set_cumprod_equity_curve"]
        assert train_line.get_xdata()[0] == pd.Timestamp("2024-01-02")
        assert train_line.get_xdata()[-1] == first_test_day == test_line.get_xdata()[0]
        for line in (train_line, test_line):
            np.testing.assert_allclose(line.get_ydata(), growth[pd.DatetimeIndex(line.get_xdata())], rtol=1e-14)

    def test_only_found_alternate_paths_are_drawn(self, monkeypatch, capsys):
        # Rounds end at 0.9 (the first 9,500) or 1.5: the 95th percentile lies
        # between them and matches no round; the 5th matches.
        def two_outcomes(array, random_state=None):
            path = np.zeros_like(array)
            path[-1] = -0.1 if random_state < 9500 else 0.5
            return path

        monkeypatch.setattr(scorebook_module, "bootstrapping_resample", two_outcomes)
        book = daily_scorebook(30)
        book.plot_full_results()
        lines = drawn()
        assert "best_outcome_alternate_path" not in lines
        worst = lines["worst_outcome_alternate_path"]
        assert worst.get_ydata()[-1] == pytest.approx(0.9)
        assert len(worst.get_xdata()) == len(worst.get_ydata())

    def test_dropped_zero_over_zero_days_keep_the_paths_real_length(self, capsys):
        pnl = np.r_[np.full(4, -10_000.0), -60_000.0, np.zeros(10), 0.0]
        book = book_of(pnl, pd.date_range("2024-01-01", periods=len(pnl)))
        book.plot_full_results()
        lines = drawn()
        _, _, returns, days = book._get_daily_returns_series_and_length(
            book._starting_equity, book._total_pnl_after_transaction_costs_array, book._datetime_array
        )
        assert len(returns) < days - 1
        for label in ("worst_outcome_alternate_path", "best_outcome_alternate_path"):
            assert len(lines[label].get_ydata()) == len(lines[label].get_xdata()) == len(returns)

    def test_one_day_and_empty_splits_report_without_failing(self, capsys):
        one_day = book_of(np.full(6, 5.0), pd.date_range("2024-01-02 09:30", periods=6, freq="1h"))
        one_day.plot_full_results()
        empty = book_of(np.zeros(0), pd.DatetimeIndex([]))
        empty.plot_full_results()
        assert "ending_equity" in capsys.readouterr().out
