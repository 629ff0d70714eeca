"""One backtest run end to end: parameters, splits, trade tables, results and log lines.

The runs use the real constructor, signal engine and results object on a
synthetic cointegrated universe; only the classifier check is replaced where a
test needs a classifier.
"""

import logging
import sys

import numpy as np
import optuna
import pytest

from korvane._common.synthetic_universe import TRADING_PARAMS, universe_table
from korvane.factors.technical.pairtrader import PairsTradingSerialCointegrationFactor
from korvane.utils.results.scorebook import Scorebook
from reference import accounting_reference as ref
from factor.accounting.run_stand_ins import PARAMS, build_factor

SUFFIX = " | PAIRS TRADING SERIAL COINTEGRATION FACTOR 60"
BARS_PER_DAY = 24
RUN_PARAMS = dict(
    PARAMS,
    size_of_rolling_windows=20 * BARS_PER_DAY,
    starting_sd_for_position_entry=1,
    take_profit_std_multiplier=2.0,
    stop_loss_std_multiplier=3.0,
    time_stop_halflife_multiplier=3.0,
)
ARRAY_NAMES = ref.ARRAY_NAMES


@pytest.fixture(scope="module")
def universe():
    return universe_table(n_securities=3, n_bars=BARS_PER_DAY * 400, freq="1h", seed=1)


@pytest.fixture
def factor(universe):
    return PairsTradingSerialCointegrationFactor(
        "synthetic", universe, 60, [], False, objective="latest_cumprod_returns", securities_names_list=[]
    )


@pytest.fixture
def built_books(monkeypatch):
    """Every results object a run builds, in order (the real class, recorded)."""
    from korvane.factors.technical._factor.globals import pm

    built = []

    class RecordedScorebook(Scorebook):
        __slots__ = ()

        def __init__(self, *args, **kwargs):
            super().__init__(*args, **kwargs)
            built.append(self)

    monkeypatch.setattr(pm(), "Scorebook", RecordedScorebook)
    return built


def run(factor, *args, **kwargs):
    return factor.__run_pairs_trading_serial_cointegration_factor(*args, **kwargs)


def messages(caplog):
    return [r.getMessage() for r in caplog.records if r.name == " " and r.levelno == logging.INFO]


def trial_with(params, earlier_trials=0):
    study = optuna.create_study(direction="maximize")
    for _ in range(earlier_trials):
        study.ask()
    study.enqueue_trial(params)
    return study.ask()


def train_end(factor, params):
    w = params["size_of_rolling_windows"]
    return w + int(float(factor._datetime_length - w) * factor._train_split_ratio)


def assert_split_accounted(factor, book, start, stop):
    """The results object holds the native accounting of bars [start, stop)."""
    np.testing.assert_array_equal(book._datetime_array, factor._data_datetime_array[start:stop])
    assert book._datetime_length == stop - start
    assert book._securities_names_list is factor._securities_names_list
    want = ref.account_split(
        factor._raw_positions_matrix_array[start:stop],
        factor._close_columns_only_data_matrix_array[start:stop],
        factor._estimated_proportional_slippage_array,
        factor._starting_equity, factor._pct_equity_invested, factor._scale_equity_to_traded_securities,
        factor._market_value_pct_commissions, factor._bid_ask_spread_pct_slippage, stop - start,
    )
    for name in ARRAY_NAMES:
        np.testing.assert_allclose(getattr(book, "_" + name), want[name], rtol=1e-12, atol=0, err_msg=name)


class TestOptimisingRun:
    def test_scores_the_train_part_and_logs_two_lines(self, factor, built_books, caplog):
        caplog.set_level(logging.INFO, logger=" ")
        trial = trial_with(RUN_PARAMS)
        score = run(factor, trial)
        [train] = built_books
        assert type(score) is float and score == train.get_objective_score(objective="latest_cumprod_returns")
        assert_split_accounted(factor, train, RUN_PARAMS["size_of_rolling_windows"], train_end(factor, RUN_PARAMS))
        n = str(trial._trial_id - 1)
        assert messages(caplog) == [
            "RUNNING TRIAL NUM " + n + " TO OPTIMISE PARAMETERS IN-SAMPLE" + SUFFIX,
            "FINISHED TRIAL NUM " + n + " WITH OBJECTIVE SCORE: " + str(round(score, 3)) + SUFFIX + "\n",
        ]
        assert factor._rarAV_optimal_entry_ready is False

    def test_trial_number_and_score_rounding_in_the_log(self, factor, caplog, monkeypatch):
        caplog.set_level(logging.INFO, logger=" ")
        monkeypatch.setattr(Scorebook, "get_objective_score", lambda self, objective: 1.23456)
        trial = trial_with(RUN_PARAMS, earlier_trials=7)
        assert trial._trial_id == 7
        assert run(factor, trial) == 1.23456
        assert messages(caplog) == [
            "RUNNING TRIAL NUM 6 TO OPTIMISE PARAMETERS IN-SAMPLE" + SUFFIX,
            "FINISHED TRIAL NUM 6 WITH OBJECTIVE SCORE: 1.235" + SUFFIX + "\n",
        ]


