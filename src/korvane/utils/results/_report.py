"""The report of one backtest split: its statistics table, the benchmark, and the plots.

The numeric, table and plotting libraries are looked up on the ``scorebook``
module at call time, like every operation of ``Scorebook``, so replacing one
of its globals changes the report too.
"""

import sys

from korvane._common.binding import check_type

_SCOREBOOK_MODULE = "korvane.utils.results.scorebook"
_BENCHMARK_TICKER = "VT"


def _globals(*names):
    """The named globals of the ``scorebook`` module, as they stand now."""
    module = sys.modules[_SCOREBOOK_MODULE]
    return tuple(getattr(module, name) for name in names)


class ReportMixin:
    """Statistics table, train-set extrapolations and plots of a ``Scorebook``."""

    __slots__ = ()

    # ------------------------------------------------------------ statistics

    def get_full_results(self, name="train_results"):
        """The statistics table: this split, and with a registered test split
        also the test split and both splits joined."""
        check_type(name, str, name="name")
        self._fill_statistics_table(name)
        return self.full_results_df

    def _fill_statistics_table(self, column):
        """Set ``full_results_df``: this split's statistics under `column`, then
        with a registered test split the test split's and both splits' joined.

        Returns this split's per-bar pnl series and the daily returns of the
        whole in-sample history (this split's alone without a test split).
        """
        (pd,) = _globals("pd")
        pnl_series, daily_returns_series, _, results_dict = self._own_daily_statistics()
        self.full_results_df = pd.DataFrame.from_dict(results_dict, orient="index", columns=[column])
        if self.test_full_results_df.empty:
            return pnl_series, daily_returns_series
        self.full_results_df = self.full_results_df.merge(
            self.test_full_results_df, how="inner", left_index=True, right_index=True
        )
        _, combined_daily_returns_series, _, full_in_sample_results_df = self._combined_in_sample_results(pnl_series)
        self.full_results_df = self.full_results_df.merge(
            full_in_sample_results_df, how="inner", left_index=True, right_index=True
        )
        return pnl_series, combined_daily_returns_series

    def _own_daily_statistics(self):
        """This split's per-bar pnl series, daily returns, day count and statistics."""
        return self._daily_statistics(
            self._total_pnl_after_transaction_costs_array,
            self._datetime_array,
            self._securities_pnl_matrix_array,
            self._slippage_matrix_array,
            self._commissions_matrix_array,
            self._total_pnl_after_transaction_costs_array,
        )

    def _daily_statistics(self, pnl_array, datetime_array, *money_arrays):
        """Daily series of a pnl history from this object's starting equity, and
        its statistics column: (per-bar pnl series, daily returns, number of
        days, statistics dictionary).

        `money_arrays` are the securities' pnl, the slippage, the commissions
        and the pnl after costs whose sums the statistics report.
        """
        (
            total_pnl_after_transaction_costs_series,
            daily_equity_series,
            daily_returns_series,
            length_of_datetime_index,
        ) = self._get_daily_returns_series_and_length(self._starting_equity, pnl_array, datetime_array)
        first_date_of_equity, last_date_of_equity = _first_and_last_day(daily_equity_series, length_of_datetime_index)
        results_dict = self._generate_results_dict(
            daily_equity_series,
            daily_returns_series,
            length_of_datetime_index,
            first_date_of_equity,
            last_date_of_equity,
            *money_arrays,
        )
        return (
            total_pnl_after_transaction_costs_series,
            daily_returns_series,
            length_of_datetime_index,
            results_dict,
        )

    def _combined_in_sample_results(self, total_pnl_after_transaction_costs_series):
        return self._get_results_from_both_train_and_test_set(
            total_pnl_after_transaction_costs_series,
            self.test_total_pnl_after_transaction_costs_series,
            self._securities_pnl_matrix_array,
            self.test_securities_pnl_matrix_df.values,
            self._slippage_matrix_array,
            self.test_slippage_matrix_df.values,
            self._commissions_matrix_array,
            self.test_commissions_matrix_df.values,
            self._total_pnl_after_transaction_costs_array,
            self.test_total_pnl_after_transaction_costs_series.values,
        )

    def _get_results_from_both_train_and_test_set(
        self,
        train_daily_total_pnl_after_transaction_costs_series,
        test_total_pnl_after_transaction_costs_series,
        train_securities_pnl_matrix_array,
        test_securities_pnl_matrix_array,
        train_slippage_matrix_array,
        test_slippage_matrix_array,
        train_commissions_matrix_array,
        test_commissions_matrix_array,
        train_total_pnl_after_transaction_costs_array,
        test_total_pnl_after_transaction_costs_array,
    ):
        """Statistics of the train and test splits taken as one daily history."""
        np, pd = _globals("np", "pd")
        if self.test_full_results_df.empty:
            combined_pnl_series = train_daily_total_pnl_after_transaction_costs_series
        else:
            combined_pnl_series = pd.concat(
                [
                    train_daily_total_pnl_after_transaction_costs_series,
                    test_total_pnl_after_transaction_costs_series.resample("1D").sum(),
                ]
            )
        (
            combined_pnl_series,
            combined_daily_returns_series,
            length_of_datetime_index,
            results_dict,
        ) = self._daily_statistics(
            np.asarray(combined_pnl_series.values, dtype=np.float64),
            combined_pnl_series.index.values,
            np.append(train_securities_pnl_matrix_array, test_securities_pnl_matrix_array),
            np.append(train_slippage_matrix_array, test_slippage_matrix_array),
            np.append(train_commissions_matrix_array, test_commissions_matrix_array),
            np.append(
                train_total_pnl_after_transaction_costs_array,
                test_total_pnl_after_transaction_costs_array,
            ),
        )
        full_in_sample_results_df = pd.DataFrame.from_dict(
            results_dict, orient="index", columns=["full_in_sample_results"]
        )
        return (
            combined_pnl_series,
            combined_daily_returns_series,
            length_of_datetime_index,
            full_in_sample_results_df,
        )

    def _generate_results_dict(
        self,
        daily_equity_series,
        daily_returns_series,
        length_of_datetime_index,
        first_date_of_equity,
        last_date_of_equity,
        securities_pnl_matrix_array,
        slippage_matrix_array,
        commissions_matrix_array,
        total_pnl_after_transaction_costs_array,
    ):
        """One column of the statistics table, against the "VT" benchmark."""
        np, pd, empyrical = _globals("np", "pd", "empyrical")
        r = daily_returns_series
        benchmark_returns_series = _benchmark_daily_returns(
            r, first_date_of_equity, last_date_of_equity
        )
        with np.errstate(divide="ignore", invalid="ignore"):
            if benchmark_returns_series is None:
                joined = None
            else:
                joined = pd.merge(
                    pd.DataFrame({"benchmark": benchmark_returns_series}),
                    pd.DataFrame({"strategy": r}),
                    how="inner",
                    left_index=True,
                    right_index=True,
                )
            if joined is None or joined.empty:
                alpha, beta = np.nan, np.nan
            else:
                alpha, beta = empyrical.alpha_beta(joined["strategy"], joined["benchmark"])

            # Statistics of a split too short to have any daily return are
            # not defined.
            has_returns = len(r) > 0
            deviation = np.std(r) if has_returns else np.nan
            if not has_returns:
                daily_sharpe = np.nan
            elif np.isclose(deviation, 0):
                daily_sharpe = 0.0
            else:
                daily_sharpe = np.mean(r) / deviation

            def statistic(function):
                return round(function(r), 5) if has_returns else np.nan

            # An empty split has no day and so no ending equity.
            if length_of_datetime_index == 0:
                ending_equity = np.nan
            else:
                ending_equity = int(daily_equity_series.iloc[length_of_datetime_index - 1])
            return {
                "annual_returns": statistic(empyrical.annual_return),
                "annual_volatility": statistic(empyrical.annual_volatility),
                "annual_sharpe_ratio": statistic(empyrical.sharpe_ratio),
                "annnual_sortino_ratio": statistic(empyrical.sortino_ratio),
                "annual_alpha": round(alpha, 5),
                "annual_beta": round(beta, 5),
                "daily_returns_series": statistic(np.mean),
                "daily_volatility": round(deviation, 5),
                "daily_sharpe": round(daily_sharpe, 5),
                "max_drawdown": statistic(empyrical.max_drawdown),
                "stability_of_timeseries": statistic(empyrical.stability_of_timeseries),
                "tail_ratio": statistic(empyrical.tail_ratio),
                "value_at_risk": statistic(empyrical.value_at_risk),
                "ending_equity": ending_equity,
                "gross_pnl": int(np.sum(securities_pnl_matrix_array)),
                "total_slippage": int(np.sum(slippage_matrix_array)),
                "total_commission": int(np.sum(commissions_matrix_array)),
                "net_pnl": int(np.sum(total_pnl_after_transaction_costs_array)),
            }

    # -------------------------------------------------------- extrapolations

    def _get_extrapolations_from_train_set(
        self, complete_in_sample_daily_returns_series, train_datetime_index
    ):
        """Growth line at the train days' mean daily return, with a band of two
        standard deviations widening with the square root of the day count."""
        np, pd = _globals("np", "pd")
        x = list(range(len(complete_in_sample_daily_returns_series)))
        n = len(train_datetime_index)
        window_start = train_datetime_index[0] - pd.Timedelta(days=1)
        window_end = train_datetime_index[n - 1]
        window = complete_in_sample_daily_returns_series.loc[window_start:window_end]
        with np.errstate(divide="ignore", invalid="ignore"):
            mean = np.mean(window)
            deviation = np.std(window)
        straight_line_extrapolation_from_train_set = mean * np.array(x) + 1
        upper_bound_2sd_extrapolation_from_train_set = (
            2 * np.sqrt(x) * deviation + straight_line_extrapolation_from_train_set
        )
        lower_bound_2sd_extrapolation_from_train_set = (
            -2 * np.sqrt(x) * deviation + straight_line_extrapolation_from_train_set
        )
        return (
            np.asarray(straight_line_extrapolation_from_train_set, dtype=np.float64),
            np.asarray(upper_bound_2sd_extrapolation_from_train_set, dtype=np.float64),
            np.asarray(lower_bound_2sd_extrapolation_from_train_set, dtype=np.float64),
        )

    # ----------------------------------------------------------------- report

    def plot_full_results(self, plot_alternate_paths=True, plot_extrapolations=True):
        """Print the statistics table and draw the equity curves of the split
        (and of a registered test split), with the train-set extrapolations
        and the worst and best bootstrapped alternate paths."""
        tabulate, plt = _globals("tabulate", "plt")
        has_test_split = not self.test_full_results_df.empty
        (
            total_pnl_after_transaction_costs_series,
            complete_in_sample_daily_returns_series,
        ) = self._fill_statistics_table("train_set_results" if has_test_split else "results")

        cumprod_complete_in_sample_daily_returns_series = (
            1 + complete_in_sample_daily_returns_series
        ).cumprod()
        complete_in_sample_datetime_index = complete_in_sample_daily_returns_series.index

        train_datetime_index = total_pnl_after_transaction_costs_series.resample("1D").last().index
        if has_test_split:
            test_datetime_index = (
                self.test_total_pnl_after_transaction_costs_series.resample("1D").last().index
            )
            train_datetime_index = train_datetime_index.append(test_datetime_index[0:1])

        # The bootstrap resamples the returns actually present: a dropped 0/0
        # day shortens them, and the paths are drawn over their real length.
        has_returns = len(complete_in_sample_daily_returns_series) > 0
        alternate_paths = [None, None]
        if has_returns:
            alternate_paths = self._bootstrap_percentile_paths(
                len(complete_in_sample_daily_returns_series),
                complete_in_sample_daily_returns_series,
                [5, 95],
            )
        extrapolations = None
        if has_returns and len(train_datetime_index) > 0:
            extrapolations = self._get_extrapolations_from_train_set(
                complete_in_sample_daily_returns_series, train_datetime_index
            )

        print(tabulate(self.full_results_df, headers="keys", tablefmt="psql"))

        if plot_extrapolations and extrapolations is not None:
            _plot_extrapolations(complete_in_sample_datetime_index, extrapolations)
        _plot_equity_curves(
            cumprod_complete_in_sample_daily_returns_series, train_datetime_index, has_test_split
        )
        if plot_alternate_paths:
            _plot_alternate_paths(complete_in_sample_datetime_index, alternate_paths)
        plt.legend()
        plt.show()


