"""Indicator features of a pair's spread and of the rest of its universe, and
uniqueness weights of overlapping trade labels.

``Signalforge`` turns one rolling window of bars into the 126 TA-Lib features
of a pair at the window's last bar. It is called once per entry, so it is
plain numpy and TA-Lib. ``SampleWeights`` weighs each training trade by how
much of its holding period it shares with other trades; it runs once per
cross-validation fold, and its arithmetic is native
(``korvane.rarAV._signalforge``).

The module star-imports TA-Lib's abstract interface, so ``RSI``, ``ADX`` and
the other indicator functions are attributes of this module, and the feature
battery looks each one up there on every call: replacing ``RSI`` on this
module changes the RSI features.
"""

from korvane._common.binding import (
    RefusesPickling,
    as_double,
    bind_arguments,
    CONVERSION_TYPE_WORDING,
    check_type,
    check_float64_buffer,
    signature,
)

_SPAN_ARGUMENT_NAMES = (
    "complete_datetime_indices_array",
    "training_samples_start_datetime_array",
    "training_samples_end_datetime_array",
)
_IMPACT_ARGUMENT_NAME = "training_samples_impact_array"


class SampleWeights:
    """Uniqueness weights of samples whose label spans overlap in time.

    A sample's label spans the bars from its start time to its end time, both
    included. A bar held by c labels gives each 1/c; a sample's average
    uniqueness is the mean of that over its span.
    """

    __slots__ = ()
    __reduce__ = RefusesPickling.__reduce__
    __reduce_ex__ = RefusesPickling.__reduce_ex__
    __setstate__ = RefusesPickling.__setstate__

    def fit_transform(self, *args, **kwargs):
        """One weight per sample, summing to the number of samples.

        Without impacts the weights are proportional to the samples' average
        uniqueness; with impacts, to |impact| / uniqueness.
        """
        complete, starts, ends, impacts = bind_arguments(
            "fit_transform", _SPAN_ARGUMENT_NAMES + (_IMPACT_ARGUMENT_NAME,), 3, args, kwargs
        )
        if impacts is _UNSET:
            impacts = _DEFAULT_IMPACT_ARRAY
        _check_arrays(zip(_SPAN_ARGUMENT_NAMES + (_IMPACT_ARGUMENT_NAME,), (complete, starts, ends, impacts)))
        uniqueness = np.ascontiguousarray(self.get_sample_uniqueness_weights(complete, starts, ends), np.float64)
        impacts = _as_impacts(impacts)
        return _native.normalise_sample_weights(uniqueness, impacts if len(impacts) else None)

    def get_sample_uniqueness_weights(self, *args, **kwargs):
        """Average uniqueness of each sample over its inclusive label span (NaN for an empty span)."""
        complete, starts, ends = bind_arguments("get_sample_uniqueness_weights", _SPAN_ARGUMENT_NAMES, 3, args, kwargs)
        _check_arrays(zip(_SPAN_ARGUMENT_NAMES, (complete, starts, ends)))
        names = _SPAN_ARGUMENT_NAMES
        return _native.sample_uniqueness(
            _as_bar_times(names[0], complete), _as_bar_times(names[1], starts), _as_bar_times(names[2], ends)
        )


SampleWeights.get_sample_uniqueness_weights.__signature__ = signature(_SPAN_ARGUMENT_NAMES, first="self")


def _check_arrays(named_values):
    for name, value in named_values:
        check_type(value, np.ndarray, name=name, expected_name="numpy.ndarray", allow_none=False)


def _as_bar_times(name, array):
    """Bar times as contiguous int64 nanoseconds; datetime64 of any unit is converted."""
    if array.ndim != 1:
        raise ValueError(f"{name} must be one-dimensional (got {array.ndim} dimensions)")
    kind = array.dtype.kind
    if kind == "M":
        array = array.astype("datetime64[ns]", copy=False).view(np.int64)
    elif kind in "iu" or array.size == 0:
        array = array.astype(np.int64, copy=False)
    else:
        raise TypeError(f"{name} must hold datetime64 bar times (got dtype {array.dtype})")
    return np.ascontiguousarray(array)


