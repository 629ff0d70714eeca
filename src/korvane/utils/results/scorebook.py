"""Results of one backtest split: daily returns, bootstrapped paths and objective scores.

The statistics table and the plots of a split are its report (``_report``).

Module globals (``np``, ``pd``, ``empyrical``, ``yf``, ``tabulate``, ``plt``,
``bootstrapping_resample``) are looked up at call time by ``Scorebook``'s
operations, so replacing one on this module changes later calls.
"""

from korvane import _kernels
from korvane._common.binding import SETTING_TYPE_WORDING, RefusesPickling, as_double, as_signed_size, check_type
from korvane.utils.results import _arguments, _scorebook
from korvane.utils.results._report import ReportMixin

_PUBLIC_TABLE_NAMES = (
    "positions_matrix_df",
    "positions_market_value_matrix_df",
    "change_in_positions_matrix_df",
    "change_in_positions_market_value_matrix_df",
    "securities_pnl_matrix_df",
    "commissions_matrix_df",
    "slippage_matrix_df",
    "securities_pnl_after_transaction_costs_matrix_df",
    "total_pnl_after_transaction_costs_series",
    "equity_value_series",
    "returns_after_transaction_costs_series",
    "cumprod_returns_after_transaction_costs_series",
)

# The 26 attributes a user reads and writes: the split's own tables, its
# statistics table, then the same tables of a registered test split.
_PUBLIC_ATTRIBUTE_NAMES = (
    _PUBLIC_TABLE_NAMES
    + ("full_results_df",)
    + tuple("test_" + name for name in _PUBLIC_TABLE_NAMES)
    + ("test_full_results_df",)
)

_PRIVATE_FIELD_NAMES = (
    "_BOOTSTRAPPING_ROUNDS",
    "_starting_equity",
    "_securities_names_list",
    "_datetime_length",
    "_datetime_array",
    "_positions_matrix_array",
    "_positions_market_value_matrix_array",
    "_change_in_positions_matrix_array",
    "_change_in_positions_market_value_matrix_array",
    "_securities_pnl_matrix_array",
    "_commissions_matrix_array",
    "_slippage_matrix_array",
    "_securities_pnl_after_transaction_costs_matrix_array",
    "_total_pnl_after_transaction_costs_array",
    "_equity_value_array",
    "_returns_after_transaction_costs_array",
    "_cumprod_returns_after_transaction_costs_array",
)

_OBJECTIVE_SCORE_CONTEXT = "korvane.utils.results.scorebook.Scorebook.get_objective_score"