def _plot_extrapolations(dates, extrapolations):
    (plt,) = _globals("plt")
    straight_line, upper_bound, lower_bound = extrapolations
    for values, label, color in (
        (upper_bound, "upper_bound_2sd_extrapolation_from_train_set", "darkgreen"),
        (lower_bound, "lower_bound_2sd_extrapolation_from_train_set", "darkred"),
        (straight_line, "straight_line_extrapolation_from_train_set", "black"),
    ):
        plt.plot(dates, values, label=label, color=color, alpha=0.5, linestyle="--")


def _plot_equity_curves(growth_series, train_datetime_index, has_test_split):
    """The train curve and, after it, the test curve of the in-sample growth.

    Each growth value is drawn on its own day. The train curve runs to the
    first test day, where the test curve starts, so the two join.
    """
    pd, plt = _globals("pd", "plt")
    if len(train_datetime_index) > 0:
        start_of_train_datetime_index = train_datetime_index[0] - pd.Timedelta(days=1)
        end_of_train_datetime_index = train_datetime_index[len(train_datetime_index) - 1]
        train_values = growth_series.loc[start_of_train_datetime_index:end_of_train_datetime_index]
    else:
        end_of_train_datetime_index = None
        train_values = growth_series.iloc[0:0]
    plt.plot(train_values.index, train_values.values, label="train_set_cumprod_equity_curve", color="blue", alpha=1)
    if has_test_split:
        test_values = growth_series.loc[end_of_train_datetime_index:]
        plt.plot(test_values.index, test_values.values, label="test_set_cumprod_equity_curve", color="purple", alpha=1)


