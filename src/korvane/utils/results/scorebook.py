"""Results of one backtest split: statistics, bootstrapped paths, objective scores and plots.

Module globals (``np``, ``pd``, ``empyrical``, ``yf``, ``tabulate``, ``plt``,
``bootstrapping_resample``) are looked up at call time by ``Scorebook``'s
operations, so replacing one on this module changes later calls.
"""

from korvane._common.binding import RefusesPickling

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
_BENCHMARK_TICKER = "VT"


class Scorebook(RefusesPickling):
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

        check_exact_type("securities_names_list", arguments["securities_names_list"], list)
        for name in _arguments.BACKTEST_ARRAYS_NAMES[3:]:
            _arguments.check_argument_type(name, arguments[name], np.ndarray, "numpy.ndarray")
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
        _arguments.check_argument_type("objective", objective, str, "str")
        try:
            return float(self._compute_objective_score(objective))
        except Exception as error:  # noqa: BLE001 - every scoring failure scores 0.0
            _kernels.write_unraisable(error, _OBJECTIVE_SCORE_CONTEXT)
            return 0.0

    def _compute_objective_score(self, objective):
        available_objectives = self.available_objectives
        if not isinstance(available_objectives, list):
            raise TypeError(
                "available_objectives must be a list, not " + type(available_objectives).__name__
            )
        if objective not in available_objectives:
            raise Exception("Objective specified is not available")
        if objective != "latest_cumprod_returns" and objective not in _OBJECTIVE_BRANCHES:
            raise Exception("Objective specified is not available")

        # A split of fewer than two bars earns no return to score.
        if self._datetime_length < 2:
            return np.nan
        if self._is_bankrupt():
            return -np.inf

        if objective == "latest_cumprod_returns":
            # The last per-bar cumulative product, read straight from the
            # accounting's array: no daily conversion, and no 1 subtracted.
            return self._cumprod_returns_after_transaction_costs_array[self._datetime_length - 2]

        _, _, daily_returns_series, _ = (
            self._get_daily_returns_series_and_length(
                self._starting_equity,
                self._total_pnl_after_transaction_costs_array,
                self._datetime_array,
            )
        )
        r = daily_returns_series
        # A split within one day (or whose only days are 0/0) has no daily
        # return: its statistics are NaN, and so is its score under every
        # objective built on daily returns, rather than a Sharpe ratio of 0.0
        # that an optimiser would rank like a real flat split.
        if len(r) == 0:
            return np.nan

        if objective == "annual_sortino_ratio":
            with np.errstate(divide="ignore", invalid="ignore"):
                sortino = empyrical.sortino_ratio(r)
            return 0.0 if np.isnan(sortino) else sortino
        if objective == "annual_sharpe_ratio":
            with np.errstate(divide="ignore", invalid="ignore"):
                sharpe_ratio = empyrical.sharpe_ratio(r)
            return 0.0 if np.isnan(sharpe_ratio) else sharpe_ratio
        if objective == "activity_weighted_annual_sharpe_ratio":
            with np.errstate(divide="ignore", invalid="ignore"):
                sharpe_ratio = empyrical.sharpe_ratio(r)
                activity_weighted_sharpe = sharpe_ratio * _activity(r)
            return 0.0 if np.isnan(sharpe_ratio) else activity_weighted_sharpe
        if objective == "daily_sharpe_ratio":
            deviation = np.std(r)
            return 0.0 if np.isclose(deviation, 0) else np.mean(r) / deviation
        if objective == "activity_weighted_daily_sharpe_ratio":
            deviation = np.std(r)
            if deviation != 0:
                daily_sharpe = np.mean(r) / deviation
                return _activity(r) * daily_sharpe
            return 0.0

        # The bootstrap objectives all score the path of the median ending
        # value; the "25" names keep their historical meaning and also use it.
        # They resample the daily returns there are (a 0/0 day has none).
        path_length = len(r)
        bootstrapped_daily_returns_list, bootstrapped_cumprod_daily_returns_list = (
            self._get_bootstrapped_cumprod_daily_returns(path_length, r, [50])
        )
        if objective in (
            "median_boostrapped_cumprod_returns",
            "25_percentile_boostrapped_cumprod_returns",
            "stability_weighted_median_bootstrapped_cumprod_returns",
            "stability_weighted_25_percentile_bootstrapped_cumprod_returns",
        ):
            path = bootstrapped_cumprod_daily_returns_list[0]
            bootstrap_final_pct = path[path_length - 1] - 1
            if objective in (
                "median_boostrapped_cumprod_returns",
                "25_percentile_boostrapped_cumprod_returns",
            ):
                return bootstrap_final_pct
            with np.errstate(divide="ignore", invalid="ignore"):
                stability_of_returns = empyrical.stability_of_timeseries(r)
            objective_function = bootstrap_final_pct * stability_of_returns
            return -1.0 if np.isnan(objective_function) else objective_function

        bootstrapped_returns = pd.Series(bootstrapped_daily_returns_list[0], index=r.index)
        values = bootstrapped_returns.values
        with np.errstate(divide="ignore", invalid="ignore"):
            sharpe_ratio = empyrical.sharpe_ratio(bootstrapped_returns)
            activity_weighted_sharpe = sharpe_ratio * (np.sum(values != 0) / len(values))
            if objective in (
                "activity_weighted_annual_sharpe_from_median_bootstrapped_returns",
                "activity_weighted_annual_sharpe_from_25_bootstrapped_returns",
            ):
                score = activity_weighted_sharpe
            else:
                score = activity_weighted_sharpe * empyrical.stability_of_timeseries(
                    bootstrapped_returns
                )
        return 0.0 if np.isnan(score) else score

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

    # ------------------------------------------------------------ statistics

    def get_full_results(self, name="train_results"):
        """The statistics table: this split, and with a registered test split
        also the test split and both splits joined."""
        _arguments.check_argument_type("name", name, str, "str")
        total_pnl_after_transaction_costs_series, _, _, results_dict = self._own_daily_statistics()
        self.full_results_df = pd.DataFrame.from_dict(results_dict, orient="index", columns=[name])
        if self.test_full_results_df.empty:
            return self.full_results_df
        self.full_results_df = self.full_results_df.merge(
            self.test_full_results_df, how="inner", left_index=True, right_index=True
        )
        full_in_sample_results_df = self._combined_in_sample_results(
            total_pnl_after_transaction_costs_series
        )[3]
        self.full_results_df = self.full_results_df.merge(
            full_in_sample_results_df, how="inner", left_index=True, right_index=True
        )
        return self.full_results_df

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

    def _daily_statistics(
        self,
        pnl_array,
        datetime_array,
        securities_pnl_matrix_array,
        slippage_matrix_array,
        commissions_matrix_array,
        total_pnl_after_transaction_costs_array,
    ):
        """Daily series of a pnl history from this object's starting equity, and
        its statistics column: (per-bar pnl series, daily returns, number of
        days, statistics dictionary)."""
        (
            total_pnl_after_transaction_costs_series,
            daily_equity_series,
            daily_returns_series,
            length_of_datetime_index,
        ) = self._get_daily_returns_series_and_length(
            self._starting_equity, pnl_array, datetime_array
        )
        first_date_of_equity, last_date_of_equity = _first_and_last_day(
            daily_equity_series, length_of_datetime_index
        )
        results_dict = self._generate_results_dict(
            daily_equity_series,
            daily_returns_series,
            length_of_datetime_index,
            first_date_of_equity,
            last_date_of_equity,
            securities_pnl_matrix_array,
            slippage_matrix_array,
            commissions_matrix_array,
            total_pnl_after_transaction_costs_array,
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
        check_exact_type("percentiles", percentiles, list)
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

    # -------------------------------------------------------- extrapolations

    def _get_extrapolations_from_train_set(
        self, complete_in_sample_daily_returns_series, train_datetime_index
    ):
        """Growth line at the train days' mean daily return, with a band of two
        standard deviations widening with the square root of the day count."""
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
        (
            total_pnl_after_transaction_costs_series,
            daily_returns_series,
            _,
            results_dict,
        ) = self._own_daily_statistics()
        has_test_split = not self.test_full_results_df.empty
        if has_test_split:
            self.full_results_df = pd.DataFrame.from_dict(
                results_dict, orient="index", columns=["train_set_results"]
            )
            self.full_results_df = self.full_results_df.merge(
                self.test_full_results_df, how="inner", left_index=True, right_index=True
            )
            (
                _,
                complete_in_sample_daily_returns_series,
                _,
                full_in_sample_results_df,
            ) = self._combined_in_sample_results(total_pnl_after_transaction_costs_series)
            self.full_results_df = self.full_results_df.merge(
                full_in_sample_results_df, how="inner", left_index=True, right_index=True
            )
        else:
            self.full_results_df = pd.DataFrame.from_dict(
                results_dict, orient="index", columns=["results"]
            )
            complete_in_sample_daily_returns_series = daily_returns_series

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
            straight_line, upper_bound, lower_bound = extrapolations
            for values, label, color in (
                (upper_bound, "upper_bound_2sd_extrapolation_from_train_set", "darkgreen"),
                (lower_bound, "lower_bound_2sd_extrapolation_from_train_set", "darkred"),
                (straight_line, "straight_line_extrapolation_from_train_set", "black"),
            ):
                plt.plot(
                    complete_in_sample_datetime_index,
                    values,
                    label=label,
                    color=color,
                    alpha=0.5,
                    linestyle="--",
                )

        # Each growth value is drawn on its own day. The train curve runs to the
        # first test day, where the test curve starts, so the two join.
        if len(train_datetime_index) > 0:
            start_of_train_datetime_index = train_datetime_index[0] - pd.Timedelta(days=1)
            end_of_train_datetime_index = train_datetime_index[len(train_datetime_index) - 1]
            train_values = cumprod_complete_in_sample_daily_returns_series.loc[
                start_of_train_datetime_index:end_of_train_datetime_index
            ]
        else:
            end_of_train_datetime_index = None
            train_values = cumprod_complete_in_sample_daily_returns_series.iloc[0:0]
        plt.plot(
            train_values.index,
            train_values.values,
            label="train_set_cumprod_equity_curve",
            color="blue",
            alpha=1,
        )
        if has_test_split:
            test_values = cumprod_complete_in_sample_daily_returns_series.loc[
                end_of_train_datetime_index:
            ]
            plt.plot(
                test_values.index,
                test_values.values,
                label="test_set_cumprod_equity_curve",
                color="purple",
                alpha=1,
            )

        if plot_alternate_paths:
            for paths, label, color in (
                (alternate_paths[0], "worst_outcome_alternate_path", "red"),
                (alternate_paths[1], "best_outcome_alternate_path", "green"),
            ):
                if paths is None:
                    continue
                _plot_by_position(
                    complete_in_sample_datetime_index, paths[1], label=label, color=color, alpha=0.33
                )

        plt.legend()
        plt.show()


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


def _activity(series):
    """Share of days with a non-zero return (days without bars count as zero)."""
    days_with_non_zero_returns = series != 0
    return np.sum(days_with_non_zero_returns) / len(series)


def _first_and_last_day(daily_equity_series, length_of_datetime_index):
    """The first and last day labels of the daily equity (None for an empty split)."""
    if length_of_datetime_index == 0:
        return None, None
    index = daily_equity_series.index
    return index[0], index[length_of_datetime_index - 1]


def _plot_by_position(dates, values, **keywords):
    count = min(len(dates), len(values))
    plt.plot(dates[:count], np.asarray(values)[:count], **keywords)


def _benchmark_daily_returns(daily_returns_series, first_date_of_equity, last_date_of_equity):
    """Daily returns of the benchmark fund over the split's days, or None.

    Weekends and holidays carry a benchmark return of 0. When the download
    fails or brings no data, one warning is logged and None is returned, so
    that only alpha and beta go without a value. A split without daily returns
    has nothing to compare and downloads nothing.
    """
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


_OBJECTIVE_BRANCHES = frozenset(
    (
        "annual_sortino_ratio",
        "annual_sharpe_ratio",
        "activity_weighted_annual_sharpe_ratio",
        "daily_sharpe_ratio",
        "activity_weighted_daily_sharpe_ratio",
        "median_boostrapped_cumprod_returns",
        "25_percentile_boostrapped_cumprod_returns",
        "stability_weighted_median_bootstrapped_cumprod_returns",
        "stability_weighted_25_percentile_bootstrapped_cumprod_returns",
        "activity_weighted_annual_sharpe_from_median_bootstrapped_returns",
        "activity_weighted_annual_sharpe_from_25_bootstrapped_returns",
        "stability_activity_weighted_annual_sharpe_from_median_bootstrapped_returns",
        "stability_activity_weighted_annual_sharpe_from_25_bootstrapped_returns",
    )
)


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

Scorebook.available_objectives = [
    "latest_cumprod_returns",
    "annual_sharpe_ratio",
    "activity_weighted_annual_sharpe_ratio",
    "daily_sharpe_ratio",
    "activity_weighted_daily_sharpe_ratio",
    "annual_sortino_ratio",
    "median_boostrapped_cumprod_returns",
    "25_percentile_boostrapped_cumprod_returns",
    "stability_weighted_median_bootstrapped_cumprod_returns",
    "stability_weighted_25_percentile_bootstrapped_cumprod_returns",
    "activity_weighted_annual_sharpe_from_median_bootstrapped_returns",
    "activity_weighted_annual_sharpe_from_25_bootstrapped_returns",
    "stability_activity_weighted_annual_sharpe_from_median_bootstrapped_returns",
    "stability_activity_weighted_annual_sharpe_from_25_bootstrapped_returns",
]

# The native bootstrap reproduces this very function's seeded stream; a caller
# who replaces `bootstrapping_resample` gets the plain loop over their function.
_sklearn_resample = bootstrapping_resample

from korvane import _kernels  # noqa: E402
from korvane._common.binding import as_double, as_signed_size, check_exact_type  # noqa: E402
from korvane.utils.results import _arguments  # noqa: E402
from korvane.utils.results import _scorebook  # noqa: E402

Scorebook.__signature__ = _arguments.constructor_signature()
