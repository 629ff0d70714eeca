"""One backtest run: parameters, splits, trade tables, results and log lines."""

import logging

import numpy as np
import pytest

from reference import accounting_reference as ref
from run_stand_ins import PARAMS, FakeTrial, build_factor

SUFFIX = " | PAIRS TRADING SERIAL COINTEGRATION FACTOR 60"
KEYWORDS = [
    "starting_equity",
    "securities_names_list",
    "datetime_length",
    "datetime_array",
    "positions_matrix_array",
    "positions_market_value_matrix_array",
    "change_in_positions_matrix_array",
    "change_in_positions_market_value_matrix_array",
    "securities_pnl_matrix_array",
    "commissions_matrix_array",
    "slippage_matrix_array",
    "securities_pnl_after_transaction_costs_matrix_array",
    "total_pnl_after_transaction_costs_array",
    "equity_value_array",
    "returns_after_transaction_costs_array",
    "cumprod_returns_after_transaction_costs_array",
]


def run(factor, *args, **kwargs):
    return factor.__run_pairs_trading_serial_cointegration_factor(*args, **kwargs)


def messages(caplog):
    return [r.getMessage() for r in caplog.records if r.name == " " and r.levelno == logging.INFO]


class TestOptimisingRun:
    def test_returns_the_train_score_and_logs_two_lines(self, factor, recording_scorebook, run_log):
        score = run(factor, FakeTrial(7))
        [train] = recording_scorebook.built
        assert score == train.get_objective_score() and type(score) is float
        assert train.calls[0] == ("get_objective_score", "latest_cumprod_returns")
        assert messages(run_log) == [
            "RUNNING TRIAL NUM 6 TO OPTIMISE PARAMETERS IN-SAMPLE" + SUFFIX,
            "FINISHED TRIAL NUM 6 WITH OBJECTIVE SCORE: " + str(round(score, 3)) + SUFFIX + "\n",
        ]

    def test_trial_draws_parameters_and_never_uses_the_classifier(self, factor, recording_scorebook):
        factor._rarAV_optimal_entry_ready = True
        trial = FakeTrial(1)
        run(factor, trial)
        assert factor._rarAV_optimal_entry_ready is False
        assert factor.stub_calls[0] == ("trial_params", trial)
        engine = factor.stub_calls[1]
        assert engine[:3] == ("engine", 31, True) and engine[3] is factor._data_matrix
        assert ("readiness",) not in factor.stub_calls

    def test_train_part_is_accounted_from_the_warm_up_on(self, factor, recording_scorebook):
        run(factor, FakeTrial(1))
        [train] = recording_scorebook.built
        kwargs = train.kwargs
        assert list(kwargs) == KEYWORDS
        w, s = 31, 31 + int((200 - 31) * 0.8)
        assert kwargs["datetime_length"] == s - w
        np.testing.assert_array_equal(kwargs["datetime_array"], factor._data_datetime_array[w:s])
        assert kwargs["securities_names_list"] is factor._securities_names_list
        assert kwargs["starting_equity"] == 100000.0
        want = ref.account_split(
            factor.stub_positions[w:s], factor._close_columns_only_data_matrix_array[w:s],
            factor._estimated_proportional_slippage_array, 100000.0, 0.9, True, 0.001, 0.5, s - w,
        )
        for key, value in want.items():
            np.testing.assert_allclose(kwargs[key], value, rtol=1e-12, atol=0, err_msg=key)
        assert factor._raw_positions_matrix_array is not None

    def test_score_is_rounded_to_three_places_in_the_log(self, factor, recording_scorebook, run_log, monkeypatch):
        monkeypatch.setattr(recording_scorebook, "get_objective_score", lambda self, objective: 1.23456)
        assert run(factor, FakeTrial(3)) == 1.23456
        assert messages(run_log)[-1] == "FINISHED TRIAL NUM 2 WITH OBJECTIVE SCORE: 1.235" + SUFFIX + "\n"
        monkeypatch.setattr(recording_scorebook, "get_objective_score", lambda self, objective: float("nan"))
        run(factor, FakeTrial(3))
        assert "OBJECTIVE SCORE: nan |" in messages(run_log)[-1]