def _as_impacts(array):
    if array.ndim != 1:
        raise ValueError(f"{_IMPACT_ARGUMENT_NAME} must be one-dimensional (got {array.ndim} dimensions)")
    return np.ascontiguousarray(array, np.float64)


# ---------------------------------------------------------------- features

_FEATURE_ARGUMENT_NAMES = (
    "pair_of_security",
    "pair_hedge_ratios",
    "data_column_names_array",
    "rolling_window_matrix_array",
)
_PRICE_FIELDS = ("open", "high", "low", "close")
_SERIES_NAMES = _PRICE_FIELDS + ("volume",)

_ALL_THREE = ("short", "medium", "long")

# The feature battery: TA-Lib function and horizons, in row order. Each
# horizon gives a spread key, then the same for the basket of all others.
_FEATURE_TABLE = (
    ("BOP", ()),
    ("ADX", ("short", "medium")),
    ("ADXR", ("short",)),
    ("AROONOSC", _ALL_THREE),
    ("CCI", _ALL_THREE),
    ("CMO", _ALL_THREE),
    ("DX", _ALL_THREE),
    ("MFI", _ALL_THREE),
    ("MINUS_DI", _ALL_THREE),
    ("MOM", _ALL_THREE),
    ("PLUS_DI", _ALL_THREE),
    ("PLUS_DM", _ALL_THREE),
    ("ROC", _ALL_THREE),
    ("ROCP", _ALL_THREE),
    ("ROCR", _ALL_THREE),
    ("RSI", _ALL_THREE),
    ("TRIX", ("short",)),
    ("WILLR", ("short", "medium")),
    ("APO", ("medium_short", "long_short")),
    ("PPO", ("medium_short", "long_short")),
    ("ULTOSC", ("all",)),
    ("AD", ()),
    ("ADOSC", ()),
    ("OBV", ()),
    ("TRANGE", ()),
    ("ATR", _ALL_THREE),
    ("NATR", _ALL_THREE),
    ("HT_DCPERIOD", ()),
    ("HT_DCPHASE", ()),
)


# TA-Lib keywords of each horizon, as (parameter, window length). APO and PPO
# take the fast period and a ``shortperiod`` that TA-Lib does not know: their
# slow period and moving average stay at TA-Lib's defaults, whatever the key
# names suggest. ULTOSC takes all three lengths at once.
_HORIZON_PARAMETERS = {
    None: (),
    "short": (("timeperiod", "short"),),
    "medium": (("timeperiod", "medium"),),
    "long": (("timeperiod", "long"),),
    "medium_short": (("fastperiod", "medium"), ("shortperiod", "short")),
    "long_short": (("fastperiod", "long"), ("shortperiod", "short")),
    "all": (("timeperiod1", "short"), ("timeperiod2", "medium"), ("timeperiod3", "long")),
}


def _feature_key(function_name, side, horizon):
    suffix = "" if horizon in (None, "all") else "_" + horizon
    return "float64_" + function_name.lower() + "_" + side + suffix


# (key, TA-Lib name, spread or basket, horizon) for all 126 features, in order.
_FEATURES = tuple(
    (_feature_key(name, side, horizon), name, side == "spread", horizon)
    for name, horizons in _FEATURE_TABLE
    for side in ("spread", "all_others")
    for horizon in (horizons or (None,))
)


