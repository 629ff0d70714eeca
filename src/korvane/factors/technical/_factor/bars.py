"""Bars of a universe table: cleaning, resampling, trading hours and daily log prices.

Bars are built by a native kernel (``_pairtrader.resample_bars``) that reads
the table's values in place, whatever their memory layout, and reproduces
pandas' ``resample(...).last()`` / ``.sum()`` with forward filling. Cleaned
bars then keep only the trading hours (a UTC clock) and, on request, the
weekdays of the table's own zone. The daily log closes and log mid prices
feed the factor's bid-ask spread estimate.

Like the rest of the factor's code, the cleaning looks ``np``, ``pd``,
``datetime`` and ``date`` up on the factor module at call time.
"""

import datetime
import numbers
from datetime import timedelta

import numpy as np
import pandas as pd

from korvane.factors.technical import _pairtrader
from korvane.factors.technical._factor.globals import pm

MINUTES_IN_A_DAY = 1440
_NANOSECONDS_PER_MINUTE = 60_000_000_000
_NANOSECONDS_PER_DAY = 1440 * _NANOSECONDS_PER_MINUTE

# Field suffixes of a universe table. Prices keep the last value of a bar,
# volumes the sum; a column is matched by how its name ends, so that a
# security called, say, "BTC_low_cap" is not mistaken for a low price.
PRICE_SUFFIXES = ("_open", "_high", "_close", "_low")
VOLUME_SUFFIX = "_volume"


class Bars:
    """A cleaned table before it becomes a DataFrame.

    ``utc_ns`` holds the bar labels as int64 nanoseconds since the epoch
    (UTC), ``matrix`` the bars x columns float64 values (C-contiguous),
    ``columns`` the table's column Index, ``tz`` and
    ``index_name`` the zone and name of the table's index.
    """

    __slots__ = ("utc_ns", "matrix", "columns", "tz", "index_name")

    def __init__(self, utc_ns, matrix, columns, tz, index_name):
        self.utc_ns = utc_ns
        self.matrix = matrix
        self.columns = columns
        self.tz = tz
        self.index_name = index_name

    @property
    def datetime64(self):
        """The bar times as datetime64[ns] UTC instants without a zone."""
        return self.utc_ns.view("datetime64[ns]")

    def to_dataframe(self):
        index = pd.DatetimeIndex(self.datetime64, name=self.index_name).tz_localize("UTC").tz_convert(self.tz)
        return pd.DataFrame(self.matrix, index=index, columns=self.columns, copy=False)


def _column_rules(columns):
    """For each column, whether its bar value is a sum (volume) or a last value (price)."""
    if not columns.is_unique:
        duplicated = list(dict.fromkeys(columns[columns.duplicated()]))
        raise Exception(
            f"pd.DataFrame has duplicate column names {duplicated!r}, please ensure every column appears once"
        )
    is_sum = []
    unmatched = []
    for label in columns:
        name = label if isinstance(label, str) else None
        if name is not None and name.endswith(VOLUME_SUFFIX):
            is_sum.append(True)
        elif name is not None and name.endswith(PRICE_SUFFIXES):
            is_sum.append(False)
        else:
            unmatched.append(label)
    if unmatched:
        raise KeyError(
            f"Columns {unmatched!r} of the pd.DataFrame end in none of "
            "'_open', '_high', '_low', '_close', '_volume'; every column must be a security's name followed by "
            "one of these suffixes"
        )
    return is_sum


def _check_index(index):
    if index.hasnans:
        raise Exception(
            "pd.DataFrame index contains NaT (missing timestamps), please ensure every row is indexed by a valid "
            "datetime"
        )
    if not index.is_unique:
        raise Exception(
            "pd.DataFrame index contains duplicate timestamps, please ensure every row is indexed by a distinct "
            "datetime"
        )
    if not index.is_monotonic_increasing:
        raise Exception("pd.DataFrame index is not sorted in increasing time order, please sort it by its index")
    try:
        index.as_unit("ns")
    except pd.errors.OutOfBoundsDatetime:
        raise Exception(
            f"pd.DataFrame index holds dates outside {pd.Timestamp.min} to {pd.Timestamp.max}, which bar times in "
            "nanoseconds cannot hold; please pass dates within that range"
        ) from None