def _plot_alternate_paths(dates, alternate_paths):
    for paths, label, color in (
        (alternate_paths[0], "worst_outcome_alternate_path", "red"),
        (alternate_paths[1], "best_outcome_alternate_path", "green"),
    ):
        if paths is not None:
            _plot_by_position(dates, paths[1], label=label, color=color, alpha=0.33)


def _first_and_last_day(daily_equity_series, length_of_datetime_index):
    """The first and last day labels of the daily equity (None for an empty split)."""
    if length_of_datetime_index == 0:
        return None, None
    index = daily_equity_series.index
    return index[0], index[length_of_datetime_index - 1]


def _plot_by_position(dates, values, **keywords):
    np, plt = _globals("np", "plt")
    count = min(len(dates), len(values))
    plt.plot(dates[:count], np.asarray(values)[:count], **keywords)


def _benchmark_daily_returns(daily_returns_series, first_date_of_equity, last_date_of_equity):
    """Daily returns of the benchmark fund over the split's days, or None.

    Weekends and holidays carry a benchmark return of 0. When the download
    fails or brings no data, one warning is logged and None is returned, so
    that only alpha and beta go without a value. A split without daily returns
    has nothing to compare and downloads nothing.
    """
    np, pd, yf, logger = _globals("np", "pd", "yf", "logger")
    if len(daily_returns_series) == 0:
        return None
    period = f"{first_date_of_equity} to {last_date_of_equity}"
    try:
        downloaded = yf.download(
            _BENCHMARK_TICKER, start=first_date_of_equity, end=last_date_of_equity, progress=False
        )
        if downloaded is None or len(downloaded) == 0:
            logger.warning(
                'Benchmark "%s" download returned no data for %s; annual_alpha and annual_beta '
                "are NaN",
                _BENCHMARK_TICKER,
                period,
            )
            return None
        close = downloaded["Close"]
    except Exception as error:  # noqa: BLE001 - a missing benchmark must not sink the report
        reason = " ".join(f"{type(error).__name__}: {error}".split())
        logger.warning(
            'Benchmark "%s" download failed for %s (%s); annual_alpha and annual_beta are NaN',
            _BENCHMARK_TICKER,
            period,
            reason,
        )
        return None
    if isinstance(close, pd.DataFrame):
        # yfinance 1.x keeps a ticker level even for a single ticker.
        close = close[_BENCHMARK_TICKER] if _BENCHMARK_TICKER in close.columns else close.iloc[:, 0]
    close = close.astype(np.float64)
    if getattr(close.index, "tz", None) is not None:
        close.index = close.index.tz_localize(None)
    benchmark_returns = (close / close.shift(1) - 1).dropna()
    return benchmark_returns.resample("1D").first().fillna(0)
