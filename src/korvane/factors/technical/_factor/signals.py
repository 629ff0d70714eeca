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
    trials: the loop then never calls the classifier, calls the feature
    generator only to collect training features (``fit_rarAV``), and otherwise
    runs without the interpreter lock.

``_get_positions_array_from_rolling_matrix_for_pairs_trading_serial_cointegration_factor(params, rolling_window_matrix, size_of_rolling_windows)``
    One step of every pair over ``rolling_window_matrix`` (the latest W rows of
    the bar matrix), continuing the state left by the last run or step.
    Returns the new ``self._current_positions_array`` (raw legs, one float per
    security). Entry times of trades and the printed classifier lines use
    ``self._current_time`` as it stands when the step is called.

Feature generator and entry classifier
--------------------------------------
Called only at entries, and only when ``self._fit_rarAV`` is true (optimisation
trials included) or, outside trials, ``self._rarAV_optimal_entry_ready`` is true:
``self._rarAV_signalforge.generate_features_for_pair_spreads(pair_of_security=...,
pair_hedge_ratios=..., data_column_names_array=..., rolling_window_matrix_array=...)``
and, with a ready classifier, ``self._rarAV_optimal_entry_model.predict(one_row_df)``
followed by the line "CURRENT TIME: ... | PAIR: ... | PREDICTION: ...". A
refused entry is followed through its barriers but reported flat and leaves no
trade record. Without a feature generator no interpreter call is made: trades
are recorded with "features" None, and a ready classifier (which needs the
features) makes the run raise ``Exception`` before its first bar.

Replacing ``coint_johansen`` or ``LinearRegression`` on the factor module
makes the engine call those globals for its re-estimations instead of its
native estimators (slower, same rules).
"""

import itertools
import math
import operator
import numpy as np

from sklearn.linear_model import LinearRegression as _LIBRARY_LINEAR_REGRESSION
from statsmodels.tsa.coint_tables import c_sja, c_sjt
from statsmodels.tsa.vector_ar.vecm import coint_johansen as _LIBRARY_COINT_JOHANSEN

from korvane import _kernels
from korvane._common.binding import check_type
from korvane._common.close_columns import close_column_positions
from korvane._common.stops import cleanup_context
from korvane.factors.technical import _pairtrader
from korvane.factors.technical._factor.globals import pm
from korvane.factors.technical._factor.trade_store import TradeStore
from korvane.factors.technical._factor.valid_closes import with_valid_closes

# 90% critical values of the maximum-eigenvalue and trace statistics for two
# series with a linear trend (the hypothesis of no cointegrating relation),
# taken from statsmodels' tables once, when this module is imported.
JOHANSEN_MAX_EIGEN_CRITICAL_VALUE_90 = float(c_sja(2, 1)[0])
JOHANSEN_TRACE_CRITICAL_VALUE_90 = float(c_sjt(2, 1)[0])
_CRITICAL_VALUES = (JOHANSEN_MAX_EIGEN_CRITICAL_VALUE_90, JOHANSEN_TRACE_CRITICAL_VALUE_90)

# The strategy parameters read per bar, in the order the engine reads them.
_ENGINE_PARAMETER_KEYS = _kernels.ENGINE_PARAMETER_KEYS


_VOLATILITY_MULTIPLIER_CONTEXT = (
    "korvane.factors.technical.pairtrader.PairsTradingSerialCointegrationFactor"
    ".__get_current_volatility_multiplier"
)

_NOT_A_TIME = np.iinfo(np.int64).min


def _times_as_ns(datetime_array):
    """Bar times as int64 nanoseconds since the epoch (UTC)."""
    times = np.asarray(datetime_array)
    if times.dtype.kind != "M":
        times = pm().pd.DatetimeIndex(times).as_unit("ns").to_numpy()
    return np.ascontiguousarray(times.astype("datetime64[ns]").view(np.int64))


def _time_as_ns(value):
    """One time stamp as int64 nanoseconds (UTC), or NaT's value."""
    try:
        stamp = pm().pd.Timestamp(value)
    except (TypeError, ValueError):
        return _NOT_A_TIME
    if stamp is pm().pd.NaT:
        return _NOT_A_TIME
    if stamp.tzinfo is not None:
        stamp = stamp.tz_convert("UTC").tz_localize(None)
    return int(stamp.as_unit("ns").value)