# What pandas infers for an object column that holds only real numbers (and
# missing values); such a column converts to float64 like a numeric one.
_NUMBERS_IN_OBJECT_COLUMN = frozenset(("integer", "floating", "mixed-integer-float", "decimal", "boolean", "empty"))


def _holds_real_numbers(column):
    dtype = column.dtype
    if pd.api.types.is_complex_dtype(dtype):
        return False
    if pd.api.types.is_numeric_dtype(dtype):
        return True
    return dtype == object and pd.api.types.infer_dtype(column, skipna=True) in _NUMBERS_IN_OBJECT_COLUMN


def non_numeric_columns_error(subject, labels, error_type=Exception):
    """The refusal of columns that do not hold real numbers; `subject` names the table."""
    return error_type(
        f"{subject} has non-numeric columns {labels!r}, please ensure every price and volume column holds numbers"
    )


def non_numeric_columns(table):
    """Labels of the columns that do not hold real numbers: text, times, durations or complex values.

    Converting them to float64 would fail, or would silently turn a duration
    into nanoseconds or drop an imaginary part.
    """
    return [label for position, label in enumerate(table.columns) if not _holds_real_numbers(table.iloc[:, position])]


def _is_wrong_number(value):
    return isinstance(value, (datetime.date, datetime.timedelta, np.datetime64, np.timedelta64)) or (
        isinstance(value, numbers.Complex) and not isinstance(value, numbers.Real)
    )


def _holds_wrong_numbers(values):
    dtype = values.dtype
    if isinstance(dtype, pd.CategoricalDtype):
        return _holds_wrong_numbers(dtype.categories)
    if dtype != object:
        return dtype.kind in "mMc"
    if pd.api.types.infer_dtype(values, skipna=True) in _NUMBERS_IN_OBJECT_COLUMN | {"string"}:
        return False
    return any(map(_is_wrong_number, values))


def wrong_number_columns(table):
    """Labels of the columns that convert to float64 as some other number.

    A duration becomes its count of its unit (5 s as 5000000.0), a datetime
    its count since the epoch and a complex value its real part; text,
    categories and objects holding any of these are looked into.
    """
    return [label for position, label in enumerate(table.columns) if _holds_wrong_numbers(table.iloc[:, position])]


def float64_values(table, subject, error_type=Exception):
    """The table's values as float64, missing values (None, NaN, pd.NA) as NaN.

    An integer beyond float64's range refuses its column, in the wording of
    :func:`non_numeric_columns_error`.
    """
    try:
        return table.to_numpy(dtype=np.float64, na_value=np.nan)
    except (TypeError, OverflowError):
        # An object column holding pd.NA or such an integer; found column by column.
        pass
    columns = []
    too_large = []
    for position, label in enumerate(table.columns):
        column = table.iloc[:, position]
        if column.dtype != object:
            columns.append(column.to_numpy(dtype=np.float64, na_value=np.nan))
            continue
        values = column.to_numpy(dtype=object, copy=True)
        values[np.fromiter((value is pd.NA for value in values), dtype=bool, count=len(values))] = np.nan
        try:
            columns.append(values.astype(np.float64))
        except OverflowError:
            too_large.append(label)
    if too_large:
        raise non_numeric_columns_error(subject, too_large, error_type)
    return np.column_stack(columns)


def _float64_values(table):
    """The table's values as float64, read in place when they already are."""
    dtypes = table.dtypes
    if all(dtype == np.float64 for dtype in dtypes):
        return table.to_numpy(dtype=np.float64, copy=False)
    bad = non_numeric_columns(table)
    if bad:
        raise non_numeric_columns_error("pd.DataFrame", bad)
    return float64_values(table, "pd.DataFrame")


