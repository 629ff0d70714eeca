"""``update`` and ``predict`` on a factor whose engine and replay are scripted.

The real engine is used in ``test_live_factor.py``; here the checks are the
input rules of ``update`` and the replay, new-bar and output rules of
``predict``, which must hold whatever the strategy decides.
"""

import numpy as np
import optuna
import pandas as pd
import pytest

from factor.live.live_stub import LiveStub

pytestmark = pytest.mark.usefixtures("in_tmp_dir")

PARAMS = {"size_of_rolling_windows": 5}


def store_study(params=PARAMS, value=1.0):
    study = optuna.create_study(
        study_name="PairsTradingSerialCointegrationFactor",
        storage="sqlite:///live_60_latest_cumprod_returns_0.9_PairsTradingSerialCointegrationFactor.db",
        direction="maximize",
    )
    trial = optuna.trial.create_trial(
        params=params,
        distributions={k: optuna.distributions.IntDistribution(1, 100) for k in params},
        value=value,
    )
    study.add_trial(trial)


class TestUpdateRejects:
    @pytest.mark.parametrize("bad", [None, [1, 2], pd.Series([1.0])])
    def test_not_a_frame(self, bad):
        with pytest.raises(Exception) as info:
            LiveStub().update(bad)
        assert type(info.value) is Exception
        assert str(info.value) == "New row of data is not a pd.core.frame.DataFrame object"

    @pytest.mark.parametrize("change", [-1, 1])
    def test_wrong_column_count(self, change):
        factor = LiveStub()
        frame = factor.new_rows()
        frame = frame.iloc[:, :-1] if change < 0 else frame.assign(extra=1.0)
        with pytest.raises(Exception, match="^New row of data does not have the same column length as the dataframe initialised$"):
            factor.update(frame)

    def test_no_datetime_index(self):
        factor = LiveStub()
        frame = factor.new_rows().reset_index(drop=True)
        with pytest.raises(Exception, match="^New row of data does not have a datetime index$"):
            factor.update(frame)

    @pytest.mark.parametrize("offset", [0, -60])
    def test_not_after_the_last_bar(self, offset):
        factor = LiveStub()
        before = factor._data_matrix
        with pytest.raises(Exception, match="^Datetime of new row of data is before the latest datetime already recorded$"):
            factor.update(factor.new_rows(offset_minutes=offset))
        assert factor._data_matrix is before and factor._datetime_length == 50

    @pytest.mark.parametrize(
        "edit, message",
        [
            (lambda f: f.iloc[:0], "New row of data is empty"),
            (lambda f: f.iloc[::-1], "not sorted in increasing time order"),
            (lambda f: f.set_axis(f.index[[0, 0, 2]]), "duplicate timestamps"),
            (lambda f: f.set_axis(pd.DatetimeIndex([f.index[0], pd.NaT, f.index[2]])), "NaT"),
            (lambda f: f.iloc[:1].set_axis(pd.DatetimeIndex([pd.NaT], tz="UTC")), "NaT"),
        ],
    )
    def test_every_row_is_checked_and_a_failure_changes_nothing(self, edit, message):
        factor = LiveStub()
        before = (factor._data_matrix, factor._data_datetime_array, factor._close_columns_only_data_matrix_array)
        with pytest.raises(Exception, match=message) as info:
            factor.update(edit(factor.new_rows(n_rows=3)))
        assert type(info.value) is Exception
        after = (factor._data_matrix, factor._data_datetime_array, factor._close_columns_only_data_matrix_array)
        assert all(a is b for a, b in zip(before, after)) and factor._datetime_length == 50

    def test_zone_aware_times_compare_as_instants(self):
        factor = LiveStub()
        # 30 minutes after the last bar, written in a zone east of UTC.
        factor.update(factor.new_rows(offset_minutes=30, tz="Asia/Kolkata"))
        assert factor.bar_times()[-1] == pd.Timestamp(factor._data_datetime_array[48]) + pd.Timedelta("90min")

    def test_missing_column_name_changes_nothing(self):
        factor = LiveStub()
        frame = factor.new_rows().rename(columns={"A_open": "Z_open"})
        with pytest.raises(KeyError):
            factor.update(frame)
        assert factor._datetime_length == 50