class TestRunWithGivenParameters:
    def test_returns_train_results_with_test_registered(self, factor, recording_scorebook, run_log):
        results = run(factor, None, False, dict(PARAMS))
        train, test = recording_scorebook.built
        assert results is train
        assert train.calls == [
            ("get_objective_score", "latest_cumprod_returns"),
            ("expose_internal_variables",),
            ("register_test_set_results", test),
        ]
        s = 31 + int((200 - 31) * 0.8)
        np.testing.assert_array_equal(test.kwargs["datetime_array"], factor._data_datetime_array[s:])
        assert test.kwargs["datetime_length"] == 200 - s
        train_score, test_score = train.get_objective_score(), test.get_objective_score()
        assert messages(run_log) == [
            "RUNNING AN IN-SAMPLE RUN WITH OPTIMAL PARAMS" + SUFFIX,
            "FINISHED IN-SAMPLE TRAIN RUN WITH OBJECTIVE SCORE: " + str(round(train_score, 3)) + SUFFIX,
            "FINISHED IN-SAMPLE TEST RUN WITH OBJECTIVE SCORE: " + str(round(test_score, 3)) + SUFFIX + "\n",
        ]
        assert factor.stub_calls[0] == ("readiness",)
        assert factor.stub_calls[1][2] is False

    @pytest.mark.parametrize("use_rarAV, ready, expected", [(True, True, True), (True, False, False), (False, True, False)])
    def test_classifier_readiness(self, factor, recording_scorebook, use_rarAV, ready, expected):
        factor._rarAV_optimal_entry_ready = True
        factor.stub_ready = ready
        run(factor, None, is_optimising=False, optimal_params=dict(PARAMS), use_rarAV_if_ready=use_rarAV)
        assert factor._rarAV_optimal_entry_ready is expected
        assert (("readiness",) in factor.stub_calls) is use_rarAV

    def test_bad_parameters(self, factor, recording_scorebook):
        with pytest.raises(TypeError, match=r"expected dict, got str"):
            run(factor, None, False, "params")
        with pytest.raises(TypeError):
            run(factor, None, False, None)
        with pytest.raises(KeyError):
            run(factor, None, False, {})
        with pytest.raises(TypeError):
            run(factor, None, False, dict(PARAMS, size_of_rolling_windows=31.0))

    def test_full_train_ratio_gives_an_empty_test_part(self, recording_scorebook):
        factor = build_factor(train_split_ratio=1.0)
        run(factor, None, False, dict(PARAMS))
        train, test = recording_scorebook.built
        assert train.kwargs["datetime_length"] == 200 - 31
        assert test.kwargs["datetime_length"] == 0
        assert test.kwargs["positions_matrix_array"].shape == (0, 3)
        assert test.kwargs["returns_after_transaction_costs_array"].shape == (0,)

    def test_nan_spread_is_charged_as_zero_with_a_warning(self, factor, recording_scorebook, run_log):
        factor._estimated_proportional_slippage_array = np.array([0.002, np.nan, 0.003])
        run(factor, None, False, dict(PARAMS))
        warnings = [r.getMessage() for r in run_log.records if r.levelno == logging.WARNING]
        assert len(warnings) == 1 and "S1" in warnings[0] and "NaN" in warnings[0]
        train, test = recording_scorebook.built
        for book in (train, test):
            assert np.isfinite(book.kwargs["equity_value_array"]).all()
            assert not book.kwargs["slippage_matrix_array"][:, 1].any()
        # Later runs charge the same 0.0 without repeating the warning.
        run(factor, FakeTrial(2))
        assert len([r for r in run_log.records if r.levelno == logging.WARNING]) == 1


class TestTradeTablesOfARun:
    def test_tables_split_at_the_last_train_bar(self, recording_scorebook):
        factor = build_factor()
        s = 31 + int((200 - 31) * 0.8)
        factor.stub_trade_entry_bars = [s - 1, 40, s, 150 if 150 < s else s - 2]
        run(factor, None, False, dict(PARAMS))
        train, test = factor._rarav_train_trades_store_df, factor._rarav_test_trades_store_df
        times = factor._data_datetime_array
        assert list(train["time_of_entry"]) == sorted([times[40], times[150 if 150 < s else s - 2], times[s - 1]])
        assert list(test["time_of_entry"]) == [times[s]]

    def test_trades_of_every_run_accumulate(self, recording_scorebook):
        factor = build_factor()
        factor.stub_trade_entry_bars = [50]
        run(factor, FakeTrial(1))
        run(factor, None, False, dict(PARAMS))
        assert len(factor._rarav_train_trades_store_df) == 2
        assert list(factor._rarav_trades_store_dict) == [0, 1]

    def test_no_trades_leave_no_tables(self, factor, recording_scorebook):
        run(factor, FakeTrial(1))
        assert factor._rarav_train_trades_store_df is None and factor._rarav_test_trades_store_df is None
