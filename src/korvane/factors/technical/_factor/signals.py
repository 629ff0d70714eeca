"""Cointegration signals and the backtest loop of the pairs-trading factor.

The per-bar, per-pair work (Johansen hedge ratios, half-life, spread, z-score,
entries, triple barrier, legs of the positions row) runs in the native
``PairEngine`` of ``korvane.factors.technical._pairtrader``. This mixin is the
glue between the factor's fields and that engine.

API offered to the other mixins
-------------------------------
``_intialize_pairs_trading_data_structures_factor_specific_data_structures(size_of_rolling_windows)``
    Rebuilds ``self._pairs_of_securities_list`` (every pair of
    ``self._securities_names_list`` in ``itertools.combinations`` order) and
    resets the per-pair state held natively in ``self._pair_engine``: every
    pair flat, no barriers, no open trade, re-estimation due at once.

``_populate_rolling_window_matrix(rolling_window_matrix, data_matrix, start_of_rolling_window, size_of_rolling_windows, column_length)``
    The view ``data_matrix[start : start + size]`` (no copy).

``_get_positions_from_rolling_cube_for_pairs_trading_serial_cointegration_factor(params, data_matrix, size_of_rolling_windows, is_optimising=False)``
    The loop over all bars. Allocates ``self._raw_positions_matrix_array`` as
    float64 zeros of bars x securities, resets the pairs, decides row i from
    the W bars before bar i for every i >= W, and returns that matrix. Raises
    ``Exception`` when W < 2 or W >= the number of bars. Afterwards
    ``self._current_time`` is the last bar time, ``self._current_positions_array``
    the last row, and every trade closed during the run is stored in
    ``self._rarav_trades_store_dict`` under keys taken from
    ``self._rarav_trades_count``. Pass ``is_optimising=True`` from optimiser
    trials: the loop then never calls the feature generator or the classifier
    and runs without the interpreter lock.

``_get_positions_array_from_rolling_matrix_for_pairs_trading_serial_cointegration_factor(params, rolling_window_matrix, size_of_rolling_windows)``
    One step of every pair over ``rolling_window_matrix`` (the latest W rows of
    the bar matrix), continuing the state left by the last run or step.
    Returns the new ``self._current_positions_array`` (raw legs, one float per
    security). Entry times of trades and the printed classifier lines use
    ``self._current_time`` as it stands when the step is called.

Feature generator and entry classifier
--------------------------------------
Called only at entries, and only when the run is not an optimisation trial and
``self._fit_rarAV`` or ``self._rarAV_optimal_entry_ready`` is true:
``self._rarAV_signalforge.generate_features_for_pair_spreads(pair_of_security=...,
pair_hedge_ratios=..., data_column_names_array=..., rolling_window_matrix_array=...)``
and, with a ready classifier, ``self._rarAV_optimal_entry_model.predict(one_row_df)``
followed by the line "CURRENT TIME: ... | PAIR: ... | PREDICTION: ...". A
refused entry is followed through its barriers but reported flat and leaves no
trade record. When neither object is held, no interpreter call is made.
"""

import itertools
import operator
import sys

import numpy as np

from statsmodels.tsa.coint_tables import c_sja, c_sjt

from korvane.factors.technical import _pairtrader
from korvane.factors.technical._factor.globals import pm

# 90% critical values of the maximum-eigenvalue and trace statistics for two
# series with a linear trend (the hypothesis of no cointegrating relation),
# taken from statsmodels' tables once, when this module is imported.
JOHANSEN_MAX_EIGEN_CRITICAL_VALUE_90 = float(c_sja(2, 1)[0])
JOHANSEN_TRACE_CRITICAL_VALUE_90 = float(c_sjt(2, 1)[0])

# The strategy parameters read per bar, in the order the engine takes them.
_ENGINE_PARAMETER_KEYS = (
    "zscore_halflife_multiplier",
    "starting_sd_for_position_entry",
    "rolling_volatility_halflife_multiplier",
    "take_profit_std_multiplier",
    "take_profit_current_volatility_multiplier_sensitivity_at_time_of_entry",
    "take_profit_current_volatility_multiplier_sensitivity_at_adjustment",
    "stop_loss_std_multiplier",
    "stop_loss_current_volatility_multiplier_sensitivity_at_time_of_entry",
    "stop_loss_current_volatility_multiplier_sensitivity_at_adjustment",
    "time_stop_halflife_multiplier",
    "time_stop_adjustment_sensitivity",
)


class SignalsMixin:
    __slots__ = ()