# Technical-indicator features of a pair at the last bar of a rolling window.
# Two synthetic OHLCV series are built from the window: the pair's spread
# (hedge-ratio weighted log prices) and a basket of every other security (log
# prices weighted to put all risk on the smallest principal component). The
# object holds nothing between calls. The class deliberately has no docstring
# and derives from object directly.
class Signalforge:
    __slots__ = ()
    __reduce__ = RefusesPickling.__reduce__
    __reduce_ex__ = RefusesPickling.__reduce_ex__
    __setstate__ = RefusesPickling.__setstate__

    def __init__(self, *args, **kwargs):
        pass

    def generate_features_for_pair_spreads(self, *args, **kwargs):
        """The pair's 126 features (a dict of float64 in fixed key order) at the window's last row.

        TA-Lib leaves a function's first rows undefined, so a feature whose
        lookback reaches the last row is NaN; values are stored as they come.
        """
        pair_of_security, pair_hedge_ratios, names, window = bind_arguments(
            "generate_features_for_pair_spreads", _FEATURE_ARGUMENT_NAMES, 4, args, kwargs
        )
        check_type(pair_of_security, tuple, name="pair_of_security", exact=True)
        check_type(pair_hedge_ratios, tuple, name="pair_hedge_ratios", exact=True)
        check_type(names, np.ndarray, name="data_column_names_array", expected_name="numpy.ndarray")
        check_type(window, np.ndarray, name="rolling_window_matrix_array", expected_name="numpy.ndarray")
        check_float64_buffer(window, 2)
        # Subclasses of ndarray are accepted, but their operators may differ
        # (np.matrix multiplies matrices with *): the series are built on a
        # plain view of the same memory. None fails later, where its first
        # column is selected.
        if window is not None:
            window = window.view(np.ndarray)

        columns = _ColumnIndex(names, window)
        spread = _spread_ohlcv(pair_of_security, pair_hedge_ratios, columns, window)
        others = _other_securities(names, pair_of_security)
        basket = _basket_ohlcv(others, columns, window)
        return _feature_row(spread, basket)


Signalforge.generate_features_for_pair_spreads.__signature__ = signature(_FEATURE_ARGUMENT_NAMES, first="self")


class _ColumnIndex:
    """Column positions of one window by exact name; a repeated name keeps its leftmost column.

    A position past the window's width fails when its column is selected, as
    indexing the window would; a window of None fails at the first selection.
    """

    __slots__ = ("_positions", "_width")

    _UNCHECKED = object()

    def __init__(self, names, window=_UNCHECKED):
        positions = {}
        if names is not None:
            if names.ndim != 1:
                raise ValueError(f"data_column_names_array must be one-dimensional (got {names.ndim} dimensions)")
            for position, name in enumerate(names.tolist()):
                positions.setdefault(name, position)
        self._positions = positions
        self._width = window if window is self._UNCHECKED or window is None else window.shape[1]

    def of(self, security, field):
        name = str(security) + "_" + field
        position = self._positions.get(name)
        if position is None:
            raise IndexError(f"no column named {name!r} in data_column_names_array")
        width = self._width
        if width is not self._UNCHECKED:
            if width is None:
                raise TypeError("'NoneType' object is not subscriptable")
            if position >= width:
                raise IndexError(f"index {position} is out of bounds for axis 1 with size {width}")
        return position

    def of_security(self, security):
        """The security's open, high, low, close and volume positions; the first missing field fails."""
        return [self.of(security, field) for field in _SERIES_NAMES]


def _unpack_pair(value):
    """The two entries of a pair argument, refused in the interpreter's unpacking words."""
    if value is None:
        raise TypeError("'NoneType' object is not iterable")
    if len(value) > 2:
        raise ValueError("too many values to unpack (expected 2)")
    if len(value) < 2:
        raise ValueError(f"need more than {len(value)} value{'' if len(value) == 1 else 's'} to unpack")
    return value


def _security_name(value):
    # None is looked up as the text "None", as a missing name would be.
    check_type(value, str, CONVERSION_TYPE_WORDING)
    return value


