"""Window sums that slide with the run stay at the libraries' numbers on long runs.

On daily bars every flat pair is re-estimated at every bar from sums that slide
with the window. Over 10,000 bars the hedge ratios, half-lives and z-scores of
the run are checked against statsmodels, scikit-learn and numpy on the same
windows, at sampled bars spread over the whole run.
"""

import numpy as np
import pytest

from korvane import _kernels
from korvane.factors.technical._factor.signals import (
    JOHANSEN_MAX_EIGEN_CRITICAL_VALUE_90 as EIG90,
    JOHANSEN_TRACE_CRITICAL_VALUE_90 as TRACE90,
)
from reference.pairs_reference import halflife_from_spread, hedge_ratio_from_johansen, zscore_for_pair
from factor.signals.signal_setup import ENGINE_PARAMS, universe

BARS = 10_000
SAMPLES = 100


@pytest.mark.parametrize("window, bars_per_day", [(61, 1), (250, 1), (121, 4)])
def test_long_run_matches_the_libraries(window, bars_per_day):
    closes = universe(BARS, seed=5, cointegrated=2, independent=1, persistence=0.9)
    # Never entering keeps every pair flat, so each is re-estimated on schedule.
    params = dict(ENGINE_PARAMS, starting_sd_for_position_entry=1e9)
    out = _kernels.run_engine(closes, window, params, bars_per_day, BARS // 2, EIG90, TRACE90,
                              trace=True)
    logs = np.log(closes)
    rng = np.random.default_rng(0)
    checked = 0
    for bar in np.sort(rng.choice(np.arange(BARS - 2000, BARS), SAMPLES, replace=False)):
        row = bar - window
        for pair, (a, b) in enumerate(((0, 1), (0, 2), (1, 2))):
            if out["trace_countdown"][row, pair] != bars_per_day:
                continue  # not re-estimated at this bar
            la, lb = logs[bar - window:bar, a], logs[bar - window:bar, b]
            h1, h2, verdict = hedge_ratio_from_johansen(la, lb, bars_per_day)
            np.testing.assert_allclose(
                [out["trace_h1"][row, pair], out["trace_h2"][row, pair]], [h1, h2], rtol=1e-9)
            stats = _kernels.johansen_test(la[bars_per_day::bars_per_day].copy(), lb[bars_per_day::bars_per_day].copy(),
                                           EIG90, TRACE90)
            margin = min(abs(stats["max_eig_stat"] / EIG90 - 1), abs(stats["trace_stat"] / TRACE90 - 1))
            if margin > 1e-6:
                assert out["trace_is_cointegrated"][row, pair] == verdict
            if not verdict:
                continue
            spread = h1 * la + h2 * lb
            halflife = halflife_from_spread(True, window, spread)
            assert out["trace_halflife"][row, pair] == halflife
            z, *_ = zscore_for_pair(params, True, halflife, spread, 30, BARS // 2)
            np.testing.assert_allclose(out["trace_zscore"][row, pair], z, rtol=1e-9, atol=1e-9)
            checked += 1
    assert checked >= 10


@pytest.mark.parametrize("window, bars_per_day, entry, independent, bars", [
    (61, 1, 2.0, 2, 3_000), (250, 1, 1.0, 2, 3_000), (121, 4, 1.5, 2, 3_000),
    # Over 512 pairs a run without a trace takes its pairs in blocks.
    (61, 1, 1.5, 31, 1_200), (121, 4, 1.5, 31, 1_200)])
def test_a_run_without_a_trace_trades_and_ends_as_one_with_it(window, bars_per_day, entry, independent, bars):
    # Without a trace a rejected pair's hedge ratios are not worked out until
    # they can be read, and many pairs run in blocks: the positions, the
    # trades in closing order and the state the run leaves must still be
    # those of the run that takes every pair at every bar and works them out
    # at every test. Missing closes make the shared sums restart.
    closes = universe(bars, seed=11, cointegrated=3, independent=independent, persistence=0.9)
    closes[400:420, 4] = np.nan
    closes[700, 1] = np.nan
    params = dict(ENGINE_PARAMS, starting_sd_for_position_entry=entry)
    traced, plain = (
        _kernels.run_engine(closes, window, params, bars_per_day, bars // 2, EIG90, TRACE90, trace=trace)
        for trace in (True, False)
    )
    assert len(plain["trade_pair"]) > 20
    for key in ("positions", "trade_pair", "trade_exit_bar", "trade_returns", "h1", "h2", "halflife", "position",
                "countdown"):
        np.testing.assert_array_equal(plain[key], traced[key], err_msg=key)
