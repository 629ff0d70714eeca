"""Construction of the pairs-trading factor.

The constructor checks its fifteen arguments in a fixed order with fixed
messages, stores the settings, and runs the two initialisers: the data
initialiser sets up the bar matrices from the cleaned bars of the universe
table (see ``bars``) and estimates each security's proportional bid-ask
spread; the rarAV initialiser resets the trade store and asks an optional
entry classifier whether a trained pipeline is saved.
"""

import math

from korvane._kernels import write_unraisable
from korvane._common.binding import (
    UNSET,
    as_double,
    as_int64,
    as_truth_value,
    bind_arguments,
    CONVERSION_TYPE_WORDING,
    check_no_arguments,
    check_type,
    signature,
)
from korvane._common.close_columns import close_column_positions
from korvane.factors.technical._factor.backtest_run import LOG_SUFFIX, MINIMUM_TRAIN_BARS, end_of_train_part
from korvane.factors.technical._factor.bars import (
    MINUTES_IN_A_DAY,
    clean_bars,
    filter_trading_hours,
    minutes_in_trading_day,
    proportional_spread_estimate,
)
from korvane.factors.technical._factor.fields import reset_fields
from korvane.factors.technical._factor.globals import pm
from korvane.factors.technical._factor.live import restart_live_run
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

TRADING_DAYS_IN_A_YEAR = 252

# The shortest z-score window the engine uses, in bars. The optimiser
# searches rolling windows of more bars than this, from one more on.
MINIMUM_SIZE_OF_ROLLING_WINDOW = 30

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


# --------------------------------------------------------------------------- the mixin


