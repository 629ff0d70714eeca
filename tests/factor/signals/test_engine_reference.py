"""The native engine against the plain-Python reference of the same rules.

Synthetic universes hold cointegrated and independent securities. Discrete
decisions (verdicts, countdowns, half-lives, spread positions, reported
positions, trades and their labels) must match exactly; values within the
kernels' tolerances.
"""

import numpy as np
import pytest

from korvane import _kernels
from korvane.factors.technical import _pairtrader
from korvane.factors.technical._factor.signals import (
    JOHANSEN_MAX_EIGEN_CRITICAL_VALUE_90 as EIG90,
    JOHANSEN_TRACE_CRITICAL_VALUE_90 as TRACE90,
)
from reference.pairs_reference import ReferenceEngine
from factor.signals.signal_setup import ENGINE_PARAMS, engine_for, universe

PARAMS = ENGINE_PARAMS

TRACE_FIELDS = ("is_cointegrated", "countdown", "halflife", "position", "reported", "h1", "h2",
                "zscore", "value")
DISCRETE = ("is_cointegrated", "countdown", "halflife", "position", "reported")


def compare(reference, engine_trace, positions, engine_positions):
    for j, name in enumerate(TRACE_FIELDS):
        expected = np.array([[entry[j] for entry in bar] for bar in reference.trace], dtype=float)
        got = engine_trace[name].astype(float)
        if name in DISCRETE:
            np.testing.assert_array_equal(got, expected, err_msg=name)
        elif name == "zscore":
            # The engine skips the z-score of a pair that holds a position.
            known = ~np.isnan(got)
            np.testing.assert_allclose(got[known], expected[known], rtol=1e-9, atol=1e-9, err_msg=name)
        else:
            np.testing.assert_allclose(got, expected, rtol=1e-9, atol=1e-12, err_msg=name)
    np.testing.assert_allclose(engine_positions, positions, rtol=1e-9, atol=1e-9)


@pytest.mark.parametrize(
    "bars, window, bars_per_day, seed, entry",
    [(700, 80, 4, 3, 1), (520, 61, 1, 8, 1), (600, 121, 6, 21, 2)],
)
def test_engine_matches_reference(bars, window, bars_per_day, seed, entry):
    closes = universe(bars, seed)
    params = dict(PARAMS, starting_sd_for_position_entry=entry)
    max_window = bars // 2
    reference = ReferenceEngine(closes, window, params, bars_per_day, max_window)
    positions = reference.run()
    out = _kernels.run_engine(closes, window, params, bars_per_day, max_window, EIG90, TRACE90,
                              trace=True)
    trace = {name: out["trace_" + name] for name in TRACE_FIELDS}
    compare(reference, trace, positions[window:], out["positions"][window:])
    assert not out["positions"][:window].any()

    trades = reference.trades
    assert len(trades) > 5
    pairs = reference.pairs
    assert [pairs[p] for p in out["trade_pair"]] == [t["trade_securities"] for t in trades]
    assert list(out["trade_entry_bar"]) == [t["time_of_entry"] for t in trades]
    assert list(out["trade_exit_bar"]) == [t["time_of_exit"] for t in trades]
    assert list(out["trade_label"]) == [t["trade_label"] for t in trades]
    np.testing.assert_allclose(out["trade_returns"], [t["trade_returns"] for t in trades],
                               rtol=1e-9, atol=1e-12)
    # Both verdicts and both kinds of exits occur.
    assert 0 < trace["is_cointegrated"].mean() < 1
    assert set(out["trade_label"]) == {0, 1}