def _spread_ohlcv(pair_of_security, pair_hedge_ratios, columns, window):
    """Open, high, low, close of h1 * log leg 1 + h2 * log leg 2, and the legs'
    traded value divided by |spread close| as volume."""
    security_1, security_2 = (_security_name(name) for name in _unpack_pair(pair_of_security))
    hedge_ratio_1, hedge_ratio_2 = (as_double(ratio) for ratio in _unpack_pair(pair_hedge_ratios))
    leg_1 = columns.of_security(security_1)
    leg_2 = columns.of_security(security_2)
    if window is None:
        raise TypeError("'NoneType' object is not subscriptable")
    # Rows are fields (open, high, low, close), each a contiguous series.
    log_prices_1 = np.log(window.T[leg_1[:4]])
    log_prices_2 = np.log(window.T[leg_2[:4]])
    prices = log_prices_1 * hedge_ratio_1 + log_prices_2 * hedge_ratio_2
    close = prices[3]
    traded_value = window[:, leg_1[4]] * np.exp(log_prices_1[3]) + window[:, leg_2[4]] * np.exp(log_prices_2[3])
    # The divisor is the spread close itself, a combination of log prices.
    volume = traded_value / np.abs(close)
    return (prices[0], prices[1], prices[2], close, volume)


def _other_securities(names, pair_of_security):
    """Securities of the close columns, in column order, without the pair's two."""
    others = []
    if names is None:
        return others
    for name in names.tolist():
        if "_close" in name:
            security = name.split("_close")[0]
            if security not in pair_of_security:
                others.append(security)
    return others


def _basket_ohlcv(others, columns, window):
    """Open, high, low, close of the other securities' log prices weighted by
    their PCA weights, and their traded value divided by the basket's price."""
    positions = np.array([columns.of_security(security) for security in others], dtype=np.intp).reshape(-1, 5)
    if len(others) < 2:
        message = (
            f"the basket of other securities needs at least two securities besides the pair, "
            f"the window has {len(others) or 'none'}"
        )
        # A single other security has a 0-d covariance; none leaves no smallest component.
        raise (ValueError if others else IndexError)(message)
    # Fields x securities x rows, logged in place: a sum over the securities
    # axis adds whole rows in turn, security by security from zero in list
    # order. Adding 0.0 gives an all-zero sum the sign that a start from zero
    # would.
    by_security = window.T
    log_prices = by_security[positions[:, :4].T]
    np.log(log_prices, out=log_prices)
    log_closes = log_prices[3]
    # The covariance of the rows x securities close matrix, as numpy's cov of its transpose.
    weights = _pca_weights(np.cov(np.ascontiguousarray(log_closes.T).T))
    traded_value = by_security[positions[:, 4]]
    traded_value *= np.exp(log_closes)
    volume = np.add.reduce(traded_value, axis=0) + 0.0
    log_prices *= weights[:, None]
    prices = np.add.reduce(log_prices, axis=1) + 0.0
    close = prices[3]
    volume /= np.abs(np.exp(close))
    return (prices[0], prices[1], prices[2], close, volume)


def _pca_weights(cov_matrix):
    """Weights v_min / sqrt(lambda_min): all risk on the smallest-variance component, at a risk target of 1.

    numpy's eigh fixes the eigenvector's sign, and with it the sign of every
    basket series; the weights are used as it returns them.
    """
    risk_target = 1.0
    eigenvalues, eigenvectors = np.linalg.eigh(cov_matrix)
    indices = eigenvalues.argsort()[::-1]
    eigenvalues = eigenvalues[indices]
    eigenvectors = eigenvectors[:, indices]
    risk_dist = np.zeros(len(eigenvalues))
    risk_dist[-1] = 1.0
    risk_loadings = risk_target * (risk_dist / eigenvalues) ** 0.5
    return np.dot(eigenvectors, risk_loadings.reshape(-1, 1)).flatten()