def resample_to_bars(table, resolution_in_mins):
    """Bars of `resolution_in_mins` minutes from a zone-aware universe table.

    Bars are closed on the left and labelled by their left edge, counted in
    steps of the bar size from midnight (in the index's zone) of the first
    row's day, exactly as pandas resamples with a minute rule, except that
    bars of whole days are local calendar days (pandas' fixed spans would
    drift across a daylight-saving change). In each bar a
    price column takes its last non-missing value and a volume column the sum
    of its values (0 for a bar without rows). Gaps are carried forward from
    the previous bar, and leading bars before every column has had a value
    are dropped.
    """
    index = table.index
    columns = table.columns
    is_sum = _column_rules(columns)
    _check_index(index)
    if resolution_in_mins < 1:
        raise ValueError(f"bar size must be at least 1 minute, got {resolution_in_mins}")
    # Bars wider than any span of times hold everything in one bar; capping
    # the width keeps it a native integer without changing the bars.
    width = min(int(resolution_in_mins) * _NANOSECONDS_PER_MINUTE, 2**62)
    n_columns = len(columns)
    if len(index) == 0:
        return Bars(np.empty(0, dtype=np.int64), np.empty((0, n_columns)), columns, index.tz, index.name)

    values = _float64_values(table)
    whole_days = width % _NANOSECONDS_PER_DAY == 0
    if whole_days:
        # Bars of whole days follow the calendar of the index's zone. Counted
        # in fixed spans of elapsed time they would drift by the clock change
        # of a daylight-saving zone: each summer day's row would fall into the
        # bar labelled the day before, and Monday's into Sunday's. Rows are
        # placed by their local day; in UTC and fixed-offset zones this is the
        # same binning.
        wall_clock = index.tz_localize(None) if index.tz is not None else index
        times = np.ascontiguousarray(wall_clock.normalize().as_unit("ns").asi8)
        origin = int(times[0])
    else:
        times = np.ascontiguousarray(index.as_unit("ns").asi8)
        origin = index[0].normalize().as_unit("ns").value
    first_bar = (int(times[0]) - origin) // width
    n_bars = (int(times[-1]) - origin) // width - first_bar + 1
    out = np.empty((n_bars, n_columns), dtype=np.float64)
    complete_from = _pairtrader.resample_bars(
        values, times, origin, width, np.asarray(is_sum, dtype=np.uint8), out
    )
    labels = origin + (first_bar + np.arange(complete_from, n_bars, dtype=np.int64)) * width
    if whole_days and index.tz is not None:
        # Local midnights back to instants; a midnight that a clock change
        # skips or repeats is taken at its first existing instant.
        local = pd.DatetimeIndex(labels.view("datetime64[ns]"))
        labels = local.tz_localize(index.tz, ambiguous=True, nonexistent="shift_forward").as_unit("ns").asi8
        labels = np.ascontiguousarray(labels, dtype=np.int64)
    return Bars(labels, out[complete_from:], columns, index.tz, index.name)


def filter_trading_hours(data_datetime_array, trading_hours):
    """Mask of the bars whose UTC time of day lies within the trading hours.

    Each interval is [start, end); an interval whose end is not after its
    start runs overnight and selects times at or after start or before
    end. No hours (None or an empty list) select every bar.
    """
    np, pd = pm().np, pm().pd
    if trading_hours is None or len(trading_hours) == 0:
        return np.ones(len(data_datetime_array), dtype=bool)
    mask = np.zeros(len(data_datetime_array), dtype=bool)
    times_of_day = pd.DatetimeIndex(data_datetime_array).time
    for interval in trading_hours:
        start, end = interval
        if end > start:
            mask |= (times_of_day >= start) & (times_of_day < end)
        else:
            mask |= (times_of_day >= start) | (times_of_day < end)
    return mask


def minutes_in_trading_day(trading_hours):
    """Minutes covered by the trading hours (1440 without hours).

    Each interval is truncated to whole minutes on its own and overlapping
    intervals are each counted in full. An overnight interval counts its
    whole span (22:00 to 02:00 is 240 minutes). Unreadable hours raise.
    """
    if trading_hours is None or len(trading_hours) == 0:
        return MINUTES_IN_A_DAY
    datetime, date = pm().datetime, pm().date
    one_minute = timedelta(minutes=1)
    one_day = timedelta(days=1)
    count = 0
    for interval in trading_hours:
        start, end = interval
        start_on_day = datetime.combine(date.min, start)
        end_on_day = datetime.combine(date.min, end)
        if end_on_day > start_on_day:
            span = end_on_day - start_on_day
        else:
            span = one_day - (start_on_day - end_on_day)
        count += span // one_minute
    return int(count)


