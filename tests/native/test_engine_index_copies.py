"""The engine reads its own copy of the indices it addresses.

An entry hook or a substituted estimator that rewrites the caller's index
arrays in the middle of a run or a step, or a second thread that keeps changing them while a run has let go of
the interpreter's lock, cannot move an index past its check: each call ends
exactly as an untouched one does, or is refused by the checks. It never
writes outside its arrays (``make sanitize`` reports any such write). The
cases run in a forked child under a memory cap and a timeout, so that a
corrupted heap takes down the child only.
"""

import multiprocessing
import re
import sys
import threading
import traceback

import numpy as np
import pytest

from child_limits import limit_this_process
from factor.signals.signal_setup import engine_for, universe
from korvane.factors.technical._factor.signals import (
    JOHANSEN_MAX_EIGEN_CRITICAL_VALUE_90 as EIG90,
    JOHANSEN_TRACE_CRITICAL_VALUE_90 as TRACE90,
)

FORK = multiprocessing.get_context("fork")
CLOSES = universe(3000, 3, cointegrated=4, independent=2)
WINDOW = 80
TIMES = np.arange(len(CLOSES), dtype=np.int64)
# A column past a positions row: a leg written there lands in the next
# row, or past the matrix on the last one.
OUTSIDE = CLOSES.shape[1] + 2
RUNS_BESIDE_WRITER = 20


def layout():
    """Fresh close columns and position columns, one per security."""
    return np.arange(CLOSES.shape[1], dtype=np.int64), np.arange(CLOSES.shape[1], dtype=np.int64)


def callouts(rewriting):
    """Makes, over a call's index arrays, its entry hook and substituted estimators (fixed ratios and
    half-life), which put the indices out of range whenever called if ``rewriting``."""

    def make(close_columns, position_index):
        def called(answer):
            if rewriting:
                position_index[:] = OUTSIDE
                close_columns[:] = 2**40
            return answer

        return (lambda pair, bar, h1, h2: called((False, -1)),
                (lambda log_close_1, log_close_2, bars_per_day: called((1.0, -1.0, True)), lambda spread: 10))

    return make


def run(make=None, estimated=False, indices=None):
    """A run over the closes, with the entry hook, or the estimators, that ``make`` gives."""
    engine, _, intervals, params = engine_for(CLOSES, WINDOW, 4)
    close_columns, position_index = layout() if indices is None else indices
    hook, estimators = (None, None) if make is None else make(close_columns, position_index)
    positions = np.zeros_like(CLOSES)
    engine.run(CLOSES, close_columns, position_index, TIMES, WINDOW, intervals, params, (EIG90, TRACE90),
               positions, None if estimated else hook, estimators if estimated else None)
    return positions


def steps(make):
    engine, _, intervals, params = engine_for(CLOSES, WINDOW, 4)
    close_columns, position_index = layout()
    hook, _ = make(close_columns, position_index)
    rows = np.zeros((len(CLOSES) - WINDOW, CLOSES.shape[1]))
    for bar in range(WINDOW, len(CLOSES)):
        engine.step(CLOSES[bar - WINDOW:bar], close_columns, position_index, bar, intervals, params,
                    (EIG90, TRACE90), rows[bar - WINDOW], hook)
        # Put back for the next step, which would rightly refuse them.
        close_columns[:], position_index[:] = layout()
    return rows


def runs_beside_a_writer():
    """Runs without a hook, so without the interpreter's lock, while a thread
    flips position_index[0] out of range and back."""
    close_columns, position_index = layout()
    done = threading.Event()

    def flip():
        while not done.is_set():
            position_index[0] = OUTSIDE
            position_index[0] = 0

    writer = threading.Thread(target=flip)
    writer.start()
    outcomes = []
    try:
        for _ in range(RUNS_BESIDE_WRITER):
            try:
                outcomes.append(run(indices=(close_columns, position_index)))
            except ValueError as error:
                outcomes.append(str(error))
    finally:
        done.set()
        writer.join()
    return outcomes


CASES = {
    "hook rewrites the indices of a run": (lambda: [run(callouts(True))], lambda: run(callouts(False))),
    "estimator rewrites the indices of a run": (lambda: [run(callouts(True), estimated=True)],
                                                lambda: run(callouts(False), estimated=True)),
    "hook rewrites the indices of a step": (lambda: [steps(callouts(True))], lambda: steps(callouts(False))),
    "thread rewrites the indices of a running run": (runs_beside_a_writer, run),
}


def verdicts(case):
    """Each call's outcome against an untouched call: "same", "different" or the refusal's message."""
    attacked, reference = CASES[case]
    sys.setswitchinterval(1e-4)
    expected = reference()
    assert np.count_nonzero(expected), "no leg was ever written: the case tests nothing"
    return [outcome if isinstance(outcome, str) else "same" if np.array_equal(outcome, expected) else "different"
            for outcome in attacked()]


def in_child(function, *args, timeout=120):
    """function(*args) in a forked child under a memory cap; returns its result, or fails with its traceback."""
    receiver, sender = FORK.Pipe(duplex=False)

    def child():
        limit_this_process(address_space=1 << 30)
        try:
            sender.send(("ok", function(*args)))
        except BaseException:
            sender.send(("error", traceback.format_exc()))

    process = FORK.Process(target=child)
    process.start()
    sender.close()
    try:
        kind, value = receiver.recv() if receiver.poll(timeout) else ("error", "no answer in time")
    except EOFError:
        kind, value = "error", "no answer: the child ended"
    process.join(5)
    if process.is_alive():
        process.kill()
        process.join()
    assert kind == "ok" and process.exitcode == 0, f"exit code {process.exitcode}: {value}"
    return value


@pytest.mark.parametrize("case", CASES)
def test_indices_changed_during_a_call_never_move_past_their_check(case):
    outcomes = in_child(verdicts, case)
    refusal = re.compile(rf"^position_index holds {OUTSIDE} at position 0, outside the")
    assert all(o == "same" or refusal.match(o) for o in outcomes), outcomes
    assert "same" in outcomes