REFUSED = r"^New row of data has non-numeric columns \['A_close'\], please ensure every price and volume column holds"


class TestUpdateColumnValues:
    """Values convert as the array library converts them, pd.NA as missing; those that would
    become another number (durations, datetimes, complex values) or none at all are refused."""

    @pytest.mark.parametrize(
        "values, dtype, outcome",
        [
            (["55.7", "1"], object, [55.7, 1.0]),
            (["55.7", "1"], "string", [55.7, 1.0]),
            ([55.7, 1.0], "category", [55.7, 1.0]),
            ([pd.NA, "2.5"], object, [np.nan, 2.5]),
            ([pd.NA, 1.5], object, [np.nan, 1.5]),
            (["abc", "1"], object, "^could not convert string to float: 'abc'$"),
            (pd.to_timedelta([5, 1], unit="s"), None, REFUSED),
            (pd.to_timedelta([5, 1], unit="s"), "category", REFUSED),
            ([np.timedelta64(5, "s"), 1.0], object, REFUSED),
            (pd.to_datetime(["2022-01-01", "2022-01-02"]), None, REFUSED),
            ([1 + 2j, 1], complex, REFUSED),
            ([1 + 2j, 1.0], object, REFUSED),
            ([10**400, 1.0], object, REFUSED),
        ],
    )
    def test_numbers_are_stored_and_other_values_refused_before_any_change(self, values, dtype, outcome):
        factor = LiveStub()
        before = (factor._data_matrix, factor._data_datetime_array, factor._close_columns_only_data_matrix_array)
        frame = factor.new_rows(n_rows=2)
        frame["A_close"] = pd.Series(values, index=frame.index, dtype=dtype)
        if isinstance(outcome, list):
            factor.update(frame)
            np.testing.assert_array_equal(factor._data_matrix[50:, 3], outcome)
            np.testing.assert_array_equal(factor._close_columns_only_data_matrix_array[50:, 0], outcome)
            return
        with pytest.raises(ValueError, match=outcome) as info:
            factor.update(frame)
        assert type(info.value) is ValueError
        after = (factor._data_matrix, factor._data_datetime_array, factor._close_columns_only_data_matrix_array)
        assert all(a is b for a, b in zip(before, after)) and factor._datetime_length == 50


class TestUpdateAppends:
    def test_rows_are_reordered_to_the_stored_columns_and_appended(self):
        factor = LiveStub()
        frame = factor.new_rows(n_rows=2)
        frame.iloc[0] = np.arange(frame.shape[1], dtype=float)
        frame.iloc[1, 3] = np.nan
        shuffled = frame[list(reversed(frame.columns))]
        old_matrix, old_closes = factor._data_matrix, factor._close_columns_only_data_matrix_array
        factor.update(new_dataframe_of_data=shuffled)
        assert factor._datetime_length == 52
        assert factor._data_matrix.shape == (52, 20) and factor._data_matrix.flags.c_contiguous
        np.testing.assert_array_equal(factor._data_matrix[50], np.arange(20.0))
        np.testing.assert_array_equal(factor._close_columns_only_data_matrix_array[50], [3.0, 8.0, 13.0, 18.0])
        assert np.isnan(factor._close_columns_only_data_matrix_array[51, 0])
        np.testing.assert_array_equal(factor._data_matrix[:50], old_matrix)
        assert old_matrix.shape == (50, 20) and old_closes.shape == (50, 4)
        assert factor._data_datetime_array.dtype == np.dtype("datetime64[ns]")
        assert factor.bar_times()[-1] == frame.index[-1].tz_localize(None)

