"""Live use of a fitted factor: appending new bars and reading target weights or positions.

``predict`` keeps the per-pair state of one continuous run over the whole
history. When it has never run (a fit restarts it), or its last prediction is
older than a given number of minutes, it first replays the whole backtest with
the best parameters; after that it advances every pair by one step per new
bar, over the window that ends at the latest bar. Between bars it hands back
the weights it computed last.
"""

import operator

from korvane._common.binding import as_double, as_int64, as_truth_value, bind_with_defaults, method_signature
from korvane._common.close_columns import close_column_positions
from korvane.factors.technical._factor.backtest_run import LOG_SUFFIX
from korvane.factors.technical._factor.bars import (
    _check_index,
    float64_values,
    non_numeric_columns_error,
    wrong_number_columns,
)
from korvane.factors.technical._factor.globals import pm
from korvane.factors.technical._factor.valid_closes import (
    invalid_closes,
    last_valid_closes,
    warn_of_invalid_closes,
    with_valid_closes,
)

UPDATE_ARGUMENTS = (("new_dataframe_of_data", None),)
PREDICT_ARGUMENTS = (
    ("return_arrays", False),
    ("convert_to_actual_positions", False),
    ("current_equity", 100000.0),
    ("number_of_minutes_away_before_needing_to_rerun", 5),
)


def _as_naive_utc_timestamp(value):
    """A bar time as a zone-less UTC instant, the form in which bar times are stored."""
    timestamp = pm().pd.Timestamp(value)
    if timestamp.tzinfo is not None:
        timestamp = timestamp.tz_convert("UTC").tz_localize(None)
    return timestamp


def restart_live_run(factor):
    """Forget the factor's live run, so that its next prediction replays the history with the best parameters.

    A fit moves the per-pair state to its trials' runs and may change the
    best parameters; the live run then starts again as on a new factor.
    """
    np = pm().np
    factor._last_updated_positions_time = factor._data_datetime_array[0]
    factor._last_updated_positions_weight_array = np.zeros(factor._number_of_securities, dtype=np.float64)