# Fewer daily rows than this give Johansen statistics that are infinite or noise.
_MINIMUM_DAILY_ROWS = 6


def _hedge_ratios_through_module_globals(log_close_1, log_close_2, bars_per_day):
    """Hedge ratios and verdict from the factor module's ``coint_johansen``.

    Used only when that global (or ``LinearRegression``) has been replaced;
    the native engine computes the same thing otherwise.
    """
    resampled_1 = log_close_1[::bars_per_day][1:]
    resampled_2 = log_close_2[::bars_per_day][1:]
    if len(resampled_1) < _MINIMUM_DAILY_ROWS:
        return 0.0, 0.0, False
    try:
        with np.errstate(invalid="ignore"):
            result = pm().coint_johansen(
                endog=np.column_stack((resampled_1, resampled_2)), det_order=1, k_ar_diff=0
            )
        hedge_ratio_1 = float(result.evec[:, 0][0])
        hedge_ratio_2 = float(result.evec[:, 0][1])
        eigen_statistic = float(result.max_eig_stat[0])
        eigen_critical_value = float(result.max_eig_stat_crit_vals[0][0])
        trace_statistic = float(result.lr1[0])
        trace_critical_value = float(result.cvt[0][0])
        eigenvalues = np.asarray(getattr(result, "eig", ()), dtype=np.float64)
        if not (math.isfinite(eigen_statistic) and math.isfinite(trace_statistic)
                and np.all(np.isfinite(eigenvalues))):
            return 0.0, 0.0, False
        is_cointegrated = (
            eigen_statistic >= eigen_critical_value and trace_statistic >= trace_critical_value
        )
        return hedge_ratio_1, hedge_ratio_2, bool(is_cointegrated)
    except Exception:
        return 0.0, 0.0, False


def _halflife_through_module_globals(spread):
    """Half-life of a cointegrated pair's spread from the module's ``LinearRegression``."""
    try:
        lagged = spread[: len(spread) - 1]
        reg = pm().LinearRegression()
        reg.fit(lagged.reshape(-1, 1), spread[1:] - lagged)
        with np.errstate(divide="ignore"):
            quotient = np.log(2) / np.float64(reg.coef_[0])
        halflife = -int(quotient)
        if not -(2**63) <= halflife < 2**63:
            return 0
        return halflife
    except Exception:
        return 0


def _substituted_estimators():
    """The estimators to call when ``coint_johansen`` or ``LinearRegression``
    of the factor module were replaced, else None (native estimators)."""
    module = pm()
    if (module.coint_johansen is _LIBRARY_COINT_JOHANSEN
            and module.LinearRegression is _LIBRARY_LINEAR_REGRESSION):
        return None
    return (_hedge_ratios_through_module_globals, _halflife_through_module_globals)


def _check_params(params):
    if params is None:
        raise TypeError("'NoneType' object is not subscriptable")
    check_type(params, dict, name="params")


