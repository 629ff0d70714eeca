"""``fit``, best-parameter results and the classifier hand-off on the real factor.

A small daily universe (three securities, just over a trading year) keeps each
trial to milliseconds; the benchmark download of the results is the offline
fake of ``conftest``.
"""

import os
import pickle
import sqlite3

import joblib
import optuna
import pandas as pd
import pytest

from factor.daily_factor import daily_factor
from korvane._common.synthetic_universe import TRADING_PARAMS, universe_table
from korvane.factors.technical.pairtrader import PairsTradingSerialCointegrationFactor
from korvane.utils.results.scorebook import Scorebook

pytestmark = pytest.mark.usefixtures("in_tmp_dir")

STUDY = "PairsTradingSerialCointegrationFactor"
STEM = "fitted_1440_annual_sharpe_ratio_0.9_" + STUDY


@pytest.fixture(scope="module")
def universe():
    return universe_table(n_securities=3, n_bars=330, freq="1D", seed=3)


def build(universe, **overrides):
    return daily_factor("fitted", universe, **overrides)


def enqueue_trading_trial():
    """Queue the trading parameter set as the next trial of the study file of the working directory."""
    study = optuna.create_study(
        study_name=STUDY, storage="sqlite:///" + STEM + ".db", direction="maximize", load_if_exists=True
    )
    study.enqueue_trial(TRADING_PARAMS)


def finished(path=STEM + ".db"):
    study = optuna.load_study(study_name=STUDY, storage="sqlite:///" + str(path))
    return [t for t in study.get_trials(deepcopy=False) if t.state == optuna.trial.TrialState.COMPLETE]


class RecordingClassifier:
    """An entry classifier that has no saved pipeline and records its training calls."""

    def __init__(self):
        self.fit_calls = []
        self.load_calls = []

    def fit(self, **kwargs):
        self.fit_calls.append(kwargs)

    def __reduce__(self):
        raise TypeError("this stand-in must not travel to workers")


setattr(
    RecordingClassifier,
    "__check_and_load_optimal_entry_classifier",
    lambda self, factor_name="": self.load_calls.append(factor_name) or False,
)


class UnpicklableFeatureGenerator:
    """Two features per entry; refuses pickling like the real feature generator."""

    def __init__(self):
        self.calls = 0

    def generate_features_for_pair_spreads(self, **kwargs):
        self.calls += 1
        return {"float64_a": float(self.calls), "float64_b": 0.5}

    def __reduce__(self):
        raise TypeError("cannot pickle 'Signalforge' object")


def test_unknown_objective_is_refused_at_construction(universe):
    with pytest.raises(Exception) as info:
        build(universe, objective="highest_returns")
    assert str(info.value) == "Objective specified is not available"


def test_fit_zero_trials_is_refused(universe, in_tmp_dir):
    with pytest.raises(Exception, match="^n_trials_to_estimate_params cannot be less than 0"):
        build(universe).fit(0)
    assert os.listdir(in_tmp_dir) == []


def test_sequential_fit_then_results_of_the_logged_best(universe):
    factor = build(universe)
    enqueue_trading_trial()
    factor.fit(4)
    trials = finished()
    assert len(trials) == 4
    best = max(trials, key=lambda t: t.value)
    results = factor.get_full_backtest_results()
    assert isinstance(results, Scorebook)
    assert factor._factor_best_params_dict == best.params
    assert list(results.test_full_results_df.columns) == ["test_set_results"]
    # The rerun scores the train part exactly as the best trial did.
    assert results.get_objective_score(objective="annual_sharpe_ratio") == pytest.approx(best.value, rel=1e-12, abs=1e-12)


def test_results_of_a_stored_study_on_a_fresh_factor(universe):
    build(universe).fit(2)
    fresh = build(universe)
    assert fresh._factor_best_params_dict is None
    results = fresh.get_full_backtest_results()
    assert isinstance(results, Scorebook)
    assert fresh._factor_best_params_dict == max(finished(), key=lambda t: t.value).params