class TestPredictRules:
    def test_no_study_raises_optunas_error_and_stores_nothing(self, in_tmp_dir):
        factor = LiveStub()
        with pytest.raises(KeyError):
            factor.predict()
        assert factor._factor_best_params_dict is None and factor._replays == 0
        assert list(in_tmp_dir.iterdir()) == []

    def test_first_call_loads_replays_twice_then_steps_at_the_latest_bar(self):
        store_study()
        factor = LiveStub()
        factor._script = [[2.0, -1.0, 0.0, -1.0]]
        weights = factor.predict()
        assert factor._factor_best_params_dict == PARAMS
        assert factor._replays == 2  # never run, then stale
        ((window, size, step_time),) = factor._steps
        np.testing.assert_array_equal(window, factor._data_matrix[45:50])
        assert size == 5
        latest = factor._data_datetime_array[49]
        assert step_time == latest
        assert factor._last_updated_positions_time == latest and factor._current_time == latest
        assert list(weights.index) == ["A", "B", "C", "D"]
        assert list(weights.columns) == [pd.Timestamp(latest)]
        np.testing.assert_array_equal(weights.iloc[:, 0].to_numpy(), [0.5, -0.25, 0.0, -0.25])

    def test_second_call_without_new_bars_returns_the_stored_weights(self):
        store_study()
        factor = LiveStub()
        factor._script = [[1.0, -1.0, 0.0, 0.0]]
        factor.predict()
        array = factor.predict(return_arrays=True)
        assert array is factor._last_updated_positions_weight_array
        assert len(factor._steps) == 1 and factor._replays == 2

    def test_new_bar_below_the_rerun_age_steps_without_replay(self):
        factor = LiveStub(resolution_in_mins=1)
        factor._factor_best_params_dict = dict(PARAMS)
        factor._pairs_of_securities_list = ["pairs"]
        factor._last_updated_positions_time = factor._data_datetime_array[49]
        factor._script = [[0.0, 3.0, -1.0, 0.0]]
        factor.update(factor.new_rows())
        weights = factor.predict(return_arrays=True)
        assert factor._replays == 0 and len(factor._steps) == 1
        np.testing.assert_array_equal(weights, [0.0, 0.75, -0.25, 0.0])
        np.testing.assert_array_equal(factor._steps[0][0], factor._data_matrix[46:51])
        # Without a replay the step still decides on (and records trades at)
        # the new bar, not the bar of the previous prediction.
        assert factor._steps[0][2] == factor._data_datetime_array[50]

    def test_new_bar_at_the_rerun_age_replays_first(self):
        factor = LiveStub(resolution_in_mins=5)
        factor._factor_best_params_dict = dict(PARAMS)
        factor._last_updated_positions_time = factor._data_datetime_array[49]
        factor._script = [[1.0, 0.0, 0.0, 0.0]]
        factor.update(factor.new_rows())
        factor.predict(number_of_minutes_away_before_needing_to_rerun=5.9)  # cut to 5
        assert factor._replays == 1 and len(factor._steps) == 1

    @pytest.mark.parametrize(
        "last_prediction, rerun_minutes, replays",
        [(0, 5, 1), (0, 10**9, 1), (49, 5, 0)],  # never run (also stale: one replay serves); never run only; current
    )
    def test_params_held_skip_the_study_but_a_run_never_predicted_replays(
        self, last_prediction, rerun_minutes, replays
    ):
        # Parameters held from a fit in this object; no study file exists.
        factor = LiveStub()
        factor._factor_best_params_dict = dict(PARAMS)
        factor._pairs_of_securities_list = ["pairs"]
        factor._last_updated_positions_time = factor._data_datetime_array[last_prediction]
        factor._script = [[0.0, 0.0, 0.0, 0.0]]
        factor.predict(number_of_minutes_away_before_needing_to_rerun=rerun_minutes)
        assert factor._replays == replays
        assert factor._initialised_with is None

    def test_pairs_are_built_when_no_replay_ran(self):
        store_study()
        factor = LiveStub(n_bars=50)
        factor._last_updated_positions_time = factor._data_datetime_array[49]
        factor._script = [[0.0, 0.0, 0.0, 0.0]]
        factor.predict()
        assert factor._initialised_with == 5 and factor._replays == 0

    @pytest.mark.parametrize("bad", ["5", None, object()])
    def test_rerun_minutes_without_integer_conversion(self, bad):
        factor = LiveStub()
        factor._factor_best_params_dict = dict(PARAMS)
        with pytest.raises(TypeError, match="an integer is required"):
            factor.predict(number_of_minutes_away_before_needing_to_rerun=bad)


