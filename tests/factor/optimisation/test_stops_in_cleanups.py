"""Stops that land inside a fit's clean-ups: each clean-up runs to its end, and nothing stays locked.

A stop is sent from a chosen line of a clean-up (by a trace function, so it
lands at that very line), in a forked child that keeps the exception, as a
notebook keeps it. The child then reports the locks it still holds on the
study's files and folder (from /proc/locks), what reached its stderr, whether
another process could erase the study, and whether the next fit ran.
"""

import contextlib
import inspect
import os
import signal
import sys

import pytest

from child_groups import fork_group
from classifier.classifier_helpers import tiny_trades
from factor.optimisation.stub_factor import StubFactor
from factor.optimisation.test_study_after_a_stop import cheap_classifier_sampler, outcome_of, stopped_inside_a_read
from factor.optimisation.test_study_faults import FORK, STEM
from korvane._common import stops, study_settings
from korvane._common.study_connections import StudyConnection
from korvane._common.study_lock import LockDescriptor, StudyLock, study_creation_lock, study_held_by_fit, study_lock_for_erasing
from korvane.factors.technical._factor.optimisation import OptimisationMixin
from korvane.rarAV import tradegate
from korvane.rarAV.tradegate import OptimalEntryClassifier

pytestmark = pytest.mark.usefixtures("in_tmp_dir")


def line_of(function, text):
    """(code, line number) of the line of ``function`` (unwrapped) that holds ``text``."""
    function = inspect.unwrap(function)
    lines, first = inspect.getsourcelines(function)
    (offset,) = [i for i, line in enumerate(lines) if text in line]
    return function.__code__, first + offset


CLEANUP_LINES = {
    "connection close": line_of(StudyConnection.close, "super().close()"),
    "cursor close": line_of(StudyConnection.close, "sqlite3.Cursor.close(cursor)"),
    "study lock release": line_of(StudyLock.release, "descriptor.close()"),
    "descriptor close": line_of(LockDescriptor.close, "os.close(number)"),
    "folder lock release": line_of(study_creation_lock, "descriptor.close()  # which releases"),
    "hold's setup": line_of(study_held_by_fit, "held = HeldStudy(study, lock)"),
    "hold's end": line_of(study_held_by_fit, "lock.release()"),
    # Where the block of the study creation's folder lock ends, its exit not called yet (the second hit).
    "folder lock's block end": line_of(OptimisationMixin._create_or_load_study, "with guard:"),
    # Inside the stops' own bookkeeping: the handlers put back, and the exit's look at the stops deferred.
    "handlers put back": line_of(stops.ending_cleanly_on_stop, "ending = [signum for signum in received"),
    "exit's look at stops": line_of(stops._CleanupContext.__exit__, "if _stop_due(sys._getframe(1)):"),
    "context exit": line_of(stops._CleanupContext._leave, "self._generator.throw(error)"),
}


class StopsAt:
    """A trace function sending Ctrl-C at the chosen hits of the chosen lines (all hits when ``hits`` is None)."""

    def __init__(self, places, hits=None):
        self.places = {CLEANUP_LINES[place] for place in places}
        self.codes = {code for code, _ in self.places}
        self.hits = hits
        self.count = 0
        self.sent = 0
        self.armed = True

    def __call__(self, frame, event, arg):
        if frame.f_code not in self.codes:
            return None
        return self.local

    def local(self, frame, event, arg):
        if event == "line" and self.armed and (frame.f_code, frame.f_lineno) in self.places:
            self.count += 1
            if self.hits is None or self.count in self.hits:
                self.sent += 1
                signal.raise_signal(signal.SIGINT)
        return self.local


FITS = {
    "factor": (lambda: StubFactor(universe_name="cut").fit(2), "cut" + STEM + ".db"),
    "classifier": (
        lambda: OptimalEntryClassifier().fit(
            *tiny_trades(), n_splits=4, n_test_splits=1, factor_name="F", storage_name="cut",
            n_trials_to_estimate_params=1,
        ),
        "cut_OptimalEntryClassifier.db",
    ),
}


def held_locks(paths):
    """The lines of /proc/locks by this process on any of ``paths`` (files or folders)."""
    inodes = set()
    for path in paths:
        if os.path.exists(path):
            status = os.stat(path)
            inodes.add(f"{os.major(status.st_dev):02x}:{os.minor(status.st_dev):02x}:{status.st_ino}")
    with open("/proc/locks") as locks:
        return [
            line.strip() for line in locks
            if " -> " not in line and len(line.split()) > 5
            and line.split()[4] == str(os.getpid()) and line.split()[5] in inodes
        ]


