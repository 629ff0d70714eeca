"""The fourteen objective scores on hand-made equity curves, and their failure to 0.0."""

import logging
import sys

import empyrical
import numpy as np
import pandas as pd
import pytest
from sklearn.utils import resample

from korvane.utils.results import scorebook as scorebook_module
from korvane.utils.results.scorebook import Scorebook
from results.scorebook_factory import backtest_arrays, daily_scorebook

OBJECTIVES = list(Scorebook.available_objectives)
BOOTSTRAP_OBJECTIVES = OBJECTIVES[6:]
CONTEXT = "korvane.utils.results.scorebook.Scorebook.get_objective_score"


@pytest.fixture
def reports(monkeypatch):
    """Collect the ignored-exception reports instead of printing them."""
    collected = []
    monkeypatch.setattr(sys, "unraisablehook", collected.append)
    return collected


def book_from_daily_pnl(pnl, starting_equity=100_000.0, start="2024-01-01"):
    return Scorebook(
        **backtest_arrays(
            pnl, pd.date_range(start, periods=len(pnl), freq="D"), starting_equity=starting_equity
        )
    )


def daily_returns_of(book):
    return book._get_daily_returns_series_and_length(
        book._starting_equity, book._total_pnl_after_transaction_costs_array, book._datetime_array
    )


# Daily pnl of 30-day splits on 100,000: one ruined on its fifth day, one
# that loses 99 % without going under, one without trades, one that gains.
WIGGLE = np.resize([60.0, -60.0], 30)
SPLITS = {
    "bankrupt": np.r_[np.full(4, -10_000.0), -70_000.0, np.zeros(25)],
    "losing": np.full(30, -3_300.0) + WIGGLE,
    "flat": np.zeros(30),
    "winning": np.full(30, 500.0) + 5 * WIGGLE,
}


@pytest.mark.parametrize("objective", OBJECTIVES)
def test_a_bankrupt_split_ranks_below_every_other(objective, reports, caplog):
    scores = {}
    for name, pnl in SPLITS.items():
        caplog.clear()
        scores[name] = book_from_daily_pnl(pnl).get_objective_score(objective=objective)
        warnings = [record.getMessage() for record in caplog.records if record.levelno >= logging.WARNING]
        assert len(warnings) == (name == "bankrupt"), warnings
    assert scores.pop("bankrupt") == -np.inf
    assert all(score > -np.inf for score in scores.values()), scores
    assert reports == []


def test_the_bankruptcy_warning_names_the_bar(caplog):
    book_from_daily_pnl(SPLITS["bankrupt"]).get_objective_score()
    [record] = caplog.records
    assert record.levelno == logging.WARNING and record.name == " "
    assert record.getMessage() == (
        "Equity reached 0 at bar 4 of 30 (2024-01-05 00:00:00): the split is bankrupt and scores -inf"
    )


@pytest.mark.filterwarnings("error")
@pytest.mark.parametrize("objective", OBJECTIVES)
@pytest.mark.parametrize(
    "bars, freq", [(0, "D"), (1, "D"), (3, "h")], ids=["empty", "one-bar", "within-one-day"]
)
def test_a_split_without_returns_scores_nan_quietly(objective, bars, freq, reports, caplog):
    book = Scorebook(
        **backtest_arrays(np.full(bars, 5.0), pd.date_range("2024-01-02", periods=bars, freq=freq))
    )
    score = book.get_objective_score(objective=objective)
    # The per-bar objective still has the bars' cumulative product to read.
    per_bar = objective == "latest_cumprod_returns" and bars > 1
    assert np.isfinite(score) if per_bar else np.isnan(score)
    assert reports == [] and caplog.records == []


