"""One engine called from several threads: calls take turns, never share the per-pair state."""

import sys
import threading

import numpy as np
import pytest

from factor.signals.signal_setup import engine_for, universe
from korvane.factors.technical._factor.signals import (
    JOHANSEN_MAX_EIGEN_CRITICAL_VALUE_90 as EIG90,
    JOHANSEN_TRACE_CRITICAL_VALUE_90 as TRACE90,
)


@pytest.fixture
def fast_thread_switching():
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    yield
    sys.setswitchinterval(interval)


def test_runs_and_steps_from_two_threads_leave_every_run_exact(fast_thread_switching):
    closes = universe(900, 5, cointegrated=4, independent=2)
    window = 80
    engine, layout, intervals, params = engine_for(closes, window, 4)
    times = np.arange(len(closes), dtype=np.int64)
    critical = (EIG90, TRACE90)
    expected = np.zeros_like(closes)
    engine.run(closes, layout, layout, times, window, intervals, params, critical, expected, None)
    mismatches, errors = [], []

    def runs():
        for _ in range(12):
            positions = np.zeros_like(closes)
            engine.run(closes, layout, layout, times, window, intervals, params, critical, positions, None)
            mismatches.append(not np.array_equal(positions, expected))

    def steps():
        row = np.zeros(closes.shape[1])
        try:
            for i in range(3000):
                # Windows of changing length make the step resize its scratch.
                w = 60 + (i % 3) * 30
                bar = 130 + i % 700
                engine.step(closes[bar - w:bar], layout, layout, bar, intervals, params, critical, row, None)
                if i % 5 == 0:
                    engine.take_closed_trades()
                    engine.state()
        except Exception as error:  # pragma: no cover - reported below
            errors.append(error)

    threads = [threading.Thread(target=runs), threading.Thread(target=steps)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert errors == [] and mismatches == [False] * 12


def test_a_hook_calling_back_into_its_running_engine_is_refused():
    closes = universe(300, 2)
    engine, layout, intervals, params = engine_for(closes, 80, 4)

    def hook(pair, bar, h1, h2):
        engine.state()
        return False, -1

    with pytest.raises(RuntimeError, match="PairEngine is busy"):
        engine.run(closes, layout, layout, np.arange(len(closes), dtype=np.int64), 80, intervals, params,
                   (EIG90, TRACE90), np.zeros_like(closes), hook)
    assert engine.state()["spread_position"].shape == (engine.pairs,)  # usable again afterwards