def test_in_process_trials_keep_their_trades_until_reset(universe, monkeypatch):
    factor = build(universe)
    enqueue_trading_trial()
    counts = []
    run = PairsTradingSerialCointegrationFactor._run_pairs_trading_serial_cointegration_factor

    def counting_run(self, *args, **kwargs):
        result = run(self, *args, **kwargs)
        counts.append(self._rarav_trades_count)
        return result

    monkeypatch.setattr(PairsTradingSerialCointegrationFactor, "__run_pairs_trading_serial_cointegration_factor", counting_run)
    factor.fit(6)
    assert counts == sorted(counts) and counts[0] > 0
    assert len(factor._rarav_trades_store_dict) == counts[-1] == factor._rarav_trades_count
    factor.initialize_rarAV_data_structures(None, None)
    assert factor._rarav_trades_store_dict == {}


def test_parallel_fit_with_helpers_held_sends_copies_without_them(universe):
    classifier = RecordingClassifier()
    factor = build(universe, rarAV_signalforge=UnpicklableFeatureGenerator(), rarAV_optimal_entry_model=classifier)
    with pytest.raises(TypeError):
        pickle.dumps(factor)  # the factor itself still pickles with everything it holds
    factor.fit(5, n_jobs=2)
    assert len(finished()) == 5
    assert factor._factor_best_params_dict == max(finished(), key=lambda t: t.value).params


def test_four_jobs_record_exactly_the_requested_trials(universe):
    factor = build(universe)
    factor.fit(1)
    factor.fit(7, n_jobs=4)
    assert len(finished()) == 8


def test_classifier_trains_on_the_train_trades_of_every_in_process_run(universe):
    classifier, generator = RecordingClassifier(), UnpicklableFeatureGenerator()
    factor = build(universe, rarAV_signalforge=generator, rarAV_optimal_entry_model=classifier)
    enqueue_trading_trial()
    factor.fit(5, fit_rarAV=True, n_trials_to_estimate_params_for_rarAV=3, n_jobs_for_rarAV=1)
    (call,) = classifier.fit_calls
    train_trades = factor._rarav_train_trades_store_df
    features = call["X_train_df"]
    assert len(features) == len(train_trades) > 0
    assert list(features.columns) == ["float64_a", "float64_b"]
    # The trades of the in-process trials carry their features as the rerun's do.
    assert (features["float64_b"] == 0.5).all()
    assert generator.calls > 0
    assert (call["y_train_series"] == train_trades["trade_label"]).all()
    assert call["impact_series"].sum() == pytest.approx(1.0)
    assert len(call["complete_datetime_index_series"]) == factor._datetime_length
    assert call["storage_name"] == STEM and call["factor_name"] == STUDY
    assert call["embargo_td"] == pd.Timedelta(days=1)
    assert factor._rarAV_optimal_entry_ready is False
    # The tables of the rerun cover the whole store: the trades of the five
    # trials as well as the rerun's own.
    assert len(train_trades) + len(factor._rarav_test_trades_store_df) == factor._rarav_trades_count


def test_fit_rarav_without_a_classifier_fails_before_the_search(universe, in_tmp_dir):
    factor = build(universe)
    with pytest.raises(Exception, match="no rarAV_optimal_entry_model"):
        factor.fit(2, fit_rarAV=True)
    assert factor._factor_best_params_dict is None and factor._fit_rarAV is False
    assert list(in_tmp_dir.iterdir()) == []


def test_threading_backend_trials_score_as_a_sequential_rerun_of_their_parameters(universe):
    factor = build(universe)
    with joblib.parallel_config(backend="threading"):
        factor.fit(4, n_jobs=2)
    trials = finished()
    assert len(trials) == 4
    run = getattr(factor, "__run_pairs_trading_serial_cointegration_factor")
    for trial in trials:
        results = run(None, is_optimising=False, optimal_params=trial.params)
        assert results.get_objective_score(objective="annual_sharpe_ratio") == pytest.approx(trial.value, rel=1e-12, abs=1e-12)


def test_a_study_file_of_an_older_schema_is_refused_after_one_was_erased(universe):
    # The schema is checked once per file and process: a file made again
    # where a checked one was erased, here by an older optimiser, is not
    # taken for the checked one.
    factor = build(universe)
    factor.fit(1)
    factor.erase_fit_memory()
    optuna.create_study(study_name=STUDY, storage="sqlite:///" + STEM + ".db", direction="maximize")
    with sqlite3.connect(STEM + ".db") as connection:
        connection.execute("UPDATE alembic_version SET version_num = 'v3.0.0.d'")
    with pytest.raises(RuntimeError, match="optuna storage upgrade"):
        build(universe).fit(1)
