"""Construction of the pairs-trading factor and the preparation of its bars.

The constructor checks its fifteen arguments in a fixed order with fixed
messages, stores the settings, and runs the two initialisers: the data
initialiser turns the universe table into bar matrices (resampling, trading
hours, weekdays) and estimates each security's proportional bid-ask spread;
the rarAV initialiser resets the trade store and asks an optional entry
classifier whether a trained pipeline is saved.

Bars are built by a native kernel (``_pairtrader.resample_bars``) that reads
the table's values in place, whatever their memory layout, and reproduces
pandas' ``resample(...).last()`` / ``.sum()`` with forward filling.
"""

import math
from datetime import timedelta

import numpy as np
import pandas as pd

from korvane._common.binding import (
    UNSET,
    as_double,
    as_int64,
    as_truth_value,
    bind_arguments,
    check_exact_type,
    check_no_arguments,
    signature,
)
from korvane.factors.technical import _pairtrader
from korvane.factors.technical._factor.backtest_run import LOG_SUFFIX
from korvane.factors.technical._factor.fields import reset_fields
from korvane.factors.technical._factor.globals import pm
from korvane.factors.technical._factor.trade_store import TradeStore
from korvane.factors.technical._factor.valid_closes import warn_of_invalid_closes

CONSTRUCTOR_ARGUMENT_NAMES = (
    "universe_name",
    "raw_OHCLV_dataframe",
    "resolution_in_mins",
    "trading_hours",
    "trades_only_on_weekdays",
    "rarAV_signalforge",
    "rarAV_optimal_entry_model",
    "securities_names_list",
    "objective",
    "train_split_ratio",
    "starting_equity",
    "pct_equity_invested",
    "market_value_pct_commissions",
    "bid_ask_spread_pct_slippage",
    "scale_equity_to_traded_securities",
)
_REQUIRED_CONSTRUCTOR_ARGUMENTS = 5
DEFAULT_OBJECTIVE = "stability_activity_weighted_annual_sharpe_from_median_bootstrapped_returns"
STUDY_NAME = "PairsTradingSerialCointegrationFactor"

MINUTES_IN_A_DAY = 1440
TRADING_DAYS_IN_A_YEAR = 252
_NANOSECONDS_PER_MINUTE = 60_000_000_000
_NANOSECONDS_PER_DAY = 1440 * _NANOSECONDS_PER_MINUTE
_INT64_MIN, _INT64_MAX = -(2**63), 2**63 - 1

# Field suffixes of a universe table. Prices keep the last value of a bar,
# volumes the sum; a column is matched by how its name ends, so that a
# security called, say, "BTC_low_cap" is not mistaken for a low price.
PRICE_SUFFIXES = ("_open", "_high", "_close", "_low")
VOLUME_SUFFIX = "_volume"

NOT_A_DATAFRAME_MESSAGE = (
    "pd.DataFrame is not passed, pass a pd.DataFrame object containing the OHCLV of all the securities in this "
    "universe and indexed by datetime"
)
NOT_DATETIME_INDEXED_MESSAGE = (
    "pd.DataFrame is not indexed by datetime, please pass a pd.DataFrame object containing the OHCLV of all the "
    "securities in this universe and indexed by datetime"
)
NOT_DATETIME_AWARE_MESSAGE = (
    "pd.DataFrame is not datetime aware, please pass a pd.DataFrame object that is datetime aware, and to pass the "
    "trading hours in the same timezone"
)
COLUMN_COUNT_MESSAGE = (
    "Number of columns passed in the pd.DataFrame does not match with the number of securities in the "
    "securities_name_list"
)
RESOLUTION_MESSAGE = "resolution_in_mins cannot be less than 1"
TRADING_HOURS_MESSAGE = (
    "trading_hours should be a List[Tuple[time(start), time(end)]] object. Please ensure the data structures match"
)
OBJECTIVE_MESSAGE = "Objective specified is not available"
TRAIN_SPLIT_MESSAGE = "train_split_ratio is mispecified, please ensure 0 < train_split_ratio <= 1.0"
PCT_EQUITY_MESSAGE = "pct_equity_invested is less than 0, please ensure pct_equity_invested > 0"
INSUFFICIENT_DATA_MESSAGE = "Insufficient data encountered, please consider getting more data"