class Scorebook(ReportMixin, RefusesPickling):
    """Implements the Scorebook of a single run"""

    __slots__ = _PRIVATE_FIELD_NAMES + tuple("_" + name for name in _PUBLIC_ATTRIBUTE_NAMES)

    def __new__(cls, *args, **kwargs):
        # Every field is set before the constructor runs: objects hold None,
        # numbers hold zero.
        self = super().__new__(cls)
        for name in _PRIVATE_FIELD_NAMES + tuple("_" + name for name in _PUBLIC_ATTRIBUTE_NAMES):
            setattr(self, name, None)
        self._BOOTSTRAPPING_ROUNDS = 0
        self._starting_equity = 0.0
        self._datetime_length = 0
        return self

    def __init__(self, *args, **kwargs):
        values = _arguments.match_constructor_arguments(args, kwargs)
        arguments = dict(zip(_arguments.BACKTEST_ARRAYS_NAMES, values))

        starting_equity = as_double(arguments["starting_equity"])
        datetime_length = as_signed_size(arguments["datetime_length"])

        check_type(arguments["securities_names_list"], list, name="securities_names_list", exact=True)
        for name in _arguments.BACKTEST_ARRAYS_NAMES[3:]:
            check_type(arguments[name], np.ndarray, name=name, expected_name="numpy.ndarray")
        for name, ndim in _arguments.FLOAT_ARRAY_DIMENSIONS.items():
            _arguments.check_float64_buffer(arguments[name], ndim)

        self._BOOTSTRAPPING_ROUNDS = 10000
        self._starting_equity = starting_equity
        self._securities_names_list = arguments["securities_names_list"]
        self._datetime_length = datetime_length
        for name in _arguments.BACKTEST_ARRAYS_NAMES[3:]:
            setattr(self, "_" + name, arguments[name])
        self.test_full_results_df = pd.DataFrame({})

    # ------------------------------------------------------------------ scores

    def get_objective_score(self, objective="stability_weighted_median_bootstrapped_cumprod_returns"):
        """The score of this split under `objective`; larger is better.

        A split whose equity reached 0 scores -inf under every objective, below
        any split that kept some equity; a split of fewer than two bars scores
        NaN, and so does a split without a daily return under every objective
        but the per-bar "latest_cumprod_returns".

        A failure while scoring never reaches the caller: it is reported as an
        ignored exception and the score is 0.0, so an optimiser trial whose
        score cannot be computed simply scores 0.0.
        """
        check_type(objective, str, name="objective")
        try:
            return float(self._compute_objective_score(objective))
        except Exception as error:  # noqa: BLE001 - every scoring failure scores 0.0
            _kernels.write_unraisable(error, _OBJECTIVE_SCORE_CONTEXT)
            return 0.0

    def _compute_objective_score(self, objective):
        available_objectives = self.available_objectives
        check_type(available_objectives, list, SETTING_TYPE_WORDING, name="available_objectives", allow_none=False)
        if objective not in available_objectives or objective not in _OBJECTIVES:
            raise Exception("Objective specified is not available")

        # A split of fewer than two bars earns no return to score.
        if self._datetime_length < 2:
            return np.nan
        if self._is_bankrupt():
            return -np.inf
        return _OBJECTIVES[objective](self)

    def _is_bankrupt(self):
        """Whether the split's equity reached 0, with one warning naming the bar."""
        equity = np.asarray(self._equity_value_array, dtype=np.float64)
        ruined = np.flatnonzero(equity <= 0)
        if ruined.size == 0:
            return False
        bar = int(ruined[0])
        logger.warning(
            "Equity reached 0 at bar %d of %d (%s): the split is bankrupt and scores -inf",
            bar,
            len(equity),
            pd.Timestamp(self._datetime_array[bar]),
        )
        return True

    # ----------------------------------------------------------- daily series

    def _get_daily_returns_series_and_length(
        self, starting_equity, total_pnl_after_transaction_costs_array, datetime_array
    ):
        """Per-bar pnl, daily equity, daily returns and the number of calendar days."""
        _arguments.check_float64_buffer(total_pnl_after_transaction_costs_array, 1)
        total_pnl_after_transaction_costs_series = pd.Series(
            total_pnl_after_transaction_costs_array,
            index=datetime_array,
            name="total_pnl_after_transaction_costs_series",
        )
        # Every calendar day from the first bar's to the last bar's counts; a
        # day without bars has zero pnl.
        daily_pnl_series = total_pnl_after_transaction_costs_series.resample("1D").sum()
        daily_equity_series = daily_pnl_series.cumsum() + starting_equity
        # A day's return is its pnl over the previous day's closing equity. A
        # 0/0 day is dropped; a gain on zero equity is booked as 0.
        daily_returns_series = (
            (daily_pnl_series / daily_equity_series.shift(1))
            .dropna()
            .replace([np.inf, -np.inf], np.nan)
            .fillna(0)
        )
        length_of_datetime_index = len(daily_pnl_series)
        return (
            total_pnl_after_transaction_costs_series,
            daily_equity_series,
            daily_returns_series,
            length_of_datetime_index,
        )

    def expose_internal_variables(self):
        """Label the per-bar arrays with bar times and security names."""
        bar_times = self._datetime_array
        names = self._securities_names_list
        for name in _PUBLIC_TABLE_NAMES[:8]:
            source = getattr(self, "_" + name[: -len("_df")] + "_array")
            setattr(self, name, pd.DataFrame(source, index=bar_times, columns=names))
        # Returns exist from the second bar on: each is labelled with the bar
        # at whose end it is earned.
        for name, index in (
            ("total_pnl_after_transaction_costs_series", bar_times),
            ("equity_value_series", bar_times),
            ("returns_after_transaction_costs_series", None),
            ("cumprod_returns_after_transaction_costs_series", None),
        ):
            if index is None:
                index = bar_times[1:]
            source = getattr(self, "_" + name[: -len("_series")] + "_array")
            setattr(self, name, pd.Series(source, index=index, name=name))

    # -------------------------------------------------------------- test set

    def register_test_set_results(self, test_set_results=None):
        """Attach the test split's tables and statistics to this (train) split."""
        test_set_results.expose_internal_variables()
        self.test_full_results_df = test_set_results.get_full_results(name="test_set_results")
        for name in _PUBLIC_TABLE_NAMES:
            setattr(self, "test_" + name, getattr(test_set_results, name))

    # ------------------------------------------------------------- bootstrap

    def _get_bootstrapped_cumprod_daily_returns(
        self, length_of_datetime_index, daily_returns_series, percentiles
    ):
        """Representative resampled paths for the given percentiles of the
        ending value: (daily-returns paths, growth paths), one entry per
        percentile that found a path."""
        found = [
            paths
            for paths in self._bootstrap_percentile_paths(
                length_of_datetime_index, daily_returns_series, percentiles
            )
            if paths is not None
        ]
        return [paths[0] for paths in found], [paths[1] for paths in found]

    def _bootstrap_percentile_paths(self, length_of_datetime_index, daily_returns_series, percentiles):
        """For each percentile, the (daily returns, growth) path of the first
        round whose ending value is close to that percentile, or None."""
        check_type(percentiles, list, name="percentiles", exact=True)
        rounds = self._BOOTSTRAPPING_ROUNDS
        path_length = as_signed_size(length_of_datetime_index)
        returns = np.asarray(daily_returns_series.fillna(0).values)
        _arguments.check_float64_buffer(returns, 1)
        if path_length != len(returns):
            raise ValueError(
                f"bootstrap path length {path_length} differs from the "
                f"{len(returns)} daily returns it resamples"
            )
        resample = bootstrapping_resample
        if resample is _sklearn_resample and path_length > 0:
            # Native rounds draw the same seeded stream as scikit-learn and keep
            # only each round's ending value; a chosen round is drawn again.
            returns = np.ascontiguousarray(returns)
            ending_values = _scorebook.bootstrap_ending_values(returns, rounds)

            def path_of(round_index):
                return _scorebook.bootstrap_round(returns, int(round_index))

        else:
            resampled_paths = np.zeros((rounds, path_length))
            ending_values = np.zeros(rounds)
            for round_index in range(rounds):
                resampled = resample(returns, random_state=round_index)
                growth = np.cumprod(1 + resampled)
                resampled_paths[round_index] = resampled
                ending_values[round_index] = growth[path_length - 1]

            def path_of(round_index):
                resampled = resampled_paths[round_index]
                return resampled, np.cumprod(1 + resampled)

        results = []
        for percentile in percentiles:
            target = np.percentile(ending_values, float(percentile))
            matches = np.flatnonzero(np.isclose(ending_values, target, rtol=1e-03, atol=1e-03))
            results.append(path_of(matches[0]) if matches.size else None)
        return results