def _feature_row(spread, basket):
    size_of_array = len(basket[0])
    last_index = size_of_array - 1
    keywords, calls = _call_plan(size_of_array)
    spread_inputs = dict(zip(_SERIES_NAMES, spread))
    all_other_inputs = dict(zip(_SERIES_NAMES, basket))
    # The series each compiled function reads, by its input pattern, per side.
    series = (
        {pattern: tuple(basket[i] for i in pattern) for pattern in _INPUT_PATTERNS},
        {pattern: tuple(spread[i] for i in pattern) for pattern in _INPUT_PATTERNS},
    )
    namespace = globals()
    row = {}
    for key, name, on_spread, horizon, abstract, compiled, pattern, parameters in calls:
        function = namespace.get(name, _MISSING)
        if function is abstract:
            row[key] = compiled(*series[on_spread][pattern], *parameters)[last_index]
        elif function is _MISSING:
            raise NameError(f"name '{name}' is not defined")
        else:
            row[key] = function(spread_inputs if on_spread else all_other_inputs, **keywords[horizon])[last_index]
    return row


def _call_plan(size_of_array):
    """The keywords of each horizon, and each feature's compiled call, for windows of this many rows.

    A factor's windows all have one size, so the plan is made once and reused.
    """
    plan = _CALL_PLANS.get(size_of_array)
    if plan is None:
        lengths = {
            "short": int(size_of_array * 0.2),
            "medium": int(size_of_array * 0.5),
            "long": int(size_of_array * 0.8),
        }
        keywords = {
            horizon: {parameter: lengths[length] for parameter, length in parameters}
            for horizon, parameters in _HORIZON_PARAMETERS.items()
        }
        calls = tuple(
            (key, name, on_spread, horizon) + _DIRECT_CALLS[name].call(keywords[horizon])
            for key, name, on_spread, horizon in _FEATURES
        )
        plan = (keywords, calls)
        if len(_CALL_PLANS) >= 16:
            _CALL_PLANS.clear()
        _CALL_PLANS[size_of_array] = plan
    return plan


_CALL_PLANS = {}


class _DirectCall:
    """TA-Lib's function API for one indicator, fed as its abstract function would be.

    The abstract interface costs several times the computation itself on a
    window of a hundred bars, so while this module's attribute is still TA-Lib's
    own abstract function, the compiled function that it wraps is called
    directly: the series it reads (by position in open, high, low, close,
    volume), then every parameter by position, TA-Lib's default where the
    keywords do not name it.
    """

    __slots__ = ("abstract", "function", "series", "_defaults")

    def __init__(self, abstract):
        self.abstract = abstract
        # Past the wrapper that takes pandas and polars series: the inputs are arrays.
        self.function = getattr(abstract.func_object, "__wrapped__", abstract.func_object)
        series = []
        for value in abstract.input_names.values():
            series.extend([value] if isinstance(value, str) else value)
        self.series = tuple(_SERIES_NAMES.index(name) for name in series)
        self._defaults = dict(abstract.parameters)

    def call(self, keywords):
        """(abstract function, compiled function, series pattern, positional parameters)."""
        parameters = dict(self._defaults)
        parameters.update((name, value) for name, value in keywords.items() if name in parameters)
        return (self.abstract, self.function, self.series, tuple(parameters.values()))


_MISSING = object()


import logging  # noqa: E402,F401

from korvane._common.binding import UNSET as _UNSET  # noqa: E402
from korvane._common.startup import configure_shared_logger  # noqa: E402

logger = configure_shared_logger()

import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402,F401
import talib.abstract as _talib_abstract  # noqa: E402
from talib.abstract import *  # noqa: E402,F401,F403

from korvane.rarAV import _signalforge as _native  # noqa: E402

_DIRECT_CALLS = {name: _DirectCall(getattr(_talib_abstract, name)) for name, _ in _FEATURE_TABLE}
_INPUT_PATTERNS = frozenset(call.series for call in _DIRECT_CALLS.values())

# The one default of fit_transform's impacts: every call that omits them gets
# this same empty array, which is only ever measured, never written.
_DEFAULT_IMPACT_ARRAY = np.empty(0, dtype=np.float64)
SampleWeights.fit_transform.__signature__ = signature(
    _SPAN_ARGUMENT_NAMES + (_IMPACT_ARGUMENT_NAME,), {_IMPACT_ARGUMENT_NAME: _DEFAULT_IMPACT_ARRAY}, first="self"
)
