"""One factor used from two threads at once: replays against updates and predictions."""

import sys
import threading

import numpy as np
import pytest

from test_live_factor import build, in_tmp_dir, store_best_trial, universe  # noqa: F401

pytestmark = pytest.mark.filterwarnings("ignore::optuna.exceptions.ExperimentalWarning")

NEW_BARS = 4


def scores(results):
    """The train score and the whole statistics table of the test part, comparable as a set member."""
    return repr(results.get_objective_score(objective="annual_sharpe_ratio")), results.test_full_results_df.to_json()


def update_and_predict(factor, row):
    factor.update(row)
    # With no delay allowed, every prediction replays the history, then steps.
    return factor.predict(return_arrays=True, number_of_minutes_away_before_needing_to_rerun=0)


def test_replays_against_updates_and_predictions_match_a_sequential_twin(universe):  # noqa: F811
    store_best_trial()
    history, new_bars = universe.iloc[:-NEW_BARS], universe.iloc[-NEW_BARS:]
    twin = build(history)
    expected_scores = {scores(twin.get_full_backtest_results())}
    expected_weights = []
    for k in range(NEW_BARS):
        expected_weights.append(update_and_predict(twin, new_bars.iloc[k:k + 1]).copy())
        expected_scores.add(scores(twin.get_full_backtest_results()))

    factor = build(history)
    got_scores, got_weights, errors = [], [], []

    def replays():
        try:
            for _ in range(NEW_BARS + 2):
                got_scores.append(scores(factor.get_full_backtest_results()))
        except Exception as error:  # pragma: no cover - reported below
            errors.append(error)

    def live():
        try:
            for k in range(NEW_BARS):
                got_weights.append(update_and_predict(factor, new_bars.iloc[k:k + 1]).copy())
        except Exception as error:  # pragma: no cover - reported below
            errors.append(error)

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    try:
        threads = [threading.Thread(target=replays), threading.Thread(target=live)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        sys.setswitchinterval(interval)
    assert errors == []
    assert set(got_scores) <= expected_scores
    np.testing.assert_array_equal(np.array(got_weights), np.array(expected_weights))
    assert factor._datetime_length == twin._datetime_length