def _make_public_attribute(name):
    slot = "_" + name

    def read(self):
        return getattr(self, slot)

    def write(self, value):
        setattr(self, slot, value)

    def delete(self):
        setattr(self, slot, None)

    return property(read, write, delete)


for _name in _PUBLIC_ATTRIBUTE_NAMES:
    setattr(Scorebook, _name, _make_public_attribute(_name))
del _name


# ------------------------------------------------------------------ objectives
#
# Every objective but the per-bar "latest_cumprod_returns" scores the split's
# daily returns. Library globals are looked up when a score is computed.


def _latest_cumprod_returns(book):
    # The last per-bar cumulative product, read straight from the
    # accounting's array: no daily conversion, and no 1 subtracted.
    return book._cumprod_returns_after_transaction_costs_array[book._datetime_length - 2]


def _on_daily_returns(score):
    """The objective that applies ``score(book, daily_returns)`` to a split."""

    def objective(book):
        _, _, daily_returns_series, _ = book._get_daily_returns_series_and_length(
            book._starting_equity,
            book._total_pnl_after_transaction_costs_array,
            book._datetime_array,
        )
        # A split within one day (or whose only days are 0/0) has no daily
        # return: its score is NaN, rather than a Sharpe ratio of 0.0 that an
        # optimiser would rank like a real flat split.
        if len(daily_returns_series) == 0:
            return np.nan
        return score(book, daily_returns_series)

    return objective


def _activity(series):
    """Share of days with a non-zero return (days without bars count as zero)."""
    days_with_non_zero_returns = series != 0
    return np.sum(days_with_non_zero_returns) / len(series)


def _annual_sharpe_ratio(book, r):
    with np.errstate(divide="ignore", invalid="ignore"):
        sharpe_ratio = empyrical.sharpe_ratio(r)
    return 0.0 if np.isnan(sharpe_ratio) else sharpe_ratio


def _activity_weighted_annual_sharpe_ratio(book, r):
    with np.errstate(divide="ignore", invalid="ignore"):
        sharpe_ratio = empyrical.sharpe_ratio(r)
        activity_weighted_sharpe = sharpe_ratio * _activity(r)
    return 0.0 if np.isnan(sharpe_ratio) else activity_weighted_sharpe


def _daily_sharpe_ratio(book, r):
    deviation = np.std(r)
    return 0.0 if np.isclose(deviation, 0) else np.mean(r) / deviation


def _activity_weighted_daily_sharpe_ratio(book, r):
    deviation = np.std(r)
    if deviation != 0:
        daily_sharpe = np.mean(r) / deviation
        return _activity(r) * daily_sharpe
    return 0.0


def _annual_sortino_ratio(book, r):
    with np.errstate(divide="ignore", invalid="ignore"):
        sortino = empyrical.sortino_ratio(r)
    return 0.0 if np.isnan(sortino) else sortino


