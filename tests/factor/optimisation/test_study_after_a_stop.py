"""A study after a stop: no lock left behind, waits that a stop ends, connections closed, handlers kept.

Fits that are stopped, or that wait on another process, run in forked
children of this process, on the stub factor's millisecond trials.
"""

import contextlib
import gc
import os
import signal
import sqlite3
import subprocess
import sys
import time
import warnings

import optuna
import pytest
from sqlalchemy.dialects.sqlite.pysqlite import SQLiteDialect_pysqlite

from child_groups import fork_group
from classifier.classifier_helpers import CHEAP_PARAMS, tiny_trades
from factor.daily_factor import daily_factor
from factor.optimisation.stub_factor import StubFactor
from factor.optimisation.test_study_faults import FORK, STUDY, TESTS, ended_as_the_stop_asks, fit_in_child, study_file
from korvane._common import study_settings
from korvane._common.synthetic_universe import universe_table
from korvane.rarAV import tradegate
from korvane.rarAV.tradegate import OptimalEntryClassifier

pytestmark = pytest.mark.usefixtures("in_tmp_dir")


def cheap_classifier_sampler(**kwargs):
    return optuna.samplers.PartialFixedSampler(CHEAP_PARAMS, optuna.samplers.RandomSampler(seed=kwargs["seed"]))


def fit_factor():
    StubFactor(universe_name="again").fit(3)


def fit_classifier():
    OptimalEntryClassifier().fit(*tiny_trades(), n_splits=4, n_test_splits=1, factor_name="F",
                                 storage_name="again", n_trials_to_estimate_params=2)


FITS = {
    "factor": (fit_factor, "again" + "_60_latest_cumprod_returns_0.9_" + STUDY + ".db"),
    "classifier": (fit_classifier, "again_OptimalEntryClassifier.db"),
}


def write_lock_is_free(path):
    with sqlite3.connect(path, timeout=0, isolation_level=None) as db:
        try:
            db.execute("BEGIN IMMEDIATE")
        except sqlite3.OperationalError:
            return False
        db.execute("ROLLBACK")
    return True


def outcome_of(fit):
    """"fitted", or the error of a fit that failed."""
    try:
        fit()
    except Exception as error:
        return repr(error)
    return "fitted"


@contextlib.contextmanager
def stopped_inside_a_read(nth):
    """Ctrl-C at the ``nth`` read of the block's write transactions, the read unfinished."""
    execute = SQLiteDialect_pysqlite.do_execute
    reads = []

    def execute_then_stop(self, cursor, statement, parameters, context=None):
        execute(self, cursor, statement, parameters, context)
        if cursor.connection.in_transaction and statement.lstrip().upper().startswith("SELECT"):
            reads.append(statement)
            if len(reads) == nth:
                os.kill(os.getpid(), signal.SIGINT)  # handled right here, with the statement's rows unread

    SQLiteDialect_pysqlite.do_execute = execute_then_stop
    try:
        yield
    finally:
        SQLiteDialect_pysqlite.do_execute = execute


def stop_inside_a_read_then_fit_again(fit, path, nth, sending):
    """Ctrl-C at the ``nth`` read of the fit's write transactions, the read unfinished; then the same fit again."""
    study_settings.SQLITE_BUSY_TIMEOUT_SECONDS = 60.0  # a lock left behind fails the fit instead of a 300 s wait
    fit()
    try:
        with stopped_inside_a_read(nth):
            fit()
        kept = None
    except KeyboardInterrupt as error:
        kept = error  # referenced, as a notebook keeps the last exception
    free = write_lock_is_free(path)
    sending.send((type(kept).__name__, free, outcome_of(fit)))


@pytest.mark.parametrize("fit, nth", [("factor", 1), ("factor", 3), ("classifier", 1), ("classifier", 2)])
def test_a_stop_inside_a_read_leaves_the_study_free_for_the_next_fit(fit, nth, monkeypatch):
    monkeypatch.setattr(tradegate, "TPESampler", cheap_classifier_sampler)
    os.mkdir("work")  # the classifier saves its pipeline in "../rarAV"
    monkeypatch.chdir("work")
    run, path = FITS[fit]
    receiving, sending = FORK.Pipe(duplex=False)
    child = fork_group(stop_inside_a_read_then_fit_again, run, os.path.abspath(path), nth, sending)
    child.join(180)
    assert receiving.poll(5), f"the child did not report (exit code {child.exitcode})"
    assert receiving.recv() == ("KeyboardInterrupt", True, "fitted")