class TestRunWithGivenParameters:
    def test_returns_train_results_with_the_test_results_registered(self, factor, built_books, caplog):
        caplog.set_level(logging.INFO, logger=" ")
        results = run(factor, None, False, dict(RUN_PARAMS))
        train, test = built_books
        assert results is train
        w, s = RUN_PARAMS["size_of_rolling_windows"], train_end(factor, RUN_PARAMS)
        assert_split_accounted(factor, train, w, s)
        assert_split_accounted(factor, test, s, factor._datetime_length)
        assert list(results.test_full_results_df.columns) == ["test_set_results"]
        assert results.equity_value_series is not None  # tables exposed
        assert results.test_equity_value_series.index[0] == factor._data_datetime_array[s]
        train_score = train.get_objective_score(objective="latest_cumprod_returns")
        test_score = test.get_objective_score(objective="latest_cumprod_returns")
        assert messages(caplog) == [
            "RUNNING AN IN-SAMPLE RUN WITH OPTIMAL PARAMS" + SUFFIX,
            "FINISHED IN-SAMPLE TRAIN RUN WITH OBJECTIVE SCORE: " + str(round(train_score, 3)) + SUFFIX,
            "FINISHED IN-SAMPLE TEST RUN WITH OBJECTIVE SCORE: " + str(round(test_score, 3)) + SUFFIX + "\n",
        ]

    def test_bad_parameters(self, factor):
        with pytest.raises(TypeError, match=r"expected dict, got str"):
            run(factor, None, False, "params")
        with pytest.raises(TypeError):
            run(factor, None, False, None)
        with pytest.raises(KeyError):
            run(factor, None, False, {})
        with pytest.raises(TypeError):
            run(factor, None, False, dict(RUN_PARAMS, size_of_rolling_windows=480.0))

    def test_full_train_ratio_leaves_an_empty_test_part(self, universe, built_books, caplog, monkeypatch):
        # The default (bootstrap) objective: the empty test part scores NaN
        # without a report, and its statistics are NaN.
        reports = []
        monkeypatch.setattr(sys, "unraisablehook", reports.append)
        caplog.set_level(logging.INFO, logger=" ")
        factor = PairsTradingSerialCointegrationFactor("synthetic", universe, 60, [], False, train_split_ratio=1.0)
        results = run(factor, None, False, dict(RUN_PARAMS))
        train, test = built_books
        assert train._datetime_length == factor._datetime_length - RUN_PARAMS["size_of_rolling_windows"]
        assert test._datetime_length == 0 and test._returns_after_transaction_costs_array.shape == (0,)
        assert results is train
        assert reports == []
        assert messages(caplog)[-1] == "FINISHED IN-SAMPLE TEST RUN WITH OBJECTIVE SCORE: nan" + SUFFIX + "\n"
        statistics = results.test_full_results_df["test_set_results"]
        assert statistics[["annual_returns", "annual_sharpe_ratio", "max_drawdown", "ending_equity"]].isna().all()

    def test_nan_spread_is_charged_as_zero_with_one_warning(self, factor, built_books, caplog):
        caplog.set_level(logging.INFO, logger=" ")
        factor._estimated_proportional_slippage_array = np.array([0.002, np.nan, 0.003])
        run(factor, None, False, dict(RUN_PARAMS))
        run(factor, trial_with(RUN_PARAMS))
        warnings = [r.getMessage() for r in caplog.records if r.levelno == logging.WARNING and r.name == " "]
        assert len(warnings) == 1 and "S1" in warnings[0] and "NaN" in warnings[0]
        for book in built_books:
            assert np.isfinite(book._equity_value_array).all()
            assert not book._slippage_matrix_array[:, 1].any()


