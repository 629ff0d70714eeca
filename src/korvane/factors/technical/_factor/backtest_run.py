"""One backtest run of the pairs-trading factor, and what turns it into results.

A run walks every bar with one parameter set (drawn from an optimiser trial, or
given by the caller), splits the bars after the warm-up into a train and a test
part, splits the closed-trade store at the end of the train part, and accounts
each part into a ``Scorebook``. As the optimiser's objective it returns the
train score; otherwise it returns the train ``Scorebook`` with the test one
registered on it.

The accounting of a part runs natively (``_pairtrader.account_split``): units
and market values sized on a running equity that ignores costs, profit and
loss, commissions and slippage on traded value, the after-cost equity curve
with its bankruptcy cut-off, and per-bar returns.
"""

import operator

import numpy as np

from korvane._common.binding import UNSET, bind_arguments, check_type, signature
from korvane.factors.technical import _pairtrader
from korvane.factors.technical._factor.globals import pm
from korvane.factors.technical._factor.trade_store import TradeStore, store_columns
from korvane.factors.technical._factor.valid_closes import carried_closes, invalid_closes

LOG_SUFFIX = " | PAIRS TRADING SERIAL COINTEGRATION FACTOR "

# Columns of a trade record that are not features of the classifier.
TRADE_RECORD_COLUMNS = ("time_of_exit", "trade_label", "trade_returns", "trade_securities", "time_of_entry")


def _closes_for_valuation(close_matrix):
    """The close matrix the accounting values positions at.

    An invalid close (missing, not finite, zero or negative: see
    ``valid_closes``) is replaced by the security's last valid close, as a
    broker would mark a halted position. Before a security's first valid
    close (not yet listed, often filled with 0) it holds no position, since
    no pair can be estimated on it; it is valued at its first valid close
    there (1.0 if it never has one) so that its zero units stay zero instead
    of turning equity into NaN. Clean matrices are passed through untouched.
    """
    close = np.asarray(close_matrix, dtype=np.float64)
    if not invalid_closes(close).any():
        return close_matrix
    marked = carried_closes(close)
    unpriced = np.isnan(marked)
    for column in np.flatnonzero(unpriced.any(axis=0)):
        priced = marked[~unpriced[:, column], column]
        marked[unpriced[:, column], column] = priced[0] if len(priced) else 1.0
    return marked


class _StoreSnapshot:
    """The batches a store held at the end of one run, read as that store."""

    __slots__ = ("_batches",)

    def __init__(self, batches):
        self._batches = batches

    def batches(self):
        return self._batches

    def __len__(self):
        return sum(len(batch) for batch in self._batches)


class _PendingSplit:
    __slots__ = ("end_of_train", "store")

    def __init__(self, end_of_train, store):
        self.end_of_train = end_of_train
        self.store = store


RUN_NAME = "__run_pairs_trading_serial_cointegration_factor"
RUN_ARGUMENT_NAMES = ("trial", "is_optimising", "optimal_params", "use_rarAV_if_ready")
RUN_ARGUMENT_DEFAULTS = (None, True, None, True)

# Fewer train bars than this leave the train results without a daily return
# to score.
MINIMUM_TRAIN_BARS = 3


def end_of_train_part(bars, warm_up, train_split_ratio):
    """S of the split: bars [W, S) train, [S, T) test; truncation toward zero, not rounding."""
    return warm_up + int(float(bars - warm_up) * float(train_split_ratio))


def _score_text(score):
    """A score as the run logs it: rounded to 3 places, shortest decimal form."""
    return str(round(float(score), 3))