class TestHandMadeCurves:
    def test_flat_curve_without_trades(self, reports):
        book = book_from_daily_pnl(np.zeros(40))
        scores = {name: book.get_objective_score(objective=name) for name in OBJECTIVES}
        assert scores["latest_cumprod_returns"] == 1.0
        assert scores["median_boostrapped_cumprod_returns"] == 0.0
        assert scores["daily_sharpe_ratio"] == 0.0
        assert scores["activity_weighted_daily_sharpe_ratio"] == 0.0
        assert scores["annual_sharpe_ratio"] == 0.0  # NaN Sharpe ratio scores 0.0
        assert scores["activity_weighted_annual_sharpe_ratio"] == 0.0
        assert scores["annual_sortino_ratio"] == 0.0
        # A flat curve has no defined stability: the weighted product is NaN.
        assert scores["stability_weighted_median_bootstrapped_cumprod_returns"] == -1.0
        assert scores["activity_weighted_annual_sharpe_from_median_bootstrapped_returns"] == 0.0
        assert scores["stability_activity_weighted_annual_sharpe_from_median_bootstrapped_returns"] == 0.0
        assert reports == []

    def test_values_against_the_definitions(self):
        book = daily_scorebook(90, seed=11)
        _, _, r, days = daily_returns_of(book)
        activity = np.mean(r.to_numpy() != 0)
        assert 0 < activity < 1  # weekends count as days without returns
        sharpe = empyrical.sharpe_ratio(r)
        assert book.get_objective_score("annual_sharpe_ratio") == sharpe
        assert book.get_objective_score("activity_weighted_annual_sharpe_ratio") == pytest.approx(
            sharpe * activity, rel=1e-12
        )
        assert book.get_objective_score("daily_sharpe_ratio") == np.mean(r) / np.std(r)
        assert book.get_objective_score("activity_weighted_daily_sharpe_ratio") == pytest.approx(
            activity * np.mean(r) / np.std(r), rel=1e-12
        )
        assert book.get_objective_score("annual_sortino_ratio") == empyrical.sortino_ratio(r)
        assert book.get_objective_score("latest_cumprod_returns") == (
            book._cumprod_returns_after_transaction_costs_array[-1]
        )

        daily_paths, growth_paths = book._get_bootstrapped_cumprod_daily_returns(days - 1, r, [50])
        final = growth_paths[0][-1] - 1
        assert book.get_objective_score("median_boostrapped_cumprod_returns") == final
        assert book.get_objective_score(
            "stability_weighted_median_bootstrapped_cumprod_returns"
        ) == final * empyrical.stability_of_timeseries(r)
        path = pd.Series(daily_paths[0], index=r.index)
        path_sharpe = empyrical.sharpe_ratio(path) * np.mean(daily_paths[0] != 0)
        assert book.get_objective_score(
            "activity_weighted_annual_sharpe_from_median_bootstrapped_returns"
        ) == pytest.approx(path_sharpe, rel=1e-12)
        assert book.get_objective_score(
            "stability_activity_weighted_annual_sharpe_from_median_bootstrapped_returns"
        ) == pytest.approx(path_sharpe * empyrical.stability_of_timeseries(path), rel=1e-12)

    def test_25_objectives_score_the_median_path_and_repeat(self):
        book = daily_scorebook(70, seed=4)
        pairs = [(OBJECTIVES[i], OBJECTIVES[i + 1]) for i in (6, 8, 10, 12)]
        for median, quartile in pairs:
            first = book.get_objective_score(objective=median)
            assert book.get_objective_score(objective=quartile) == first
            assert book.get_objective_score(objective=median) == first

    def test_tiny_deviation(self):
        pnl = np.r_[0.0, np.tile([1e-4, 1.1e-4], 10)]
        book = book_from_daily_pnl(pnl)
        _, _, r, _ = daily_returns_of(book)
        assert 0 < np.std(r) < 1e-8
        assert book.get_objective_score("daily_sharpe_ratio") == 0.0
        assert book.get_objective_score("activity_weighted_daily_sharpe_ratio") == pytest.approx(
            np.mean(r) / np.std(r), rel=1e-12
        )


class TestNativeAndLoopAgree:
    def test_every_bootstrap_objective(self, monkeypatch):
        book = daily_scorebook(45, seed=6)
        book._BOOTSTRAPPING_ROUNDS = 500
        native = [book.get_objective_score(objective=name) for name in BOOTSTRAP_OBJECTIVES]
        monkeypatch.setattr(
            scorebook_module, "bootstrapping_resample", lambda a, random_state: resample(a, random_state=random_state)
        )
        loop = [book.get_objective_score(objective=name) for name in BOOTSTRAP_OBJECTIVES]
        assert native == loop


class TestFailuresScoreZero:
    @pytest.mark.parametrize("objective", ["nope", None, "median_bootstrapped_cumprod_returns"])
    def test_unknown_objectives_are_reported(self, objective, reports):
        assert daily_scorebook(10).get_objective_score(objective=objective) == 0.0
        assert len(reports) == 1
        assert reports[0].object == CONTEXT
        assert str(reports[0].exc_value) == "Objective specified is not available"
        assert reports[0].exc_traceback is not None

    def test_an_appended_name_without_a_score_is_reported(self, reports, monkeypatch):
        monkeypatch.setattr(Scorebook, "available_objectives", OBJECTIVES + ["sharpest"])
        assert daily_scorebook(10).get_objective_score(objective="sharpest") == 0.0
        assert [str(report.exc_value) for report in reports] == ["Objective specified is not available"]

    def test_objectives_must_be_a_list(self, reports, monkeypatch):
        monkeypatch.setattr(Scorebook, "available_objectives", tuple(OBJECTIVES))
        assert daily_scorebook(10).get_objective_score(objective="daily_sharpe_ratio") == 0.0
        assert len(reports) == 1

    def test_no_round_near_the_median(self, reports, monkeypatch):
        def alternating(array, random_state=None):
            return array if random_state % 2 else -array

        monkeypatch.setattr(scorebook_module, "bootstrapping_resample", alternating)
        book = daily_scorebook(20)
        assert book.get_objective_score(objective="median_boostrapped_cumprod_returns") == 0.0
        assert isinstance(reports[0].exc_value, IndexError)

    def test_the_default_report_names_the_operation(self, capsys, monkeypatch):
        monkeypatch.setattr(sys, "unraisablehook", sys.__unraisablehook__)
        assert daily_scorebook(10).get_objective_score(objective="nope") == 0.0
        err = capsys.readouterr().err
        assert f"Exception ignored in: '{CONTEXT}'" in err
        assert "Objective specified is not available" in err

    def test_a_wrong_argument_type_reaches_the_caller(self):
        with pytest.raises(TypeError):
            daily_scorebook(10).get_objective_score(5)