MINUTE_COUNT_CONTEXT = (
    "korvane.factors.technical.pairtrader.PairsTradingSerialCointegrationFactor.__get_number_of_minutes_in_trading_day"
)



# --------------------------------------------------------------------------- argument handling


def write_unraisable(exception, context):
    """Report `exception` through ``sys.unraisablehook``, naming `context`."""
    from korvane.utils.results._scorebook import write_unraisable as native_write_unraisable

    native_write_unraisable(exception, context)


# --------------------------------------------------------------------------- bars


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


def _float64_values(table):
    """The table's values as float64, read in place when they already are."""
    dtypes = table.dtypes
    if all(dtype == np.float64 for dtype in dtypes):
        return table.to_numpy(dtype=np.float64, copy=False)
    bad = [label for label in table.columns if not _holds_real_numbers(table[label])]
    if bad:
        raise Exception(
            f"pd.DataFrame has non-numeric columns {bad!r}, please ensure every price and volume column holds numbers"
        )
    return table.to_numpy(dtype=np.float64, na_value=np.nan)


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


# --------------------------------------------------------------------------- the mixin


def _dict_or_none(value):
    if value is not None and type(value) is not dict:
        raise TypeError(f"Expected dict, got {type(value).__name__}")


def _field_property(slot, check=None):
    """A public attribute kept in `slot`: None before it is set and after deletion.

    `check`, when given, vets an assigned value; a refused value leaves the
    field as it was.
    """

    def get(self):
        return getattr(self, slot, None)

    def set_(self, value):
        if check is not None:
            check(value)
        setattr(self, slot, value)

    def delete(self):
        setattr(self, slot, None)

    return property(get, set_, delete)


