"""``update`` then ``predict`` on the real factor and engine.

The study is written directly with one finished trial of a parameter set that
trades on the test universe, so no search is needed. The last test shares one
factor between two threads.
"""

import pickle
import sys
import threading

import numpy as np
import optuna
import pandas as pd
import pytest

from korvane._common.synthetic_universe import TRADING_PARAMS as PARAMS, universe_table
from factor.daily_factor import daily_factor
from korvane.factors.technical._factor.backtest_run import _closes_for_valuation

pytestmark = pytest.mark.usefixtures("in_tmp_dir")

STUDY = "PairsTradingSerialCointegrationFactor"


@pytest.fixture(scope="module")
def universe():
    return universe_table(n_securities=4, n_bars=340, freq="1D", seed=5)


def build(table, **overrides):
    return daily_factor("live", table, **overrides)


def store_best_trial(params=PARAMS, score=1.0):
    study = optuna.create_study(
        study_name=STUDY,
        storage="sqlite:///live_1440_annual_sharpe_ratio_0.9_" + STUDY + ".db",
        direction="maximize",
        load_if_exists=True,
    )
    distributions = {
        name: optuna.distributions.IntDistribution(1, 1000)
        if isinstance(value, int)
        else optuna.distributions.FloatDistribution(0.01, 10.0)
        for name, value in params.items()
    }
    study.add_trial(optuna.trial.create_trial(params=params, distributions=distributions, value=score))


def test_predict_without_a_study_stores_nothing(universe, in_tmp_dir):
    factor = build(universe)
    with pytest.raises(KeyError):
        factor.predict()
    assert factor._factor_best_params_dict is None
    assert list(in_tmp_dir.iterdir()) == []


def test_predict_continues_the_replayed_run_one_step_per_new_bar(universe):
    store_best_trial()
    history, new_bars = universe.iloc[:-3], universe.iloc[-3:]
    factor = build(history)
    first = factor.predict()
    assert factor._factor_best_params_dict == PARAMS
    latest = pd.Timestamp(factor._data_datetime_array[-1])
    assert list(first.columns) == [latest] and list(first.index) == ["S0", "S1", "S2", "S3"]
    assert factor.current_time == factor._data_datetime_array[-1]

    # A replay over the history followed by one step over the latest window
    # gives the row the backtest loop would decide for the bar after it.
    reference = build(universe)
    reference._run_pairs_trading_serial_cointegration_factor(None, False, PARAMS, False)
    expected_row = reference._raw_positions_matrix_array[len(history)]
    gross = np.abs(expected_row).sum()
    expected = expected_row / gross if gross else expected_row
    np.testing.assert_allclose(first.iloc[:, 0].to_numpy(), expected, rtol=1e-12, atol=0)

    unchanged = factor.predict(return_arrays=True)
    np.testing.assert_array_equal(unchanged, first.iloc[:, 0].to_numpy())

    for position in range(3):
        factor.update(new_bars.iloc[position : position + 1])
        weights = factor.predict(return_arrays=True)
        assert factor._last_updated_positions_time == factor._data_datetime_array[-1]
        total = np.abs(weights).sum()
        assert total == pytest.approx(1.0) or total == 0.0
    assert factor._datetime_length == len(universe)

    positions = factor.predict(convert_to_actual_positions=True, return_arrays=True, current_equity=50_000.0)
    traded = np.count_nonzero(weights) / 4
    np.testing.assert_allclose(
        positions, weights * 50_000.0 * traded / factor._close_columns_only_data_matrix_array[-1], rtol=1e-15
    )


@pytest.mark.parametrize(
    "predicted_before_fit, rerun_minutes",
    [(True, 0), (True, 10**9), (False, 10**9)],  # rerun age 0 replays always, 10**9 never
)
def test_predict_after_a_fit_matches_a_fresh_factor(universe, predicted_before_fit, rerun_minutes):
    def live_weights(factor):
        return factor.predict(return_arrays=True, number_of_minutes_away_before_needing_to_rerun=rerun_minutes).copy()

    # Scores far above any drawn trial's keep the best parameters known.
    store_best_trial(score=1e6)
    factor = build(universe)
    if predicted_before_fit:
        before = live_weights(factor)
        # A better trial, as another process sharing the study would add.
        store_best_trial(dict(PARAMS, size_of_rolling_windows=40), score=2e6)
    factor.fit(n_trials_to_estimate_params=1)
    replays = []
    cls, replay = type(factor), type(factor).get_full_backtest_results
    cls.get_full_backtest_results = lambda self: replays.append(1) or replay(self)
    try:
        weights = live_weights(factor)
    finally:
        cls.get_full_backtest_results = replay
    assert len(replays) == 1  # the restarted run replays once, whatever the rerun age
    np.testing.assert_array_equal(weights, live_weights(build(universe)))
    assert np.abs(weights).sum() == pytest.approx(1.0)
    if predicted_before_fit:
        assert not np.array_equal(weights, before)


