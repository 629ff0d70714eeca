"""Indicator features of a pair's spread and of the rest of its universe, and
uniqueness weights of overlapping trade labels.

``SampleWeights`` weighs each training trade by how much of its holding
period it shares with other trades; its arithmetic is native
(``korvane.rarAV._signalforge``).

The module star-imports TA-Lib's abstract interface, so ``RSI``, ``ADX`` and
the other indicator functions are attributes of this module.
"""

from korvane._binding import RefusesPickling, bind_arguments, check_argument_type, signature

_SPAN_ARGUMENT_NAMES = (
    "complete_datetime_indices_array",
    "training_samples_start_datetime_array",
    "training_samples_end_datetime_array",
)
_IMPACT_ARGUMENT_NAME = "training_samples_impact_array"


class SampleWeights(RefusesPickling):
    """Uniqueness weights of samples whose label spans overlap in time.

    A sample's label spans the bars from its start time to its end time, both
    included. A bar held by c labels gives each 1/c; a sample's average
    uniqueness is the mean of that over its span.
    """

    __slots__ = ()

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


SampleWeights.fit_transform.__signature__ = signature(
    _SPAN_ARGUMENT_NAMES + (_IMPACT_ARGUMENT_NAME,), {_IMPACT_ARGUMENT_NAME: "<empty float64 array>"}, first="self"
)
SampleWeights.get_sample_uniqueness_weights.__signature__ = signature(_SPAN_ARGUMENT_NAMES, first="self")


def _check_arrays(named_values):
    for name, value in named_values:
        check_argument_type(name, value, np.ndarray, "numpy.ndarray", allow_none=False)


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


import logging  # noqa: E402

from korvane._binding import UNSET as _UNSET  # noqa: E402
from korvane._startup import configure_shared_logger  # noqa: E402

logger = configure_shared_logger()

import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402,F401
from talib.abstract import *  # noqa: E402,F401,F403

from korvane.rarAV import _signalforge as _native  # noqa: E402

# The one default of fit_transform's impacts: every call that omits them gets
# this same empty array, which is only ever measured, never written.
_DEFAULT_IMPACT_ARRAY = np.empty(0, dtype=np.float64)