@pytest.mark.parametrize("stop", [signal.SIGINT, signal.SIGTERM, signal.SIGHUP, None])
def test_a_wait_for_a_study_another_process_holds_ends_on_a_stop_or_names_the_file(stop, monkeypatch):
    path = study_file("busy")
    StubFactor(universe_name="busy").fit(1)
    if stop is None:
        monkeypatch.setattr(study_settings, "SQLITE_BUSY_TIMEOUT_SECONDS", 1.0)
    holder = sqlite3.connect(path, isolation_level=None)  # this process holds the write lock the child waits for
    try:
        holder.execute("BEGIN IMMEDIATE")
        receiving, sending = FORK.Pipe(duplex=False)
        child = fit_in_child("busy", 1, errors=sending)
        if stop is None:
            child.join(120)
            assert receiving.poll(5)
            kind, message = receiving.recv()
            assert issubclass(kind, TimeoutError) and f"cannot write the study file {path}: " in message
            return
        time.sleep(1.0)  # into its wait (a stop arriving sooner must end the fit all the same)
        os.kill(child.pid, stop)
        child.join(60)  # far less than the 300 s the wait would last
        assert ended_as_the_stop_asks(child, stop, receiving)
    finally:
        holder.close()


def run_real_factor(calls):
    table = universe_table(n_securities=2, n_bars=340, freq="1D", seed=3)
    factor = daily_factor("warned", table.iloc[:-2])
    for call in calls:
        if call == "update":
            factor.update(table.iloc[-2:])
        else:
            getattr(factor, call)(*((2,) if call == "fit" else ()))


@pytest.mark.parametrize(
    "calls",
    [
        ("fit",),
        ("fit", "get_full_backtest_results"),
        ("fit", "update", "predict"),
        ("fit", "erase_fit_memory"),
        ("classifier fit",),
    ],
)
def test_study_calls_leave_no_connection_to_the_garbage_collector(calls, monkeypatch):
    monkeypatch.setattr(tradegate, "TPESampler", cheap_classifier_sampler)
    os.mkdir("work")
    monkeypatch.chdir("work")
    gc.collect()  # what earlier tests left
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("error", ResourceWarning)
        if calls == ("classifier fit",):
            fit_classifier()
        else:
            run_real_factor(calls)
        gc.collect()
    assert [str(w.message) for w in caught if issubclass(w.category, ResourceWarning)] == []


def program_handler(signum, frame):
    pass


@pytest.mark.usefixtures("stops_as_by_default")  # the fit's own handlers in place, not an inherited ignore
@pytest.mark.parametrize("signal_number", [signal.SIGINT, signal.SIGTERM, signal.SIGHUP])
def test_a_handler_set_during_a_fit_stays(signal_number, monkeypatch):
    trial = getattr(StubFactor, "__run_pairs_trading_serial_cointegration_factor")

    def trial_setting_a_handler(*args, **kwargs):
        signal.signal(signal_number, program_handler)
        return trial(*args, **kwargs)

    monkeypatch.setattr(StubFactor, "__run_pairs_trading_serial_cointegration_factor", trial_setting_a_handler)
    before = signal.getsignal(signal_number)
    try:
        StubFactor(universe_name="handled").fit(2)
        assert signal.getsignal(signal_number) is program_handler
    finally:
        signal.signal(signal_number, before)


KEPT_FACTOR_SCRIPT = f"""
import logging, sys
sys.path.insert(0, {TESTS!r})
logging.disable(logging.CRITICAL)
from factor.daily_factor import daily_factor
from korvane._common.synthetic_universe import universe_table

factor = daily_factor("kept", universe_table(n_securities=3, n_bars=330, freq="1D", seed=3))
factor.fit(2)
try:
    factor.fit(0)
except Exception as error:
    kept = error  # its traceback holds the factor too
"""


# In this build nanobind's exit report would also name any instance of ours
# left alive (tests/native/test_exit_leak_report.py).
def test_a_script_keeping_a_factor_to_the_end_exits_quietly(in_tmp_dir):
    result = subprocess.run([sys.executable, "-W", "always::ResourceWarning", "-c", KEPT_FACTOR_SCRIPT],
                            capture_output=True, text=True, timeout=300, cwd=in_tmp_dir)
    assert result.returncode == 0 and result.stderr == ""