def _dict_or_none(value):
    check_type(value, dict, CONVERSION_TYPE_WORDING, exact=True)


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

        check_type(universe_name, str, name="universe_name", exact=True)
        check_type(trading_hours, list, name="trading_hours", exact=True)
        check_type(securities_names_list, list, name="securities_names_list", exact=True)
        check_type(objective, str, name="objective", exact=True)

        _check_table(module, raw_OHCLV_dataframe)
        securities_names_list = _checked_securities(module, raw_OHCLV_dataframe, securities_names_list)
        _check_bars_and_objective(module, resolution_in_mins, trading_hours, objective)
        _check_money_settings(
            train_split_ratio,
            starting_equity,
            pct_equity_invested,
            market_value_pct_commissions,
            bid_ask_spread_pct_slippage,
        )

        self._object_store_dict = {}
        self._INFINITE_UPDATE_INTERVAL = int(1e10)
        self._MINIMUM_RESOLUTION = 1
        self._MINIMUM_SIZE_OF_ROLLING_WINDOW = MINIMUM_SIZE_OF_ROLLING_WINDOW
        self._study_name = STUDY_NAME
        self._resolution_in_mins = max(self._MINIMUM_RESOLUTION, resolution_in_mins)
        # The table is what pickled factors and the copies of a parallel fit
        # are rebuilt from, so it must stay as it was given. Only a copy of the
        # values is a snapshot: a shallow copy still shares them with a table
        # built over the caller's numpy array, and with every table where
        # pandas' copy-on-write is off (the default before pandas 3).
        self._raw_OHCLV_dataframe = raw_OHCLV_dataframe.copy(deep=True)
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
        # Refused here, not after a fit's search: SQLite names files beside the study file.
        _check_universe_name_encodes(universe_name)
        self._check_study_file_name_fits()

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
        datetime_length, column_length = self._data_matrix.shape
        self._datetime_length = datetime_length
        self._column_length = column_length
        self._MAX_ZSCORE_ROLLING_WINDOW = int(datetime_length * 0.5)

        # At least one trading year (252 trading days) of bars.
        if datetime_length < int((minutes * TRADING_DAYS_IN_A_YEAR) / resolution):
            raise Exception(INSUFFICIENT_DATA_MESSAGE)
        _check_train_part(datetime_length, self._MAX_ZSCORE_ROLLING_WINDOW, self._train_split_ratio)

        securities_names_list = self._securities_names_list
        number_of_securities = len(securities_names_list)
        self._number_of_securities = number_of_securities
        self._securities_and_position_index_dict = {
            name: position for position, name in enumerate(securities_names_list)
        }
        self._raw_positions_matrix_array = np.zeros((datetime_length, number_of_securities), dtype=np.float64)
        self._current_positions_array = np.zeros(number_of_securities, dtype=np.float64)
        restart_live_run(self)  # no live run yet

        # Close column k belongs to security k of the list, whatever the
        # table's column order.
        self._close_columns_only_data_matrix_array = np.take(
            self._data_matrix, close_column_positions(bars.columns, securities_names_list), axis=1
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
        """The cleaned bars of a table, before they become a DataFrame (see :func:`bars.clean_bars`)."""
        return clean_bars(raw_OHCLV_dataframe, resolution_in_mins, trading_hours, trades_only_on_weekdays)

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
        """Mask of the bars whose UTC time of day lies within the trading hours (see :mod:`bars`)."""
        return filter_trading_hours(data_datetime_array, trading_hours)

    def _get_number_of_minutes_in_trading_day(self, trading_hours):
        """Minutes covered by the trading hours (1440 without hours); 0 when they cannot be read.

        A failure is reported through the unraisable-exception hook instead
        of being raised.
        """
        try:
            return minutes_in_trading_day(trading_hours)
        except Exception as exception:
            write_unraisable(exception, MINUTE_COUNT_CONTEXT)
            return 0

    # ------------------------------------------------------------------ slippage estimate

    def _estimate_proportional_spread_for_slippage(
        self, cleaned_dataframe, trading_hours, trades_only_on_weekdays, securities_names_list, number_of_securities
    ):
        """Each security's proportional bid-ask spread from the daily log prices of the cleaned bars.

        Days come from re-cleaning the bars with the minutes of a trading day
        as bar size.
        """
        minutes_in_trading_day = self._number_of_minutes_in_trading_day
        if minutes_in_trading_day < 1:
            # The trading hours could not be read (the minute count has
            # reported why), so there is no trading day to resample into.
            raise Exception(TRADING_HOURS_MESSAGE)
        resampled_daily_dataframe = self._clean_dataframe(
            cleaned_dataframe, minutes_in_trading_day, trading_hours, trades_only_on_weekdays
        )
        return proportional_spread_estimate(resampled_daily_dataframe, securities_names_list, self._datetime_length)

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


def _check_table(module, raw_OHCLV_dataframe):
    """The universe table must be a DataFrame indexed by zone-aware datetimes."""
    pd = module.pd
    if not isinstance(raw_OHCLV_dataframe, pd.DataFrame):
        raise Exception(NOT_A_DATAFRAME_MESSAGE)
    if not isinstance(raw_OHCLV_dataframe.index, pd.DatetimeIndex):
        raise Exception(NOT_DATETIME_INDEXED_MESSAGE)
    if raw_OHCLV_dataframe.index.tzinfo is None:
        raise Exception(NOT_DATETIME_AWARE_MESSAGE)


def _checked_securities(module, raw_OHCLV_dataframe, securities_names_list):
    """The securities of the table (inferred from it when none are given), five columns each, none twice."""
    if securities_names_list is None or len(securities_names_list) == 0:
        securities_names_list = module.Inference().infer_securities_from_OHCLV_df(raw_OHCLV_dataframe)
        check_type(securities_names_list, list, CONVERSION_TYPE_WORDING, exact=True)

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
    return securities_names_list


def _check_bars_and_objective(module, resolution_in_mins, trading_hours, objective):
    """The bar size, the trading hours and the objective, checked in this order."""
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


def _check_money_settings(
    train_split_ratio, starting_equity, pct_equity_invested, market_value_pct_commissions, bid_ask_spread_pct_slippage
):
    """The train split, the equity and the cost settings, checked in this order."""
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


def _check_universe_name_encodes(universe_name):
    """Refuse a universe name holding a lone surrogate, which no file name can hold.

    The study file is named in UTF-8 on its way to SQLite, so such a name
    would fail the fit after its lock file was made.
    """
    surrogates = [repr(ch) for ch in dict.fromkeys(str(universe_name)) if "\ud800" <= ch <= "\udfff"]
    if surrogates:
        raise unusable_universe_name(universe_name, surrogates)


def unusable_universe_name(universe_name, problems):
    """The error of a universe name that cannot name a study file, for the ``problems`` it holds."""
    return Exception(
        "universe_name "
        + repr(universe_name)
        + " cannot name a study file: it contains "
        + ", ".join(problems)
        + ", please use a short universe_name without '/', '..', '?', '#' or '%'"
    )


def _check_train_part(datetime_length, longest_window, train_split_ratio):
    """The train part must hold the bars a score needs, after the longest rolling window the search draws.

    A longer window leaves fewer bars after it, so every trial then has them.
    A history too short for any train part is left to the run, which names
    the window.
    """
    train_bars = end_of_train_part(datetime_length, longest_window, train_split_ratio) - longest_window
    if train_bars < MINIMUM_TRAIN_BARS <= datetime_length - longest_window:
        raise ValueError(
            f"train_split_ratio of {train_split_ratio!r} leaves {train_bars} of the {datetime_length} bars for the "
            f"train part after the longest rolling window of {longest_window} bars, at least {MINIMUM_TRAIN_BARS} "
            "are needed: please use a larger train_split_ratio or more data"
        )


def _with_constructor_defaults(values, module):
    # The securities list's default is the one shared empty list of the
    # factor module; it is only read, never stored.
    defaults = dict(_OPTIONAL_DEFAULTS, securities_names_list=module.DEFAULT_SECURITIES_NAMES_LIST)
    return [
        defaults[name] if value is UNSET else value for name, value in zip(CONSTRUCTOR_ARGUMENT_NAMES, values)
    ]