# The bootstrap objectives all score the path of the median ending value; the
# "25" names keep their historical meaning and also use it. They resample the
# daily returns there are (a 0/0 day has none).


def _median_bootstrap_paths(book, r):
    """The (daily returns, growth) lists of the median bootstrapped path; empty when none is found."""
    return book._get_bootstrapped_cumprod_daily_returns(len(r), r, [50])


def _bootstrapped_cumprod_returns(book, r):
    path = _median_bootstrap_paths(book, r)[1][0]
    return path[len(r) - 1] - 1


def _stability_weighted_bootstrapped_cumprod_returns(book, r):
    bootstrap_final_pct = _bootstrapped_cumprod_returns(book, r)
    with np.errstate(divide="ignore", invalid="ignore"):
        stability_of_returns = empyrical.stability_of_timeseries(r)
    objective_function = bootstrap_final_pct * stability_of_returns
    return -1.0 if np.isnan(objective_function) else objective_function


def _bootstrapped_activity_weighted_sharpe(book, r, stability_weighted):
    bootstrapped_returns = pd.Series(_median_bootstrap_paths(book, r)[0][0], index=r.index)
    values = bootstrapped_returns.values
    with np.errstate(divide="ignore", invalid="ignore"):
        sharpe_ratio = empyrical.sharpe_ratio(bootstrapped_returns)
        score = sharpe_ratio * (np.sum(values != 0) / len(values))
        if stability_weighted:
            score = score * empyrical.stability_of_timeseries(bootstrapped_returns)
    return 0.0 if np.isnan(score) else score


def _activity_weighted_annual_sharpe_from_bootstrapped_returns(book, r):
    return _bootstrapped_activity_weighted_sharpe(book, r, stability_weighted=False)


def _stability_activity_weighted_annual_sharpe_from_bootstrapped_returns(book, r):
    return _bootstrapped_activity_weighted_sharpe(book, r, stability_weighted=True)


# Objective name -> score of a split, in the order ``available_objectives`` lists them.
_OBJECTIVES = {
    "latest_cumprod_returns": _latest_cumprod_returns,
    "annual_sharpe_ratio": _on_daily_returns(_annual_sharpe_ratio),
    "activity_weighted_annual_sharpe_ratio": _on_daily_returns(_activity_weighted_annual_sharpe_ratio),
    "daily_sharpe_ratio": _on_daily_returns(_daily_sharpe_ratio),
    "activity_weighted_daily_sharpe_ratio": _on_daily_returns(_activity_weighted_daily_sharpe_ratio),
    "annual_sortino_ratio": _on_daily_returns(_annual_sortino_ratio),
    "median_boostrapped_cumprod_returns": _on_daily_returns(_bootstrapped_cumprod_returns),
    "25_percentile_boostrapped_cumprod_returns": _on_daily_returns(_bootstrapped_cumprod_returns),
    "stability_weighted_median_bootstrapped_cumprod_returns": _on_daily_returns(
        _stability_weighted_bootstrapped_cumprod_returns
    ),
    "stability_weighted_25_percentile_bootstrapped_cumprod_returns": _on_daily_returns(
        _stability_weighted_bootstrapped_cumprod_returns
    ),
    "activity_weighted_annual_sharpe_from_median_bootstrapped_returns": _on_daily_returns(
        _activity_weighted_annual_sharpe_from_bootstrapped_returns
    ),
    "activity_weighted_annual_sharpe_from_25_bootstrapped_returns": _on_daily_returns(
        _activity_weighted_annual_sharpe_from_bootstrapped_returns
    ),
    "stability_activity_weighted_annual_sharpe_from_median_bootstrapped_returns": _on_daily_returns(
        _stability_activity_weighted_annual_sharpe_from_bootstrapped_returns
    ),
    "stability_activity_weighted_annual_sharpe_from_25_bootstrapped_returns": _on_daily_returns(
        _stability_activity_weighted_annual_sharpe_from_bootstrapped_returns
    ),
}


import logging  # noqa: E402

from korvane._common.startup import configure_shared_logger  # noqa: E402

logger = configure_shared_logger()

import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402
import empyrical  # noqa: E402
import yfinance as yf  # noqa: E402
import seaborn as sns  # noqa: E402

sns.set_style("darkgrid")

from tabulate import tabulate  # noqa: E402
import matplotlib.pyplot as plt  # noqa: E402

plt.rcParams["figure.figsize"] = (14, 8)

from sklearn.utils import resample as bootstrapping_resample  # noqa: E402

Scorebook.available_objectives = list(_OBJECTIVES)

# The native bootstrap reproduces this very function's seeded stream; a caller
# who replaces `bootstrapping_resample` gets the plain loop over their function.
_sklearn_resample = bootstrapping_resample

Scorebook.__signature__ = _arguments.constructor_signature()