class BacktestRunMixin:
    __slots__ = ()

    # ------------------------------------------------------------------ run

    def _run_pairs_trading_serial_cointegration_factor(self, *args, **kwargs):
        trial, is_optimising, optimal_params, use_rarAV_if_ready = (
            default if value is UNSET else value
            for value, default in zip(
                bind_arguments(RUN_NAME, RUN_ARGUMENT_NAMES, 1, args, kwargs), RUN_ARGUMENT_DEFAULTS
            )
        )
        if not is_optimising:
            check_type(optimal_params, dict, name="optimal_params")
        logger = pm().logger
        objective = self._objective
        datetime_length = self._datetime_length
        train_split_ratio = self._train_split_ratio
        market_value_pct_commissions = self._market_value_pct_commissions
        bid_ask_spread_pct_slippage = self._bid_ask_spread_pct_slippage
        data_datetime_array = self._data_datetime_array
        data_matrix = self._data_matrix
        suffix = LOG_SUFFIX + str(self._resolution_in_mins)

        if is_optimising:
            trial_number = str(trial._trial_id - 1)
            logger.info("RUNNING TRIAL NUM " + trial_number + " TO OPTIMISE PARAMETERS IN-SAMPLE" + suffix)
            params = self._get_trial_params_for_pairs_trading_serial_cointegration_factor(trial)
            # Optimiser trials never filter entries through the classifier.
            self._rarAV_optimal_entry_ready = False
        else:
            logger.info("RUNNING AN IN-SAMPLE RUN WITH OPTIMAL PARAMS" + suffix)
            params = optimal_params
            if use_rarAV_if_ready:
                self._rarAV_optimal_entry_ready = self._check_if_rarAV_optimal_entry_exists_and_load()
            else:
                self._rarAV_optimal_entry_ready = False

        size_of_rolling_windows = operator.index(params["size_of_rolling_windows"])
        train_bars = end_of_train_part(datetime_length, size_of_rolling_windows, train_split_ratio)
        train_bars -= size_of_rolling_windows
        # A train part of a bar or two has no daily return to score, and a
        # window within a few bars of the whole history leaves none. (A train
        # part left empty by a small train_split_ratio, which construction
        # refuses for the windows a search draws, is run as it is: every trade
        # is then out of sample.)
        too_few = 0 < train_bars < MINIMUM_TRAIN_BARS or datetime_length - size_of_rolling_windows < MINIMUM_TRAIN_BARS
        if size_of_rolling_windows < datetime_length and too_few:
            raise Exception(
                f"size_of_rolling_windows of {size_of_rolling_windows} bars leaves {max(train_bars, 0)} of the "
                f"{datetime_length} bars for the train part, at least {MINIMUM_TRAIN_BARS} are needed: please use "
                "a shorter window, more data or a larger train_split_ratio"
            )

        self._raw_positions_matrix_array = (
            self._get_positions_from_rolling_cube_for_pairs_trading_serial_cointegration_factor(
                params, data_matrix, size_of_rolling_windows, is_optimising=bool(is_optimising)
            )
        )

        (
            train_datetime_array,
            train_raw_positions_matrix_mv,
            train_close_columns_only_data_matrix_mv,
            test_datetime_array,
            test_raw_positions_matrix_mv,
            test_close_columns_only_data_matrix_mv,
        ) = self._get_train_test_split(
            train_split_ratio,
            datetime_length,
            data_datetime_array,
            size_of_rolling_windows,
            self._raw_positions_matrix_array,
            _closes_for_valuation(self._close_columns_only_data_matrix_array),
        )

        # An empty train part has no end time: every recorded trade is then
        # out of sample.
        end_of_train_datetime = train_datetime_array[-1] if len(train_datetime_array) else None
        self._rarav_trade_tables = self._split_rarav_trades_when_read(
            end_of_train_datetime, self._rarav_trades_store_dict
        )

        train_results = self._get_results_from_positions_matrix(
            params,
            train_datetime_array,
            train_raw_positions_matrix_mv,
            train_close_columns_only_data_matrix_mv,
            market_value_pct_commissions,
            bid_ask_spread_pct_slippage,
        )

        if is_optimising:
            train_score = train_results.get_objective_score(objective=objective)
            logger.info(
                "FINISHED TRIAL NUM " + trial_number + " WITH OBJECTIVE SCORE: " + _score_text(train_score) + suffix + "\n"
            )
            return float(train_score)

        test_results = self._get_results_from_positions_matrix(
            params,
            test_datetime_array,
            test_raw_positions_matrix_mv,
            test_close_columns_only_data_matrix_mv,
            market_value_pct_commissions,
            bid_ask_spread_pct_slippage,
        )
        train_score = train_results.get_objective_score(objective=objective)
        test_score = test_results.get_objective_score(objective=objective)
        logger.info("FINISHED IN-SAMPLE TRAIN RUN WITH OBJECTIVE SCORE: " + _score_text(train_score) + suffix)
        logger.info("FINISHED IN-SAMPLE TEST RUN WITH OBJECTIVE SCORE: " + _score_text(test_score) + suffix + "\n")
        train_results.expose_internal_variables()
        train_results.register_test_set_results(test_set_results=test_results)
        return train_results

    # ---------------------------------------------------------------- split

    def _get_train_test_split(
        self,
        train_split_ratio,
        datetime_length,
        datetime_array,
        size_of_rolling_windows,
        raw_positions_matrix_mv,
        close_columns_only_data_matrix_mv,
    ):
        """Bars [W, S) are the train part and [S, T) the test part; bars before
        the warm-up W belong to neither. S = W + trunc((T - W) * ratio).

        Every piece is a view on its input; nothing is copied.
        """
        bars = operator.index(datetime_length)
        warm_up = operator.index(size_of_rolling_windows)
        # 100 bars at 0.57 give 56.
        train_size = end_of_train_part(bars, warm_up, train_split_ratio)
        raw = np.asarray(raw_positions_matrix_mv)
        close = np.asarray(close_columns_only_data_matrix_mv)
        return (
            datetime_array[warm_up:train_size],
            raw[warm_up:train_size],
            close[warm_up:train_size],
            datetime_array[train_size:bars],
            raw[train_size:bars],
            close[train_size:bars],
        )

    # ----------------------------------------------------------- accounting

    def _get_results_from_positions_matrix(
        self,
        params,
        datetime_array,
        raw_positions_matrix_mv,
        close_columns_only_data_matrix_mv,
        pct_commissions,
        bid_ask_spread_pct_slippage,
    ):
        """Accounts one part of a run and returns its ``Scorebook``."""
        datetime_length = len(datetime_array)
        arrays = _pairtrader.account_split(
            np.asarray(raw_positions_matrix_mv, dtype=np.float64),
            np.asarray(close_columns_only_data_matrix_mv, dtype=np.float64),
            self._slippage_estimate_for_accounting(),
            float(self._starting_equity),
            float(self._pct_equity_invested),
            bool(self._scale_equity_to_traded_securities),
            float(pct_commissions),
            float(bid_ask_spread_pct_slippage),
            datetime_length,
        )
        return pm().Scorebook(
            starting_equity=self._starting_equity,
            securities_names_list=self._securities_names_list,
            datetime_length=datetime_length,
            datetime_array=datetime_array,
            **arrays,
        )

    def _slippage_estimate_for_accounting(self):
        """The per-security spread estimate, with NaN entries charged as 0.0.

        A NaN estimate (a security with no usable daily prices) would make the
        whole equity curve NaN and every score flat. It is replaced once per
        factor, with a warning naming the security.
        """
        estimate = np.asarray(self._estimated_proportional_slippage_array, dtype=np.float64)
        missing = np.isnan(estimate)
        if missing.any():
            logger = pm().logger
            names = self._securities_names_list
            for index in np.flatnonzero(missing):
                name = names[index] if names is not None and index < len(names) else str(index)
                logger.warning(
                    "ESTIMATED PROPORTIONAL SPREAD OF %s IS NaN, ITS SLIPPAGE IS CHARGED AT 0.0%s%s",
                    name,
                    LOG_SUFFIX,
                    self._resolution_in_mins,
                )
            estimate = np.where(missing, 0.0, estimate)
            self._estimated_proportional_slippage_array = estimate
        return estimate

    # --------------------------------------------------------- trade store

    # The train and test tables of the latest run are built when first read:
    # an optimisation trial never reads them, and the store grows with every
    # trial, so building them each run would cost more with each trial.
    @property
    def _rarav_train_trades_store_df(self):
        return self._rarav_trade_tables_built()[0]

    @_rarav_train_trades_store_df.setter
    def _rarav_train_trades_store_df(self, table):
        self._rarav_trade_tables = (table, self._rarav_trade_tables_built()[1])

    @property
    def _rarav_test_trades_store_df(self):
        return self._rarav_trade_tables_built()[1]

    @_rarav_test_trades_store_df.setter
    def _rarav_test_trades_store_df(self, table):
        self._rarav_trade_tables = (self._rarav_trade_tables_built()[0], table)

    def _rarav_trade_tables_built(self):
        tables = self._rarav_trade_tables
        if tables is None:
            return None, None
        if isinstance(tables, _PendingSplit):
            tables = self._get_train_test_split_for_rarav_trades(tables.end_of_train, tables.store)
            self._rarav_trade_tables = tables
        return tables

    def _split_rarav_trades_when_read(self, end_of_train_datetime, store):
        """The split of the store as it stands now, built when first read.

        A columnar store is captured by its batches (which never change); any
        other mapping is split at once.
        """
        batches = store.batches() if isinstance(store, TradeStore) else None
        if batches is None:
            return self._get_train_test_split_for_rarav_trades(end_of_train_datetime, store)
        if not batches:
            return None, None
        return _PendingSplit(end_of_train_datetime, _StoreSnapshot(batches))

    def _get_train_test_split_for_rarav_trades(self, end_of_train_datetime, rarav_trades_store_dict):
        """Train and test tables of the closed-trade store, split by entry time.

        A trade entered at or before the end of the train part is a train
        trade (even if it exits later); every other trade is a test trade.
        Rows are sorted by entry time (ties keep store order) and numbered from
        0; the features of each record become one column per feature key, NaN
        where a record carries none. An empty store gives (None, None).
        """
        if not rarav_trades_store_dict:
            return None, None
        pd = pm().pd
        batches = rarav_trades_store_dict.batches() if hasattr(rarav_trades_store_dict, "batches") else None
        if batches:
            table = pd.DataFrame(store_columns(batches))
            columns = list(table.columns)
        else:
            records = list(rarav_trades_store_dict.values())
            # Records share the template's keys; the union is rebuilt only for
            # a record whose keys differ.
            columns = list(records[0])
            template_keys = records[0].keys()
            for record in records:
                if record.keys() != template_keys:
                    columns.extend(key for key in record if key not in columns)
            table = pd.DataFrame({key: [record.get(key) for record in records] for key in columns})
        table = table.sort_values("time_of_entry", kind="mergesort").reset_index(drop=True)
        ordered = ["time_of_entry"] + [key for key in columns if key not in ("time_of_entry", "features")]
        features = table["features"] if "features" in table.columns else None
        if features is not None and features.notna().any():
            rows = [row if row is not None else {} for row in features]
            table = pd.concat([table[ordered], pd.DataFrame(rows, index=table.index)], axis=1)
        else:
            table = table[ordered]
        if end_of_train_datetime is None:
            in_train = np.zeros(len(table), dtype=bool)
        else:
            in_train = np.asarray(table["time_of_entry"] <= end_of_train_datetime, dtype=bool)
        train = table[in_train].reset_index(drop=True)
        test = table[~in_train].reset_index(drop=True)
        return train, test

    def _preprocess_train_trades_store_df_for_rarAV(self, rarav_train_trades_store_df, impact_col="trade_returns"):
        """The classifier's training inputs from the train trades table.

        Returns (features table, labels, entry times, exit times, impact), the
        impact being each trade's absolute return over the sum of them all.
        """
        table = rarav_train_trades_store_df
        if table is None or len(table) == 0:
            raise Exception(
                "No train trades have been recorded, so there is no data to train the optimal entry classifier on"
            )
        train_time_of_entry_series = table.reset_index()["time_of_entry"]
        train_time_of_exit_series = table["time_of_exit"]
        absolute_impact = table[impact_col].abs()
        impact_series = absolute_impact / absolute_impact.sum()
        feature_columns = [column for column in table.columns if column not in TRADE_RECORD_COLUMNS]
        X_train_df = table[feature_columns]
        y_train_series = table["trade_label"]
        return X_train_df, y_train_series, train_time_of_entry_series, train_time_of_exit_series, impact_series


BacktestRunMixin._run_pairs_trading_serial_cointegration_factor.__signature__ = signature(
    RUN_ARGUMENT_NAMES, dict(zip(RUN_ARGUMENT_NAMES[1:], RUN_ARGUMENT_DEFAULTS[1:])), first="self"
)
