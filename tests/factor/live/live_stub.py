"""The live mixins on the factor's fields, with a scripted engine.

The per-pair step returns the next row of a script, and the full replay only
counts itself and moves ``current_time`` to the last bar, so the replay and
new-bar rules of ``predict`` can be checked exactly.
"""

import numpy as np
import pandas as pd

import korvane.factors.technical.pairtrader  # noqa: F401  (module globals the mixins look up)
from korvane.factors.technical._factor.fields import SLOTS, reset_fields
from korvane.factors.technical._factor.live import LiveMixin
from korvane.factors.technical._factor.optimisation import OptimisationMixin


class LiveStub(LiveMixin, OptimisationMixin):
    # The factor's own fields, then the script and what the stub records.
    __slots__ = SLOTS + ("_script", "_steps", "_replays", "_initialised_with")

    def __init__(self, n_bars=50, resolution_in_mins=60, names=("A", "B", "C", "D"), scale=True):
        reset_fields(self)
        self._initialised_with = None
        self._universe_name = "live"
        self._resolution_in_mins = resolution_in_mins
        self._objective = "latest_cumprod_returns"
        self._study_name = "PairsTradingSerialCointegrationFactor"
        self._securities_names_list = list(names)
        columns = [f"{n}_{f}" for n in names for f in ("open", "high", "low", "close", "volume")]
        self._data_column_names_array = np.array(columns, dtype=object)
        self._column_length = len(columns)
        self._number_of_securities = len(names)
        times = pd.date_range("2022-01-03", periods=n_bars, freq=f"{resolution_in_mins}min")
        self._data_datetime_array = times.as_unit("ns").to_numpy()
        self._datetime_length = n_bars
        self._data_matrix = np.arange(n_bars * len(columns), dtype=np.float64).reshape(n_bars, len(columns)) + 1.0
        self._close_columns_only_data_matrix_array = np.ascontiguousarray(self._data_matrix[:, 3::5])
        self._scale_equity_to_traded_securities = scale
        self._last_updated_positions_time = self._data_datetime_array[0]
        self._last_updated_positions_weight_array = np.zeros(len(names))
        self._script = []
        self._steps = []
        self._replays = 0

    def get_full_backtest_results(self):
        self._replays += 1
        self._factor_best_params_dict = dict(self._factor_best_params_dict or {"size_of_rolling_windows": 5})
        self._pairs_of_securities_list = ["pairs"]
        self._current_time = self._data_datetime_array[self._datetime_length - 1]
        return "results"

    def _intialize_pairs_trading_data_structures_factor_specific_data_structures(self, size_of_rolling_windows):
        self._initialised_with = size_of_rolling_windows
        self._pairs_of_securities_list = ["pairs"]

    def _get_positions_array_from_rolling_matrix_for_pairs_trading_serial_cointegration_factor(
        self, params, rolling_window_matrix, size_of_rolling_windows
    ):
        self._steps.append((rolling_window_matrix.copy(), size_of_rolling_windows, self._current_time))
        return np.array(self._script.pop(0), dtype=np.float64)

    def bar_times(self):
        return pd.DatetimeIndex(self._data_datetime_array)

    def new_rows(self, n_rows=1, offset_minutes=None, tz="UTC"):
        last = pd.Timestamp(self._data_datetime_array[self._datetime_length - 1])
        step = offset_minutes if offset_minutes is not None else self._resolution_in_mins
        index = pd.date_range(last + pd.Timedelta(minutes=step), periods=n_rows, freq=f"{self._resolution_in_mins}min")
        if tz is not None:
            index = index.tz_localize("UTC").tz_convert(tz)
        values = np.full((n_rows, self._column_length), 7.0) + np.arange(n_rows)[:, None]
        return pd.DataFrame(values, index=index, columns=list(self._data_column_names_array))