def test_gated_entries_match_reference():
    closes = universe(650, 5)
    window, k = 80, 4

    def gate(pair, bar, h1, h2):
        # Deterministic stand-in for the classifier: refuse every third entry.
        return (pair + bar) % 3 == 0, bar

    reference = ReferenceEngine(closes, window, PARAMS, k, len(closes) // 2, entry_hook=gate)
    expected = reference.run()
    engine, layout, intervals, params = engine_for(closes, window, k)
    positions = np.zeros_like(closes)
    calls = []

    def hook(pair, bar, h1, h2):
        calls.append((pair, bar))
        return gate(pair, bar, h1, h2)

    engine.run(closes, layout, layout, np.arange(len(closes), dtype=np.int64), window, intervals,
               params, (EIG90, TRACE90), positions, hook)
    np.testing.assert_allclose(positions, expected, rtol=1e-9, atol=1e-9)
    pair, entry, exit_, label, returns, token = engine.take_closed_trades()
    assert [t["time_of_entry"] for t in reference.trades] == list(entry)
    assert [t["token"] for t in reference.trades] == list(token)
    assert list(label) == [t["trade_label"] for t in reference.trades]
    assert any((p + b) % 3 == 0 for p, b in calls) and len(calls) > len(entry)


def test_step_continues_the_run():
    closes = universe(500, 9)
    window, k, bars = 80, 4, 499
    engine, layout, intervals, params = engine_for(closes[:bars], window, k)
    times = np.arange(bars + 1, dtype=np.int64)
    whole = np.zeros((bars + 1, closes.shape[1]))
    engine.run(closes, layout, layout, times, window, intervals, params, (EIG90, TRACE90), whole, None)
    trades_whole = engine.take_closed_trades()

    partial = np.zeros((bars, closes.shape[1]))
    engine.run(closes[:bars], layout, layout, times[:bars], window, intervals, params,
               (EIG90, TRACE90), partial, None)
    row = np.zeros(closes.shape[1])
    engine.step(closes[bars - window:bars], layout, layout, bars, intervals, params,
                (EIG90, TRACE90), row, None)
    np.testing.assert_allclose(row, whole[bars], rtol=1e-12, atol=1e-12)
    trades_split = engine.take_closed_trades()
    for got, expected in zip(trades_split, trades_whole):
        np.testing.assert_allclose(got, expected, rtol=1e-12)


class TestRulesWithoutTheReference:
    """The schedule and the legs checked from their definitions alone."""

    def test_reestimation_countdown(self):
        bars_per_day, window = 3, 61
        out = _kernels.run_engine(universe(700, 4), window, PARAMS, bars_per_day, 350, EIG90,
                                  TRACE90, trace=True)
        countdown, position = out["trace_countdown"], out["trace_position"]
        assert (position != 0).any() and (position == 0).any()
        before = np.vstack([np.zeros((1, countdown.shape[1]), dtype=np.int64), countdown[:-1]])
        flat_before = np.vstack([np.ones((1, countdown.shape[1]), dtype=bool), position[:-1] == 0])
        # A flat pair whose countdown has run out re-estimates and restarts it;
        # every other bar lowers it by one, below zero while a position is held.
        due = flat_before & (before <= 0)
        np.testing.assert_array_equal(countdown, np.where(due, bars_per_day, before - 1))
        assert (countdown < 0).any()
        # A pair that stays flat re-estimates every fourth bar: 3, 2, 1, 0, 3, ...
        quiet = _kernels.run_engine(universe(300, 4), window, dict(PARAMS, starting_sd_for_position_entry=1e9),
                                    bars_per_day, 150, EIG90, TRACE90, trace=True)["trace_countdown"]
        expected = 3 - np.arange(len(quiet)) % 4
        np.testing.assert_array_equal(quiet, np.repeat(expected[:, None], quiet.shape[1], axis=1))

    @pytest.mark.parametrize("last_close, spread_position", [(50.0, 1), (61.0, -1)])
    def test_legs_use_the_other_close_of_the_bar_before(self, last_close, spread_position):
        # Hedge ratios (1.0, -0.8) and half-life 10 stand in for the estimators;
        # security 1 sits near 55 and closes at `last_close` on the window's
        # last bar, far from the spread's mean, while security 2 stays at 20.
        window = 60
        p1 = 55.0 * np.exp(np.random.default_rng(0).normal(0.0, 0.001, window + 1))
        p1[window - 1] = last_close
        p1[window] = 999.0  # the decided bar's own close is not used
        closes = np.column_stack([p1, np.full(window + 1, 20.0)])
        engine = _pairtrader.PairEngine(np.array([0]), np.array([1]))
        layout = np.arange(2, dtype=np.int64)
        params = _kernels.engine_params(PARAMS)
        positions = np.zeros_like(closes)
        estimators = (lambda log_1, log_2, bars_per_day: (1.0, -0.8, True), lambda spread: 10)
        engine.run(closes, layout, layout, np.arange(window + 1, dtype=np.int64), window,
                   _kernels.Intervals(max_zscore_window=1000), params, (EIG90, TRACE90), positions, None,
                   estimators)
        assert engine.state()["spread_position"][0] == spread_position
        np.testing.assert_allclose(
            positions[window], [spread_position * 1.0 * 20.0, spread_position * -0.8 * last_close],
            rtol=1e-15,
        )
        assert not positions[:window].any()


def test_a_bad_close_stops_counting_once_it_has_left_the_windows():
    # The log of a zero or negative close is not a number; the z-score and
    # volatility windows that hold it give no entry and a plain multiplier,
    # and the windows after it must be exactly those of a clean history.
    closes = universe(2200, 5, persistence=0.97)[:760]
    closes[633, 4] = 0.0
    closes[700, 1] = -1.0
    window, bars_per_day, max_window = 321, 40, 1100
    params = dict(PARAMS, zscore_halflife_multiplier=1.0)
    with np.errstate(all="ignore"):
        reference = ReferenceEngine(closes, window, params, bars_per_day, max_window)
        positions = reference.run()
    out = _kernels.run_engine(closes, window, params, bars_per_day, max_window, EIG90, TRACE90,
                              trace=True)
    for j, name in enumerate(TRACE_FIELDS):
        if name in DISCRETE:
            expected = np.array([[entry[j] for entry in bar] for bar in reference.trace])
            np.testing.assert_array_equal(out["trace_" + name], expected, err_msg=name)
    np.testing.assert_allclose(out["positions"], positions, rtol=1e-9, atol=1e-9)
    # Pair (1, 4) enters 31 bars after the bad close, once its 30-bar z-score
    # window is clean again.
    assert out["trace_position"][664 - window, 6] == -1


@pytest.mark.parametrize("order, dtype", [("F", np.float64), ("C", np.float32)])
def test_outputs_that_would_be_converted_are_refused(order, dtype):
    # A converted copy would receive the positions and be thrown away,
    # leaving the caller's array at zero.
    closes = np.ascontiguousarray(universe(200, 3)[:, :3])
    engine = _pairtrader.PairEngine(np.array([0, 0, 1]), np.array([1, 2, 2]))
    layout = np.arange(3, dtype=np.int64)
    common = (_kernels.Intervals(max_zscore_window=100), _kernels.engine_params(PARAMS), (EIG90, TRACE90))
    with pytest.raises(TypeError):
        engine.run(closes, layout, layout, np.arange(200, dtype=np.int64), 60, *common,
                   np.zeros((200, 3), order=order, dtype=dtype), None)
    with pytest.raises(TypeError):
        engine.step(closes[-60:], layout, layout, 0, *common, np.zeros((3, 2), dtype=dtype)[:, 0], None)