def clean_bars(raw_OHCLV_dataframe, resolution_in_mins, trading_hours, trades_only_on_weekdays):
    """The cleaned bars of a table, before they become a DataFrame.

    Resampling as in :func:`resample_to_bars`; then, except at a bar size
    of exactly one day (1440 minutes), only the bars whose UTC time of day
    lies within the trading hours remain; with the weekday flag only the
    bars that fall on Monday to Friday in the table's own zone remain.
    """
    np, pd = pm().np, pm().pd
    bars = resample_to_bars(raw_OHCLV_dataframe, resolution_in_mins)
    keep = None
    if resolution_in_mins != MINUTES_IN_A_DAY:
        keep = np.asarray(filter_trading_hours(bars.datetime64, trading_hours), dtype=bool)
    if trades_only_on_weekdays:
        local = pd.DatetimeIndex(bars.datetime64).tz_localize("UTC").tz_convert(bars.tz)
        on_weekday = np.asarray(local.day_of_week <= 4)
        keep = on_weekday if keep is None else keep & on_weekday
    if keep is not None and not keep.all():
        bars.utc_ns = bars.utc_ns[keep]
        bars.matrix = bars.matrix[keep]
    return bars


def _carried_forward(logs, np):
    """Log prices with the missing and infinite ones (from zero or negative prices) replaced by the previous day's.

    Returns the values from the first day that has one on, and that day's position.
    """
    logs = np.where(np.isinf(logs), np.nan, logs)
    known = ~np.isnan(logs)
    if not known.any():
        return logs[:0], len(logs)
    positions = np.where(known, np.arange(len(logs)), 0)
    np.maximum.accumulate(positions, out=positions)
    first = int(np.argmax(known))
    return logs[positions][first:], first


def proportional_spread_estimate(daily_dataframe, securities_names_list, n):
    """Each security's proportional bid-ask spread from daily log prices.

    The estimate is twice the root mean square distance, in logs, between
    a day's close and the middle of that day's high-low range. Zero or
    negative prices become missing logs that the previous day's value
    replaces, and the days before a security's first price are left out.
    Only the first `n` days of closes and of mids are read, and of those the
    first and the last two mids are not; the mean is over the days that have
    all three, its sum taken in date order over the days of either series.
    """
    np = pm().np
    estimate = np.zeros(len(securities_names_list), dtype=np.float64)
    n = max(int(n), 0)

    with np.errstate(divide="ignore", invalid="ignore"):
        for index, security in enumerate(securities_names_list):
            close = np.log(daily_dataframe[security + "_close"].to_numpy(dtype=np.float64))
            high = np.log(daily_dataframe[security + "_high"].to_numpy(dtype=np.float64))
            low = np.log(daily_dataframe[security + "_low"].to_numpy(dtype=np.float64))
            close, close_from = _carried_forward(close, np)
            mid, mid_from = _carried_forward(high + low, np)
            mid = mid * 0.5
            close, mid = close[:n], mid[:n]
            close_days = np.arange(close_from, close_from + len(close))
            mid_days = np.arange(mid_from, mid_from + len(mid))
            days = np.union1d(close_days, mid_days)
            # A day counts when it has a close and a mid and its mid is
            # neither the first nor one of the last two read.
            inner_mid = (days > mid_from) & (days < mid_from + n - 1)
            has_close = (days >= close_from) & (days < close_from + len(close))
            has_mid = (days >= mid_from) & (days < mid_from + len(mid))
            counted = has_close & has_mid & inner_mid
            squares = np.zeros(len(days))
            if counted.any():
                distance = close[days[counted] - close_from] - mid[days[counted] - mid_from]
                squares[counted] = distance * distance
                estimate[index] = 2 * np.sqrt(squares.sum() / counted.sum())
            else:
                estimate[index] = np.nan
    return estimate