class LiveMixin:
    __slots__ = ()

    # ------------------------------------------------------------------ update

    def update(self, *args, **kwargs):
        """Append new rows, laid out like the universe table, to the bar matrices as they are."""
        (frame,) = bind_with_defaults("update", UPDATE_ARGUMENTS, args, kwargs)
        pd = pm().pd
        np = pm().np
        if not isinstance(frame, pd.DataFrame):
            raise Exception("New row of data is not a pd.core.frame.DataFrame object")
        if frame.shape[1] != self._column_length:
            raise Exception("New row of data does not have the same column length as the dataframe initialised")
        if not isinstance(frame.index, pd.DatetimeIndex):
            raise Exception("New row of data does not have a datetime index")
        # Every row is checked, not only the first: the bar times must stay
        # strictly increasing for the windows and the train/test split.
        if len(frame.index) == 0:
            raise Exception("New row of data is empty, please pass at least one row of data")
        _check_index(frame.index)
        last_recorded = _as_naive_utc_timestamp(self._data_datetime_array[self._datetime_length - 1])
        if _as_naive_utc_timestamp(frame.index[0]) <= last_recorded:
            raise Exception("Datetime of new row of data is before the latest datetime already recorded")

        selected = frame[list(self._data_column_names_array)]
        # Numeric text and categories are stored as their numbers, and text
        # that is no number fails in the conversion. Durations, datetimes and
        # complex values would convert silently to some other number.
        bad = wrong_number_columns(selected)
        if bad:
            raise non_numeric_columns_error("New row of data", bad, ValueError)
        index = selected.index
        if index.tz is not None:
            index = index.tz_convert("UTC").tz_localize(None)
        new_times = index.to_numpy().astype(self._data_datetime_array.dtype)
        new_rows = float64_values(selected, "New row of data", ValueError)
        # Close column k of the close matrix belongs to security k of the list,
        # as at construction, whatever the frame's column order.
        new_closes = np.take(
            new_rows, close_column_positions(self._data_column_names_array, self._securities_names_list), axis=1
        )

        # Every new array is built before any field changes, so a failed
        # conversion leaves the factor as it was.
        data_datetime_array = np.concatenate((self._data_datetime_array, new_times))
        data_matrix = np.ascontiguousarray(np.concatenate((self._data_matrix, new_rows), axis=0))
        close_matrix = np.ascontiguousarray(
            np.concatenate((self._close_columns_only_data_matrix_array, new_closes), axis=0)
        )
        warn_of_invalid_closes(
            pm().logger, self._securities_names_list, new_times, new_closes, LOG_SUFFIX + str(self._resolution_in_mins)
        )
        self._data_datetime_array = data_datetime_array
        self._data_matrix = data_matrix
        self._close_columns_only_data_matrix_array = close_matrix
        self._datetime_length = self._datetime_length + new_rows.shape[0]
        return None

    # ------------------------------------------------------------------ predict

    def _never_predicted(self):
        return _as_naive_utc_timestamp(self._last_updated_positions_time) == _as_naive_utc_timestamp(
            self._data_datetime_array[0]
        )

    def predict(self, *args, **kwargs):
        """Target weights (or positions) of the securities at the latest bar.

        Replays the backtest with the best parameters when the last prediction
        is at least ``number_of_minutes_away_before_needing_to_rerun`` minutes
        old, then advances every pair by one step when a new bar arrived.
        """
        (
            return_arrays,
            convert_to_actual_positions,
            current_equity,
            number_of_minutes_away_before_needing_to_rerun,
        ) = bind_with_defaults("predict", PREDICT_ARGUMENTS, args, kwargs)
        module = pm()
        pd = module.pd
        np = module.np
        return_arrays = as_truth_value(return_arrays)
        convert_to_actual_positions = as_truth_value(convert_to_actual_positions)
        current_equity = as_double(current_equity)
        rerun_minutes = as_int64(number_of_minutes_away_before_needing_to_rerun)

        replayed_after_fit = False
        if not self._factor_best_params_dict:
            self._factor_best_params_dict = self._stored_best_params()
            if self._never_predicted():
                self.get_full_backtest_results()
            if not self._pairs_of_securities_list:
                self._intialize_pairs_trading_data_structures_factor_specific_data_structures(
                    self._factor_best_params_dict["size_of_rolling_windows"]
                )
        elif self._never_predicted():
            # Parameters held from a fit in this object: the per-pair state is
            # that of the fit's last trial, not a run with the best parameters.
            # That replay is current, so the stale test below must not repeat it.
            self.get_full_backtest_results()
            replayed_after_fit = True

        params = self._factor_best_params_dict
        datetime_length = self._datetime_length
        scale = self._scale_equity_to_traded_securities
        size_of_rolling_windows = operator.index(params["size_of_rolling_windows"])

        latest_datetime = _as_naive_utc_timestamp(self._data_datetime_array[datetime_length - 1])
        rerun_after = pd.Timedelta(minutes=rerun_minutes)
        if (
            not replayed_after_fit
            and latest_datetime - _as_naive_utc_timestamp(self._last_updated_positions_time) >= rerun_after
        ):
            self.get_full_backtest_results()

        one_bar = pd.Timedelta(minutes=int(self._resolution_in_mins))
        if latest_datetime - _as_naive_utc_timestamp(self._last_updated_positions_time) >= one_bar:
            start_of_rolling_window = datetime_length - size_of_rolling_windows
            if start_of_rolling_window < 0:
                raise Exception(
                    "size_of_rolling_windows is larger than the number of bars held, please fit the factor again"
                )
            rolling_window_matrix = self._data_matrix[start_of_rolling_window:datetime_length]
            # A security whose close is invalid all through the window is
            # still priced at its last valid close before the window.
            close_matrix = self._close_columns_only_data_matrix_array
            if invalid_closes(close_matrix[start_of_rolling_window:datetime_length]).any():
                rolling_window_matrix = with_valid_closes(
                    rolling_window_matrix,
                    self._engine_layout()[0],
                    last_valid_closes(close_matrix, start_of_rolling_window),
                )
            # The step's trade records and log lines carry the time of the bar
            # it decides on, which is the latest bar.
            latest_bar_time = self._data_datetime_array[datetime_length - 1]
            self._current_time = latest_bar_time
            row = self._get_positions_array_from_rolling_matrix_for_pairs_trading_serial_cointegration_factor(
                params, rolling_window_matrix, size_of_rolling_windows
            )
            row = np.asarray(row, dtype=np.float64)
            gross = np.sum(np.abs(row))
            positions_weight_array = row / gross if gross != 0 else row.copy()
            self._current_time = latest_bar_time
            self._last_updated_positions_time = latest_bar_time
            self._last_updated_positions_weight_array = positions_weight_array
        else:
            positions_weight_array = self._last_updated_positions_weight_array

        if convert_to_actual_positions:
            if scale:
                # Positions are sized at each security's last valid close.
                latest_close_array = last_valid_closes(self._close_columns_only_data_matrix_array, datetime_length)
                traded_securities_ratio = float(np.count_nonzero(positions_weight_array)) / len(
                    positions_weight_array
                )
                output = positions_weight_array * current_equity * traded_securities_ratio / latest_close_array
                # A security without any valid close holds nothing.
                output[positions_weight_array == 0.0] = 0.0
            else:
                output = positions_weight_array * current_equity
            output = np.array(output, dtype=np.float64)
        else:
            output = positions_weight_array
        if return_arrays:
            return output
        names = self._securities_names_list
        return pd.DataFrame.from_dict(
            {name: output[position] for position, name in enumerate(names)},
            orient="index",
            columns=[self._current_time],
        )


LiveMixin.update.__signature__ = method_signature(UPDATE_ARGUMENTS)
LiveMixin.predict.__signature__ = method_signature(PREDICT_ARGUMENTS)