class ConstructionMixin:
    """Constructor, data initialiser, cleaning, trading hours, slippage estimate and pickling."""

    __slots__ = ()

    def __new__(cls, *args, **kwargs):
        self = object.__new__(cls)
        reset_fields(self)
        module = pm()

        (
            universe_name,
            raw_OHCLV_dataframe,
            resolution_in_mins,
            trading_hours,
            trades_only_on_weekdays,
            rarAV_signalforge,
            rarAV_optimal_entry_model,
            securities_names_list,
            objective,
            train_split_ratio,
            starting_equity,
            pct_equity_invested,
            market_value_pct_commissions,
            bid_ask_spread_pct_slippage,
            scale_equity_to_traded_securities,
        ) = _with_constructor_defaults(
            bind_arguments("__cinit__", CONSTRUCTOR_ARGUMENT_NAMES, _REQUIRED_CONSTRUCTOR_ARGUMENTS, args, kwargs),
            module,
        )

        resolution_in_mins = as_int64(resolution_in_mins)
        trades_only_on_weekdays = as_truth_value(trades_only_on_weekdays)
        train_split_ratio = as_double(train_split_ratio)
        starting_equity = as_double(starting_equity)
        pct_equity_invested = as_double(pct_equity_invested)
        market_value_pct_commissions = as_double(market_value_pct_commissions)
        bid_ask_spread_pct_slippage = as_double(bid_ask_spread_pct_slippage)
        scale_equity_to_traded_securities = as_truth_value(scale_equity_to_traded_securities)

        check_exact_type("universe_name", universe_name, str)
        check_exact_type("trading_hours", trading_hours, list)
        check_exact_type("securities_names_list", securities_names_list, list)
        check_exact_type("objective", objective, str)

        pd = module.pd
        if not isinstance(raw_OHCLV_dataframe, pd.DataFrame):
            raise Exception(NOT_A_DATAFRAME_MESSAGE)
        if not isinstance(raw_OHCLV_dataframe.index, pd.DatetimeIndex):
            raise Exception(NOT_DATETIME_INDEXED_MESSAGE)
        if raw_OHCLV_dataframe.index.tzinfo is None:
            raise Exception(NOT_DATETIME_AWARE_MESSAGE)

        if securities_names_list is None or len(securities_names_list) == 0:
            securities_names_list = module.Inference().infer_securities_from_OHCLV_df(raw_OHCLV_dataframe)
            if securities_names_list is not None and type(securities_names_list) is not list:
                raise TypeError(f"Expected list, got {type(securities_names_list).__name__}")

        if len(raw_OHCLV_dataframe.columns) != 5 * len(securities_names_list):
            raise Exception(COLUMN_COUNT_MESSAGE)
        duplicated = [
            name for position, name in enumerate(securities_names_list) if name in securities_names_list[:position]
        ]
        if duplicated:
            raise Exception(
                f"securities_names_list names {list(dict.fromkeys(duplicated))!r} more than once, please ensure "
                "every security appears once"
            )
        if resolution_in_mins < 1:
            raise Exception(RESOLUTION_MESSAGE)
        # Every interval must be a (start, end) pair of times of day.
        for interval in trading_hours or ():
            if not (
                isinstance(interval, (tuple, list))
                and len(interval) == 2
                and all(isinstance(bound, module.time) for bound in interval)
            ):
                raise Exception(TRADING_HOURS_MESSAGE)
        if objective not in module.Scorebook.available_objectives:
            raise Exception(OBJECTIVE_MESSAGE)
        if not (0 < train_split_ratio and train_split_ratio <= 1.0):
            raise Exception(TRAIN_SPLIT_MESSAGE)
        if not pct_equity_invested > 0:
            raise Exception(PCT_EQUITY_MESSAGE)
        # A NaN or infinite amount makes every money total NaN, and a negative
        # cost books a profit on every trade.
        if not math.isfinite(starting_equity):
            raise Exception("starting_equity is not a finite number, please ensure starting_equity is finite")
        if math.isinf(pct_equity_invested):
            raise Exception("pct_equity_invested is infinite, please ensure pct_equity_invested is finite")
        for name, cost in (
            ("market_value_pct_commissions", market_value_pct_commissions),
            ("bid_ask_spread_pct_slippage", bid_ask_spread_pct_slippage),
        ):
            if not (cost >= 0 and math.isfinite(cost)):
                raise Exception(f"{name} is {cost!r}, please ensure {name} is a finite number >= 0")

        self._object_store_dict = {}
        self._INFINITE_UPDATE_INTERVAL = int(1e10)
        self._MINIMUM_RESOLUTION = 1
        self._MINIMUM_SIZE_OF_ROLLING_WINDOW = 30
        self._study_name = STUDY_NAME
        self._resolution_in_mins = max(self._MINIMUM_RESOLUTION, resolution_in_mins)
        # The table is what pickled factors and the copies of a parallel fit
        # are rebuilt from, so it must stay as it was given. Under pandas'
        # copy-on-write a shallow copy is a snapshot: whatever the caller then
        # changes in their table is copied first, and costs no memory until then.
        self._raw_OHCLV_dataframe = raw_OHCLV_dataframe.copy(deep=False)
        self._trading_hours = trading_hours
        self._trades_only_on_weekdays = trades_only_on_weekdays
        self._universe_name = universe_name
        self._securities_names_list = securities_names_list
        self._objective = objective
        self._train_split_ratio = train_split_ratio
        self._scale_equity_to_traded_securities = scale_equity_to_traded_securities
        self._starting_equity = starting_equity
        self._pct_equity_invested = pct_equity_invested
        self._market_value_pct_commissions = market_value_pct_commissions
        self._bid_ask_spread_pct_slippage = bid_ask_spread_pct_slippage

        # Called by name, so that a subclass's replacement runs.
        self.intialize_pairs_trading_data_structures()
        self.initialize_rarAV_data_structures(rarAV_signalforge, rarAV_optimal_entry_model)
        return self

    # ------------------------------------------------------------------ properties

    # The bar time of the latest backtest step or prediction; any object.
    current_time = _field_property("_current_time")
    # Storage for the caller: a dict (exactly) or None; nothing of the factor reads it.
    object_store_dict = _field_property("_object_store_dict", _dict_or_none)

    # ------------------------------------------------------------------ data initialiser

    def intialize_pairs_trading_data_structures(self, *args, **kwargs):
        """Sets up all the data structures the factor needs, from the universe table it holds.

        Kept apart from the constructor so that it can also be called safely
        when a pickled factor is rebuilt. Every call rebuilds the bar
        matrices, intervals, position arrays and slippage estimate from the
        stored table.
        """
        check_no_arguments("intialize_pairs_trading_data_structures", args, kwargs)
        np = pm().np
        minutes = self._get_number_of_minutes_in_trading_day(self._trading_hours)
        self._number_of_minutes_in_trading_day = minutes
        resolution = self._resolution_in_mins
        self._NEW_SPREAD_UPDATE_INTERVAL = max(int(minutes / resolution), 1)
        self._JOHANSEN_RESAMPLING_INTERVAL = max(int(minutes / resolution), 1)
        self._TRIPLE_BARRIER_UPDATE_INTERVAL = max(int(minutes / resolution), 1)

        bars = self._clean_bars(
            self._raw_OHCLV_dataframe, resolution, self._trading_hours, self._trades_only_on_weekdays
        )
        if len(bars.utc_ns) == 0:
            raise Exception(INSUFFICIENT_DATA_MESSAGE)
        cleaned_dataframe = bars.to_dataframe()

        self._data_datetime_array = bars.datetime64
        self._data_matrix = bars.matrix
        self._data_column_names_array = np.asarray([str(label) for label in bars.columns], dtype=str)
        self._last_updated_positions_time = self._data_datetime_array[0]
        datetime_length, column_length = self._data_matrix.shape
        self._datetime_length = datetime_length
        self._column_length = column_length
        self._MAX_ZSCORE_ROLLING_WINDOW = int(datetime_length * 0.5)

        # At least one trading year (252 trading days) of bars.
        if datetime_length < int((minutes * TRADING_DAYS_IN_A_YEAR) / resolution):
            raise Exception(INSUFFICIENT_DATA_MESSAGE)

        securities_names_list = self._securities_names_list
        number_of_securities = len(securities_names_list)
        self._number_of_securities = number_of_securities
        self._securities_and_position_index_dict = {
            name: position for position, name in enumerate(securities_names_list)
        }
        self._raw_positions_matrix_array = np.zeros((datetime_length, number_of_securities), dtype=np.float64)
        self._current_positions_array = np.zeros(number_of_securities, dtype=np.float64)
        self._last_updated_positions_weight_array = np.zeros(number_of_securities, dtype=np.float64)

        # Close column k belongs to security k of the list, whatever the
        # table's column order.
        column_position = {label: position for position, label in enumerate(bars.columns)}
        close_columns = [name + "_close" for name in securities_names_list]
        missing = [column for column in close_columns if column not in column_position]
        if missing:
            raise KeyError(f"Close columns {missing!r} of securities_names_list are not in the pd.DataFrame")
        self._close_columns_only_data_matrix_array = np.take(
            self._data_matrix, [column_position[column] for column in close_columns], axis=1
        )
        warn_of_invalid_closes(
            pm().logger,
            securities_names_list,
            self._data_datetime_array,
            self._close_columns_only_data_matrix_array,
            LOG_SUFFIX + str(resolution),
        )

        self._estimated_proportional_slippage_array = self._estimate_proportional_spread_for_slippage(
            cleaned_dataframe,
            self._trading_hours,
            self._trades_only_on_weekdays,
            securities_names_list,
            number_of_securities,
        )
        return None

    # ------------------------------------------------------------------ cleaning

    def _clean_bars(self, raw_OHCLV_dataframe, resolution_in_mins, trading_hours, trades_only_on_weekdays):
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
            keep = np.asarray(self._filter_trading_hours(bars.datetime64, trading_hours), dtype=bool)
        if trades_only_on_weekdays:
            local = pd.DatetimeIndex(bars.datetime64).tz_localize("UTC").tz_convert(bars.tz)
            on_weekday = np.asarray(local.day_of_week <= 4)
            keep = on_weekday if keep is None else keep & on_weekday
        if keep is not None and not keep.all():
            bars.utc_ns = bars.utc_ns[keep]
            bars.matrix = bars.matrix[keep]
        return bars

    def _clean_dataframe(self, raw_OHCLV_dataframe, resolution_in_mins, trading_hours, trades_only_on_weekdays):
        """The table resampled into bars of `resolution_in_mins` minutes and filtered (a new DataFrame)."""
        return self._clean_bars(raw_OHCLV_dataframe, resolution_in_mins, trading_hours, trades_only_on_weekdays).to_dataframe()

    def get_clean_dataframe(self, *args, **kwargs):
        """Exposes the internal data (numpy Arrays) to an external caller by converting it into a pandas DataFrame

        Returns:
            pd.DataFrame[np.float64]: Dataframe consisting the data that the factor currently holds in memory
        """
        check_no_arguments("get_clean_dataframe", args, kwargs)
        return pm().pd.DataFrame(
            self._data_matrix,
            index=self._data_datetime_array,
            columns=self._data_column_names_array,
            copy=True,
        )

    # ------------------------------------------------------------------ trading hours

    def _filter_trading_hours(self, data_datetime_array, trading_hours):
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

    def _get_number_of_minutes_in_trading_day(self, trading_hours):
        """Minutes covered by the trading hours (1440 without hours); 0 when they cannot be read.

        Each interval is truncated to whole minutes on its own and overlapping
        intervals are each counted in full. An overnight interval counts its
        whole span (22:00 to 02:00 is 240 minutes). A failure is reported
        through the unraisable-exception hook instead of being raised.
        """
        try:
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
        except Exception as exception:
            write_unraisable(exception, MINUTE_COUNT_CONTEXT)
            return 0

    # ------------------------------------------------------------------ slippage estimate

    def _estimate_proportional_spread_for_slippage(
        self, cleaned_dataframe, trading_hours, trades_only_on_weekdays, securities_names_list, number_of_securities
    ):
        """Each security's proportional bid-ask spread from daily log prices.

        The estimate is twice the root mean square distance, in logs, between
        a day's close and the middle of that day's high-low range. Days come
        from re-cleaning the bars with the minutes of a trading day as bar
        size. Zero or negative prices become missing logs that the previous
        day's value replaces.
        """
        np = pm().np
        estimated_proportional_slippage_array = np.zeros(number_of_securities, dtype=np.float64)
        minutes_in_trading_day = self._number_of_minutes_in_trading_day
        if minutes_in_trading_day < 1:
            # The trading hours could not be read (the minute count has
            # reported why), so there is no trading day to resample into.
            raise Exception(TRADING_HOURS_MESSAGE)
        resampled_daily_dataframe = self._clean_dataframe(
            cleaned_dataframe, minutes_in_trading_day, trading_hours, trades_only_on_weekdays
        )
        n = self._datetime_length
        infinities = [np.inf, -np.inf]
        with np.errstate(divide="ignore", invalid="ignore"):
            for index, security in enumerate(securities_names_list):
                daily_lg_close_prices = (
                    np.log(resampled_daily_dataframe[security + "_close"]).replace(infinities, np.nan).ffill().dropna()
                )
                daily_lg_mid_prices = (
                    (
                        np.log(resampled_daily_dataframe[security + "_high"])
                        + np.log(resampled_daily_dataframe[security + "_low"])
                    )
                    .replace(infinities, np.nan)
                    .ffill()
                    .dropna()
                    * 0.5
                )
                # Both differences align by date, so each close meets the mid
                # of its own day; the mid series' first date is left out.
                first_factor = daily_lg_close_prices.iloc[:n] - daily_lg_mid_prices.iloc[:n]
                second_factor = daily_lg_close_prices.iloc[:n] - daily_lg_mid_prices.iloc[1 : n - 1]
                estimated_proportional_slippage_array[index] = 2 * np.sqrt((first_factor * second_factor).mean())
        return estimated_proportional_slippage_array

    # ------------------------------------------------------------------ rarAV

    def initialize_rarAV_data_structures(self, *args, **kwargs):
        """Holds the feature generator and entry classifier, empties the trade store and asks the classifier
        whether a trained pipeline is saved."""
        rarAV_signalforge, rarAV_optimal_entry_model = bind_arguments(
            "initialize_rarAV_data_structures",
            ("rarAV_signalforge", "rarAV_optimal_entry_model"),
            2,
            args,
            kwargs,
        )
        self._rarAV_signalforge = rarAV_signalforge
        self._rarAV_optimal_entry_model = rarAV_optimal_entry_model
        self._rarav_trades_count = 0
        self._rarav_clean_single_trade_store_dict = {
            "time_of_entry": None,
            "time_of_exit": None,
            "trade_label": None,
            "trade_returns": None,
            "trade_securities": None,
            "features": None,
        }
        self._rarav_trades_store_dict = TradeStore()
        self._rarAV_optimal_entry_ready = False
        self._rarAV_optimal_entry_ready = self._check_if_rarAV_optimal_entry_exists_and_load()
        return None

    def _check_if_rarAV_optimal_entry_exists_and_load(self):
        """Whether the entry classifier found and loaded its saved pipeline (False without a classifier)."""
        model = self._rarAV_optimal_entry_model
        if model is None:
            return False
        return getattr(model, "__check_and_load_optimal_entry_classifier")(factor_name=self._study_name)

    # ------------------------------------------------------------------ pickling

    def __reduce__(self, *args, **kwargs):
        check_no_arguments("__reduce__", args, kwargs)
        # Imported at pickling time, never when the module loads.
        from korvane.utils.pickling.rebuilds import rebuild_pairs_trading_serial_cointegration_factor

        return (
            rebuild_pairs_trading_serial_cointegration_factor,
            (
                self._universe_name,
                self._raw_OHCLV_dataframe,
                int(self._resolution_in_mins),
                self._trading_hours,
                bool(self._trades_only_on_weekdays),
                self._rarAV_signalforge,
                self._rarAV_optimal_entry_model,
                self._securities_names_list,
                self._objective,
                float(self._train_split_ratio),
                float(self._starting_equity),
                float(self._pct_equity_invested),
                float(self._market_value_pct_commissions),
                float(self._bid_ask_spread_pct_slippage),
                bool(self._scale_equity_to_traded_securities),
            ),
        )