class SignalsMixin:
    __slots__ = ()

    # ------------------------------------------------------------------ state

    def _intialize_pairs_trading_data_structures_factor_specific_data_structures(
        self, size_of_rolling_windows
    ):
        """New pairs list and every pair back at its start state."""
        names = self._securities_names_list
        self._pairs_of_securities_list = list(itertools.combinations(names, 2))
        # Each pair's open trade record starts as a copy of the template.
        self._rarav_clean_single_trade_store_dict.copy()
        indices = list(itertools.combinations(range(len(names)), 2))
        first = np.array([a for a, _ in indices], dtype=np.int64)
        second = np.array([b for _, b in indices], dtype=np.int64)
        self._pair_engine = _pairtrader.PairEngine(first, second)
        self._pair_entry_features_list = []

    def _populate_rolling_window_matrix(
        self,
        rolling_window_matrix,
        data_matrix,
        start_of_rolling_window,
        size_of_rolling_windows,
        column_length=None,
    ):
        """Rows [start, start + size) of the bar matrix, as a view."""
        return data_matrix[start_of_rolling_window:start_of_rolling_window + size_of_rolling_windows]

    # ----------------------------------------------------------- engine inputs

    def _engine_layout(self):
        """Close column of each security in the bar matrix, and its position column."""
        names = self._securities_names_list
        close_columns = np.array(close_column_positions(self._data_column_names_array, names), dtype=np.int64)
        position_index = np.array(
            [self._securities_and_position_index_dict[name] for name in names], dtype=np.int64
        )
        return close_columns, position_index

    def _engine_intervals(self):
        return _kernels.Intervals(
            new_spread_update=int(self._NEW_SPREAD_UPDATE_INTERVAL),
            johansen_resampling=int(self._JOHANSEN_RESAMPLING_INTERVAL),
            triple_barrier_update=int(self._TRIPLE_BARRIER_UPDATE_INTERVAL),
            max_zscore_window=int(self._MAX_ZSCORE_ROLLING_WINDOW),
            min_zscore_window=int(self._MINIMUM_SIZE_OF_ROLLING_WINDOW),
        )

    @staticmethod
    def _engine_parameters(params):
        _check_params(params)
        # Each value is float(params[key]). Without a volatility multiplier the
        # multiplier cannot be computed: that is reported, it is taken as 0,
        # and the run goes on.
        return _kernels.engine_params(params, _VOLATILITY_MULTIPLIER_CONTEXT)

    def _collects_entry_features(self, is_optimising):
        """Whether entries call the feature generator (and, when ready, the classifier).

        Features are collected for training (``fit_rarAV``), in optimisation
        trials too: the trade store keeps the trades of every trial run in
        this process, and they are the classifier's training rows. The
        classifier itself never gates a trial. Without a feature generator
        nothing can be collected: the trades are recorded without features,
        so a rerun after ``fit(fit_rarAV=True)`` still backtests. A ready
        classifier cannot gate without features, so that is refused before
        any bar is decided.
        """
        if is_optimising:
            return bool(self._fit_rarAV) and self._rarAV_signalforge is not None
        ready = bool(self._rarAV_optimal_entry_ready)
        if self._rarAV_signalforge is None:
            if ready:
                raise Exception(
                    "The entry classifier is ready but the factor holds no rarAV_signalforge, "
                    "please construct the factor with the feature generator the classifier was "
                    "trained on"
                )
            return False
        return bool(self._fit_rarAV) or ready

    def _entry_hook(self, is_optimising, window_source, size_of_rolling_windows):
        """The callable the engine calls at entries, or None when nothing is collected or gated.

        Optimisation trials, and factors without a feature generator, make no
        interpreter calls from the loop at all.
        """
        if not self._collects_entry_features(is_optimising):
            return None
        ready = bool(self._rarAV_optimal_entry_ready) and not is_optimising
        pairs = self._pairs_of_securities_list
        features_list = self._pair_entry_features_list
        datetimes = self._data_datetime_array

        def on_entry(pair_index, bar, hedge_ratio_1, hedge_ratio_2):
            if bar >= 0:
                self._current_time = datetimes[bar]
                window = window_source[bar - size_of_rolling_windows:bar]
            else:
                window = window_source
            pair = pairs[pair_index]
            features = self._rarAV_signalforge.generate_features_for_pair_spreads(
                pair_of_security=pair,
                pair_hedge_ratios=(hedge_ratio_1, hedge_ratio_2),
                data_column_names_array=self._data_column_names_array,
                rolling_window_matrix_array=np.asarray(window),
            )
            refused = False
            if ready:
                row = pm().pd.DataFrame.from_dict(features, orient="index").T
                predicted = bool(self._rarAV_optimal_entry_model.predict(row))
                print(
                    "CURRENT TIME: " + str(self._current_time)
                    + " | PAIR: " + str(pair)
                    + " | PREDICTION: " + str(predicted)
                )
                refused = not predicted
            features_list.append(features)
            return refused, len(features_list) - 1

        return on_entry

    def _store_closed_trades(self):
        """Move the trades the engine closed into the trade store, in closing order."""
        pair_index, entry, exit_, label, returns, token = self._pair_engine.take_closed_trades()
        if len(pair_index) == 0:
            return
        dtype = np.asarray(self._data_datetime_array).dtype
        time_dtype = dtype if dtype.kind == "M" else np.dtype("datetime64[ns]")
        store = self._rarav_trades_store_dict
        count = self._rarav_trades_count
        if isinstance(store, TradeStore):
            store.add_batch(
                count, self._pairs_of_securities_list, pair_index, entry, exit_, label, returns,
                token, self._pair_entry_features_list, self._rarav_clean_single_trade_store_dict,
                time_dtype,
            )
        else:
            # A store replaced by a plain dictionary gets one record per trade.
            batch = TradeStore()
            batch.add_batch(
                count, self._pairs_of_securities_list, pair_index, entry, exit_, label, returns,
                token, self._pair_entry_features_list, self._rarav_clean_single_trade_store_dict,
                time_dtype,
            )
            store.update(batch)
        self._rarav_trades_count = count + len(pair_index)

    # ------------------------------------------------------------------ loop

    def _get_positions_from_rolling_cube_for_pairs_trading_serial_cointegration_factor(
        self, params, data_matrix, size_of_rolling_windows, is_optimising=False
    ):
        """Positions of every bar: row i decided from the W bars before bar i."""
        window = operator.index(size_of_rolling_windows)
        data = np.asarray(data_matrix, dtype=np.float64)
        bars = int(data.shape[0])
        if window < 2 or window >= bars:
            raise Exception(
                f"size_of_rolling_windows must be at least 2 and less than the number of bars: "
                f"a window of {window} bars cannot run on {bars} bars of data"
            )
        times = _times_as_ns(self._data_datetime_array)
        if len(times) != bars:
            raise Exception(
                f"The bar matrix holds {bars} bars but {len(times)} bar times are recorded"
            )
        self._collects_entry_features(is_optimising)
        positions = np.zeros((bars, int(self._number_of_securities)), dtype=np.float64)
        self._raw_positions_matrix_array = positions
        self._intialize_pairs_trading_data_structures_factor_specific_data_structures(window)
        engine_params = self._engine_parameters(params)
        close_columns, position_index = self._engine_layout()
        data = with_valid_closes(data, close_columns)
        hook = self._entry_hook(is_optimising, data, window)
        with _closed_trades_stored(self):
            self._pair_engine.run(
                data, close_columns, position_index, times, window, self._engine_intervals(),
                engine_params, _CRITICAL_VALUES, positions, hook, _substituted_estimators(),
            )
        self._current_time = self._data_datetime_array[bars - 1]
        self._current_positions_array = positions[bars - 1].copy()
        return positions

    def _get_positions_array_from_rolling_matrix_for_pairs_trading_serial_cointegration_factor(
        self, params, rolling_window_matrix, size_of_rolling_windows
    ):
        """One step of every pair over the latest window, continuing the pairs' state."""
        window = operator.index(size_of_rolling_windows)
        matrix = np.asarray(rolling_window_matrix, dtype=np.float64)
        if window < 2 or matrix.ndim != 2 or matrix.shape[0] != window:
            raise Exception(
                f"size_of_rolling_windows must be at least 2 and match the window: "
                f"a window of {window} bars was given {matrix.shape[0] if matrix.ndim else 0} rows"
            )
        self._collects_entry_features(False)
        engine = self._pair_engine
        if engine is None or engine.pairs != len(self._pairs_of_securities_list or ()):
            self._intialize_pairs_trading_data_structures_factor_specific_data_structures(window)
        engine_params = self._engine_parameters(params)
        close_columns, position_index = self._engine_layout()
        matrix = with_valid_closes(matrix, close_columns)
        row = np.zeros(int(self._number_of_securities), dtype=np.float64)
        self._current_positions_array = row
        hook = self._entry_hook(False, matrix, window)
        with _closed_trades_stored(self):
            self._pair_engine.step(
                matrix, close_columns, position_index, _time_as_ns(self._current_time),
                self._engine_intervals(), engine_params, _CRITICAL_VALUES, row, hook,
                _substituted_estimators(),
            )
        return row


@cleanup_context
def _closed_trades_stored(factor):
    """The trades that the engine closed in the block, stored in the factor's trade store however the block ends."""
    try:
        yield
    finally:
        factor._store_closed_trades()