def erase_in_another_process(path):
    """Whether another process erased the study at ``path`` within a few seconds."""

    def erase():
        study_settings.SQLITE_BUSY_TIMEOUT_SECONDS = 5.0
        if path.endswith(STEM + ".db"):
            StubFactor(universe_name="cut").erase_fit_memory()
        else:  # the classifier's study, erased as the factor's erasure does
            with study_lock_for_erasing(path):
                os.remove(path)
        os._exit(0)

    eraser = fork_group(erase)
    eraser.join(60)
    return eraser.exitcode == 0 and not os.path.exists(path)


def stopped_fit_then_the_next(fit, path, stop, sending):
    study_settings.SQLITE_BUSY_TIMEOUT_SECONDS = 5.0  # a lock left behind fails quickly
    run = FITS[fit][0]
    run()  # the study exists, so each clean-up runs
    err = os.open("stderr", os.O_WRONLY | os.O_CREAT | os.O_TRUNC)
    os.dup2(err, 2)
    trial = getattr(StubFactor, "__run_pairs_trading_serial_cointegration_factor")
    if stop.get("in trial"):
        def stopped_trial(*args, **kwargs):  # the first stop, then more in the clean-up it starts
            signal.raise_signal(signal.SIGINT)
            return trial(*args, **kwargs)

        setattr(StubFactor, "__run_pairs_trading_serial_cointegration_factor", stopped_trial)
    # The first stop inside a read of a write transaction, its rows unread:
    # the connection then closes with a cursor still open.
    reading = stopped_inside_a_read(1) if stop.get("in read") else contextlib.nullcontext()
    tracer = StopsAt(stop["at"], stop.get("hits"))
    sys.settrace(tracer)
    try:
        with reading:
            run()
        kept = None
    except BaseException as error:
        kept = error  # referenced, as a notebook keeps the last exception
    finally:
        sys.settrace(None)
        setattr(StubFactor, "__run_pairs_trading_serial_cointegration_factor", trial)
    folder = os.path.dirname(path)
    locks = held_locks([folder] + [path + suffix for suffix in ("", "-wal", "-shm", ".lock")])
    erased = erase_in_another_process(path)
    outcome = outcome_of(run)
    with open("stderr") as written:
        printed = written.read()
    sending.send((type(kept).__name__, tracer.sent, locks, erased, outcome, printed))


@pytest.mark.parametrize(
    "fit, stop",
    [
        ("factor", {"at": ["connection close"], "hits": (1,)}),
        ("factor", {"at": ["cursor close"], "in read": True}),
        ("factor", {"at": ["study lock release"]}),
        ("factor", {"at": ["descriptor close"]}),
        ("factor", {"at": ["folder lock release"]}),
        ("factor", {"at": ["hold's end", "context exit"]}),
        ("factor", {"at": ["hold's setup"]}),
        ("factor", {"at": ["folder lock's block end"], "hits": (2,)}),
        ("factor", {"at": ["handlers put back", "exit's look at stops"], "hits": (1, 2, 3)}),
        ("factor", {"at": ["connection close", "study lock release"], "in trial": True}),
        ("factor", {"at": list(CLEANUP_LINES), "in trial": True}),
        ("classifier", {"at": ["connection close"]}),
        ("classifier", {"at": ["study lock release", "cursor close"]}),
    ],
    ids=lambda value: value if isinstance(value, str) else "+".join(
        value["at"] + [first for first in ("in trial", "in read") if value.get(first)]
    ),
)
def test_a_stop_in_a_cleanup_leaves_nothing_locked_and_the_study_erasable(fit, stop, monkeypatch):
    monkeypatch.setattr(tradegate, "TPESampler", cheap_classifier_sampler)
    os.mkdir("work")  # the classifier saves its pipeline in "../rarAV"
    monkeypatch.chdir("work")
    receiving, sending = FORK.Pipe(duplex=False)
    child = fork_group(stopped_fit_then_the_next, fit, os.path.abspath(FITS[fit][1]), stop, sending)
    child.join(240)
    assert receiving.poll(5), f"the child did not report (exit code {child.exitcode})"
    kind, sent, locks, erased, outcome, printed = receiving.recv()
    assert sent >= 1, "no stop was sent"
    assert (kind, locks, erased, outcome) == ("KeyboardInterrupt", [], True, "fitted")
    assert "Traceback" not in printed and "Exception" not in printed and "Error" not in printed, printed
