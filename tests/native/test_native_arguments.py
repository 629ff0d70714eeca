"""Native entry points refuse shapes, indices and integer settings they cannot honour.

Each case is refused with a ValueError naming the argument, before the
engine or a kernel allocates or writes anything: the positions given keep
their zeros.
"""

import time

import numpy as np
import pytest

from korvane import _kernels
from korvane.connections.binance._coinlink import candle_fields
from korvane.factors.technical import _pairtrader
from korvane.utils.results import _scorebook
from native.native_calls import (
    CRITICAL,
    INT64_MAX,
    INT64_MIN,
    closes,
    intervals,
    resample,
    run_arguments,
    run_engine,
    step_engine,
)
from factor.signals.signal_setup import ENGINE_PARAMS

ROWS = run_arguments()["data"].shape[0]
SPREAD = np.linspace(1.0, 2.0, 50)


@pytest.mark.parametrize(
    "call, message",
    [
        # The positions are stepped through a row of one column per security.
        (lambda: run_engine(positions=np.zeros((ROWS, 2))), r"^positions has 2 columns, expected one per security"),
        (lambda: run_engine(positions=np.zeros((ROWS, 5))), r"^positions has 5 columns"),
        (lambda: run_engine(positions=np.zeros((ROWS - 1, 3))), r"^positions holds \d+ entries, expected one per row"),
        (lambda: run_engine(times=np.arange(ROWS + 1)), r"^times holds"),
        (lambda: run_engine(close_columns=np.array([0, 1, 3])), r"^close_columns holds 3 at position 2, outside the 3 columns"),
        (lambda: run_engine(close_columns=np.array([0, INT64_MIN, 2])), r"^close_columns holds -9223372036854775808"),
        (lambda: run_engine(position_index=np.array([0, 1, INT64_MAX])), r"^position_index holds 9223372036854775807"),
        (lambda: run_engine(position_index=np.array([0, 1])), r"^position_index holds 2 entries, expected one per security"),
        (lambda: run_engine(window=0), r"^window must be at least 1"),
        # Legs far beyond the securities: the engine is built at once and the run refuses them.
        (lambda: run_engine(first=[0], second=[2**30]), r"^the engine's second legs holds 1073741824 at position 0"),
        (lambda: run_engine(first=[INT64_MAX], second=[0]), r"^the engine's first legs holds 9223372036854775807"),
        (lambda: run_engine(first=[0, -1], second=[1, 2]), r"^first must be at least 0, got -1"),
        (lambda: run_engine(first=[0, 1], second=[1]), r"^second holds 1 entries, expected one per pair of first \(2\)"),
        (lambda: run_engine(intervals=intervals(new_spread_update=INT64_MIN)), r"^intervals\.new_spread_update must be at least 0"),
        (lambda: run_engine(intervals=intervals(triple_barrier_update=-1)), r"^intervals\.triple_barrier_update"),
        (lambda: run_engine(intervals=intervals(johansen_resampling=0)), r"^intervals\.johansen_resampling must be at least 1"),
        (lambda: run_engine(intervals=intervals(min_zscore_window=INT64_MIN),
                            params=_kernels.engine_params(dict(ENGINE_PARAMS, zscore_halflife_multiplier=-1e300))),
         r"^intervals\.min_zscore_window must be at least 1"),
        (lambda: step_engine(row=np.zeros(2)), r"^position_index holds 2 at position 2, outside the 2 columns of the positions"),
        (lambda: step_engine(window=closes()[:0]), r"^window holds no rows"),
        (lambda: step_engine(intervals=intervals(new_spread_update=INT64_MIN)), r"^intervals\.new_spread_update"),
        (lambda: _kernels.run_engine(closes(), 10, ENGINE_PARAMS, 1, 20, *CRITICAL, min_zscore_window=INT64_MIN),
         r"^min_zscore_window must be at least 1"),
        (lambda: _kernels.run_engine(closes(), 10, ENGINE_PARAMS, 0, 20, *CRITICAL), r"^bars_per_day must be at least 1"),
        (lambda: _kernels.zscore_for_pair(SPREAD, 5, -1e300, True, INT64_MIN, 100), r"^minimum must be at least 1"),
        # The pickle scan's limits bound sums of charges and its nesting counter.
        (lambda: _kernels.scan_pickle(b"N.", INT64_MAX, 0, 100, 4300), r"^built_per_byte must lie between 1 and"),
        (lambda: _kernels.scan_pickle(b"N.", 96, -1, 100, 4300), r"^built_floor must lie between 0 and"),
        (lambda: _kernels.scan_pickle(b"N.", 96, 0, 70_000, 4300), r"^max_nesting must lie between 1 and 10000"),
        (lambda: _kernels.scan_pickle(b"N.", 96, 0, 100, 0), r"^max_digits must lie between 1 and"),
        (lambda: _kernels.hedge_ratio_from_johansen(SPREAD, SPREAD, 0, *CRITICAL), r"^bars_per_day must be at least 1"),
        (lambda: _kernels.hedge_ratio_from_johansen(SPREAD, SPREAD[1:], 1, *CRITICAL), r"^log_close_2 holds 49 entries"),
        # Bar numbers counted from an origin that far away overflow 64 bits.
        (lambda: resample(origin=INT64_MAX, times=(-5, 0), bars=1), r"lies more than 2\*\*63 ns from the origin"),
        (lambda: resample(times=(INT64_MIN, INT64_MAX), width=1, bars=1), r"span more bars than a 64-bit count"),
        (lambda: resample(width=0, bars=1), r"^width must be at least 1"),
        (lambda: resample(bars=3), r"^out has 3 rows, but the times span 2 bars"),
        (lambda: _scorebook.bootstrap_ending_values(SPREAD, 2**40), r"more bootstrap rounds than 32-bit seeds"),
        (lambda: _scorebook.bootstrap_round(SPREAD[:0], 0), r"empty returns"),
    ],
)
def test_refused_before_anything_is_written(call, message):
    started = time.perf_counter()
    with pytest.raises(ValueError, match=message):
        call()
    assert time.perf_counter() - started < 1.0  # nothing sized by the bad value


def test_within_range_extremes_run():
    # The widest legal settings: countdowns that never run out, a day longer than any window.
    run_engine(intervals=intervals(new_spread_update=INT64_MAX, triple_barrier_update=INT64_MAX,
                                   max_zscore_window=INT64_MAX, min_zscore_window=INT64_MAX))
    run_engine(intervals=intervals(johansen_resampling=INT64_MAX))
    assert _kernels.hedge_ratio_from_johansen(SPREAD, SPREAD, INT64_MAX, *CRITICAL) == (0.0, 0.0, False)
    assert resample(origin=INT64_MIN + 10, times=(INT64_MIN + 10, INT64_MIN + 13), width=INT64_MAX) == 0


def test_candle_conversion_that_empties_the_candles():
    """A value's __float__ clears every row and the list while the rows are read."""

    class Clearing:
        def __float__(self):
            for row in candles:
                row.clear()
            candles.clear()
            return 1.5

    first = [1000, Clearing(), "2", "3", "4", "5"] + ["0"] * 6
    candles = [first, list(first[:1]) + ["1"] * 11]
    with pytest.raises(ValueError, match="^candle row 1 holds 0 values, expected 12$"):
        candle_fields(candles)
    candles = [[1000, Clearing(), "2", "3", "4", "5"] + ["0"] * 6]
    times, fields = candle_fields(candles)
    assert times.tolist() == [1000]
    assert fields[:, 0].tolist() == [1.5, 2.0, 3.0, 4.0, 5.0]