_OPTIONAL_DEFAULTS = {
    "rarAV_signalforge": None,
    "rarAV_optimal_entry_model": None,
    "securities_names_list": [],
    "objective": DEFAULT_OBJECTIVE,
    "train_split_ratio": 0.8,
    "starting_equity": 100000.0,
    "pct_equity_invested": 0.9,
    "market_value_pct_commissions": 0.001,
    "bid_ask_spread_pct_slippage": 0.5,
    "scale_equity_to_traded_securities": True,
}


ConstructionMixin.__new__.__signature__ = signature(CONSTRUCTOR_ARGUMENT_NAMES, _OPTIONAL_DEFAULTS, first="cls")
for _name in ("intialize_pairs_trading_data_structures", "get_clean_dataframe", "__reduce__"):
    getattr(ConstructionMixin, _name).__signature__ = signature((), first="self")
ConstructionMixin.initialize_rarAV_data_structures.__signature__ = signature(
    ("rarAV_signalforge", "rarAV_optimal_entry_model"), first="self"
)


def _with_constructor_defaults(values, module):
    # The securities list's default is the one shared empty list of the
    # factor module; it is only read, never stored.
    defaults = dict(_OPTIONAL_DEFAULTS, securities_names_list=module.DEFAULT_SECURITIES_NAMES_LIST)
    return [
        defaults[name] if value is UNSET else value for name, value in zip(CONSTRUCTOR_ARGUMENT_NAMES, values)
    ]