class TestPredictOutputs:
    def predicted(self, row, scale=True, **kwargs):
        factor = LiveStub(scale=scale)
        factor._factor_best_params_dict = dict(PARAMS)
        factor._pairs_of_securities_list = ["pairs"]
        factor._script = [row]
        return factor, factor.predict(**kwargs)

    def test_all_zero_row_gives_zero_weights_and_positions(self):
        factor, positions = self.predicted([0.0] * 4, convert_to_actual_positions=True, return_arrays=True)
        np.testing.assert_array_equal(positions, np.zeros(4))
        np.testing.assert_array_equal(factor._last_updated_positions_weight_array, np.zeros(4))

    def test_nan_in_the_row_makes_every_weight_nan(self):
        _, weights = self.predicted([1.0, np.nan, 0.0, 0.0], return_arrays=True)
        assert np.isnan(weights).all()

    def test_positions_without_scaling_are_equity_amounts(self):
        _, positions = self.predicted(
            [1.0, -1.0, 0.0, 0.0], scale=False, convert_to_actual_positions=True, current_equity=10, return_arrays=True
        )
        np.testing.assert_array_equal(positions, [5.0, -5.0, 0.0, 0.0])

    def test_scaled_positions_use_the_traded_share_and_latest_closes(self):
        factor, positions = self.predicted(
            [3.0, 0.0, -1.0, 0.0], convert_to_actual_positions=True, current_equity=1000.0
        )
        closes = factor._close_columns_only_data_matrix_array[49]
        expected = np.array([0.75, 0.0, -0.25, 0.0]) * 1000.0 * 0.5 / closes
        assert list(positions.index) == ["A", "B", "C", "D"]
        np.testing.assert_allclose(positions.iloc[:, 0].to_numpy(), expected, rtol=1e-15)
        assert positions.columns[0] == pd.Timestamp(factor._data_datetime_array[49])
        assert positions.iloc[:, 0].to_numpy() is not factor._last_updated_positions_weight_array

    def test_weight_array_is_the_stored_object(self):
        factor, weights = self.predicted([1.0, 1.0, 0.0, -2.0], return_arrays=True)
        assert weights is factor._last_updated_positions_weight_array
        assert np.abs(weights).sum() == pytest.approx(1.0)


class TestArgumentBinding:
    def test_update_takes_one_argument(self):
        factor = LiveStub()
        with pytest.raises(TypeError, match=r"^update\(\) takes at most 1 positional argument \(2 given\)$"):
            factor.update(factor.new_rows(), None)
        with pytest.raises(TypeError, match="unexpected keyword argument 'frame'"):
            factor.update(frame=factor.new_rows())

    def test_predict_takes_four_arguments(self):
        factor = LiveStub()
        with pytest.raises(TypeError, match=r"^predict\(\) takes at most 4 positional arguments \(5 given\)$"):
            factor.predict(False, False, 1.0, 5, None)
        with pytest.raises(TypeError, match="unexpected keyword argument 'equity'"):
            factor.predict(equity=1.0)
        with pytest.raises(TypeError, match="must be real number, not str"):
            factor._factor_best_params_dict = dict(PARAMS)
            factor.predict(current_equity="1000")

    def test_signatures_show_the_defaults(self):
        import inspect

        assert str(inspect.signature(LiveStub.predict)) == (
            "(self, return_arrays=False, convert_to_actual_positions=False, current_equity=100000.0, "
            "number_of_minutes_away_before_needing_to_rerun=5)"
        )
        assert str(inspect.signature(LiveStub.update)) == "(self, new_dataframe_of_data=None)"