def test_update_of_the_real_factor_checks_the_frame(universe):
    factor = build(universe.iloc[:-1])
    last = universe.iloc[-1:]
    with pytest.raises(Exception, match="^New row of data does not have the same column length as the dataframe initialised$"):
        factor.update(last.iloc[:, :-2])
    with pytest.raises(Exception, match="^Datetime of new row of data is before the latest datetime already recorded$"):
        factor.update(universe.iloc[-2:-1])
    factor.update(last[list(reversed(last.columns))])
    np.testing.assert_array_equal(factor._data_matrix[-1], last.to_numpy()[0])
    np.testing.assert_array_equal(factor._close_columns_only_data_matrix_array[-1], last.filter(like="_close").to_numpy()[0])


def test_update_keeps_closes_in_the_order_of_the_securities_list(universe):
    # The list names the securities in another order than the table's columns.
    names = ["S2", "S0", "S3", "S1"]
    factor = build(universe.iloc[:-1], securities_names_list=names)
    last = universe.iloc[-1:]
    factor.update(last)
    expected = [last[name + "_close"].iloc[0] for name in names]
    np.testing.assert_array_equal(factor._close_columns_only_data_matrix_array[-1], expected)
    np.testing.assert_array_equal(
        factor._close_columns_only_data_matrix_array[:-1],
        universe.iloc[:-1][[name + "_close" for name in names]].to_numpy(),
    )


def test_a_pickled_factor_is_rebuilt_without_the_appended_rows(universe):
    factor = build(universe.iloc[:-2])
    factor.update(universe.iloc[-2:])
    factor._factor_best_params_dict = dict(PARAMS)
    copy = pickle.loads(pickle.dumps(factor))
    assert copy._datetime_length == len(universe) - 2 == factor._datetime_length - 2
    np.testing.assert_array_equal(copy._data_matrix, factor._data_matrix[:-2])
    assert copy._factor_best_params_dict is None


@pytest.mark.parametrize("bad_close", [np.nan, np.inf, 0.0, -1.0])
def test_an_invalid_live_close_is_held_at_the_last_valid_close(universe, bad_close, caplog):
    # A halted security or a feed gap leaves an invalid close in appended
    # rows, here on S0, which holds a position. Every weight, money total and
    # statistic stays a number: the position is held and marked at the last
    # valid close, and a warning names the security and the bar.
    store_best_trial()
    history, new_bars = universe.iloc[:-3], universe.iloc[-3:].copy()
    new_bars.iloc[:2, new_bars.columns.get_loc("S0_close")] = bad_close
    new_bars.iloc[1, new_bars.columns.get_loc("S2_close")] = np.nan
    factor = build(history)
    assert factor.predict(return_arrays=True)[0] != 0.0
    for position in range(3):
        factor.update(new_bars.iloc[position : position + 1])
        weights = factor.predict(return_arrays=True)
        assert np.abs(weights).sum() == pytest.approx(1.0)
    assert "CLOSE OF S0 IS MISSING, ZERO OR NEGATIVE AT %s;" % new_bars.index[1].tz_localize(None) in caplog.text
    # The matrices keep the rows as they were given.
    assert factor._close_columns_only_data_matrix_array[-3, 0] == bad_close or np.isnan(bad_close)
    later = universe.iloc[-1:].set_axis(universe.index[-1:] + pd.Timedelta(days=1))
    factor.update(later.assign(S1_close=np.nan))
    positions = factor.predict(convert_to_actual_positions=True, return_arrays=True)
    assert np.isfinite(positions).all()

    results = factor.get_full_backtest_results()
    table = results.get_full_results()
    assert np.isfinite(results.test_equity_value_series.to_numpy()).all()
    assert np.isfinite(table.to_numpy(dtype=float)).all()
    marks = _closes_for_valuation(factor._close_columns_only_data_matrix_array)
    np.testing.assert_array_equal(marks[-4:-2, 0], history["S0_close"].iloc[-1])
    clean = build(history)._close_columns_only_data_matrix_array
    assert _closes_for_valuation(clean) is clean


# One factor used from two threads at once: replays against updates and predictions.
NEW_BARS = 4


def scores(results):
    """The train score and the whole statistics table of the test part, comparable as a set member."""
    return repr(results.get_objective_score(objective="annual_sharpe_ratio")), results.test_full_results_df.to_json()


def update_and_predict(factor, row):
    factor.update(row)
    # With no delay allowed, every prediction replays the history, then steps.
    return factor.predict(return_arrays=True, number_of_minutes_away_before_needing_to_rerun=0)


def test_replays_against_updates_and_predictions_match_a_sequential_twin(universe):
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