class TestTradeTablesOfARun:
    def test_store_is_split_at_the_last_train_bar(self, factor):
        run(factor, None, False, dict(RUN_PARAMS))
        train, test = factor._rarav_train_trades_store_df, factor._rarav_test_trades_store_df
        end = factor._data_datetime_array[train_end(factor, RUN_PARAMS) - 1]
        assert len(train) > 0 and len(test) > 0
        assert len(train) + len(test) == len(factor._rarav_trades_store_dict)
        assert (train["time_of_entry"] <= end).all() and (test["time_of_entry"] > end).all()
        assert train["time_of_entry"].is_monotonic_increasing and list(train.index) == list(range(len(train)))

    def test_trades_of_trials_and_reruns_accumulate_until_reset(self, factor):
        run(factor, trial_with(RUN_PARAMS))
        first = len(factor._rarav_trades_store_dict)
        run(factor, None, False, dict(RUN_PARAMS))
        assert len(factor._rarav_trades_store_dict) == 2 * first
        assert len(factor._rarav_train_trades_store_df) + len(factor._rarav_test_trades_store_df) == 2 * first
        factor.initialize_rarAV_data_structures(None, None)
        run(factor, None, False, dict(RUN_PARAMS))
        assert len(factor._rarav_trades_store_dict) == first


class TestClassifierReadiness:
    # The stand-in engine keeps the classifier out of the bar loop.
    @pytest.mark.parametrize("use_rarAV, ready, expected", [(True, True, True), (True, False, False), (False, True, False)])
    def test_readiness_is_asked_only_when_allowed(self, use_rarAV, ready, expected, monkeypatch):
        from korvane.factors.technical._factor.globals import pm

        monkeypatch.setattr(pm(), "Scorebook", lambda **kwargs: _Quiet())
        factor = build_factor()
        factor._rarAV_optimal_entry_ready = True
        factor.stub_ready = ready
        run(factor, None, is_optimising=False, optimal_params=dict(PARAMS), use_rarAV_if_ready=use_rarAV)
        assert factor._rarAV_optimal_entry_ready is expected
        assert (("readiness",) in factor.stub_calls) is use_rarAV


class TestEmptyTrainPart:
    def test_every_trade_is_out_of_sample(self, monkeypatch):
        from korvane.factors.technical._factor.globals import pm

        lengths = []
        monkeypatch.setattr(pm(), "Scorebook", lambda **kwargs: lengths.append(kwargs["datetime_length"]) or _Quiet())
        factor = build_factor(train_split_ratio=1e-4)
        factor.stub_trade_entry_bars = [40, 120]
        run(factor, None, False, dict(PARAMS))
        assert lengths == [0, 200 - 31]
        assert len(factor._rarav_train_trades_store_df) == 0 and len(factor._rarav_test_trades_store_df) == 2


class _Quiet:
    def get_objective_score(self, objective):
        return 0.0

    def expose_internal_variables(self):
        pass

    def register_test_set_results(self, test_set_results=None):
        pass


@pytest.mark.parametrize(
    "rows, value",
    [
        (slice(300, 301), 0.0),  # a bad tick
        (slice(200, 203), -2.0),
        (slice(0, 120), 0.0),  # not yet listed, filled with 0
    ],
)
def test_zero_or_negative_closes_are_treated_as_missing(rows, value):
    # No number of units has a market value at such a close: valuing there
    # turned the money totals and the train equity into NaN. Positions are
    # marked at the last valid close, and a security not yet listed holds none.
    table = universe_table(n_securities=3, n_bars=400, seed=8)
    table.iloc[rows, table.columns.get_indexer(["S0_open", "S0_high", "S0_low", "S0_close"])] = value
    factor = PairsTradingSerialCointegrationFactor("zero", table, 1440, [], False, objective="annual_sharpe_ratio")
    train = factor._run_pairs_trading_serial_cointegration_factor(None, False, TRADING_PARAMS, False)
    assert isinstance(train, Scorebook)
    if rows.start == 0:
        assert not factor._raw_positions_matrix_array[rows, 0].any()
    assert np.isfinite(train.get_full_results().to_numpy(dtype=float)).all()
    assert np.isfinite(train.test_equity_value_series.to_numpy()).all()
    assert np.isfinite(train.equity_value_series.to_numpy()).all()


@pytest.mark.parametrize("bars_left, ratio", [(1, 0.8), (3, 0.8), (20, 0.1)])
def test_a_window_that_leaves_no_train_part_is_refused(factor, bars_left, ratio):
    # The train part would be empty or a bar or two, which no objective can
    # score: refused before the loop, like a window as long as the data.
    factor._train_split_ratio = ratio
    window = factor._datetime_length - bars_left
    with pytest.raises(Exception, match=r"^size_of_rolling_windows of \d+ bars leaves [0-2] of the") as info:
        factor._run_pairs_trading_serial_cointegration_factor(None, False, dict(RUN_PARAMS, size_of_rolling_windows=window))
    assert type(info.value) is Exception
