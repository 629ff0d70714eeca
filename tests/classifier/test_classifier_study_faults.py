"""The classifier's study under faults: a full disk and a stop during a trial, in forked children; a file that is no study."""

import collections
import contextlib
import multiprocessing
import os
import signal
import sqlite3
import time

import optuna
import pytest

from child_groups import fork_group
from child_limits import limit_this_process
from classifier.classifier_helpers import CHEAP_PARAMS, enqueue, tiny_trades
from korvane.rarAV import tradegate
from korvane.rarAV.tradegate import OptimalEntryClassifier

FORK = multiprocessing.get_context("fork")  # its pipes


def states(path):
    """Trial states of a study file, read with SQLite alone (the file may be busy)."""
    with contextlib.closing(sqlite3.connect(path, timeout=30)) as db:
        return collections.Counter(state for (state,) in db.execute("select state from trials"))


def fixed_sampler(**kwargs):
    return optuna.samplers.PartialFixedSampler(CHEAP_PARAMS, optuna.samplers.RandomSampler(seed=kwargs["seed"]))


def fit(n_trials, n_jobs=1):
    OptimalEntryClassifier().fit(*tiny_trades(), n_splits=4, n_test_splits=1, factor_name="F",
                                 storage_name="stem", n_trials_to_estimate_params=n_trials, n_jobs=n_jobs)


def never_ending_score(*args, **kwargs):
    time.sleep(60)


@pytest.mark.parametrize("fault", ["full disk", "SIGTERM"])
def test_a_stopped_classifier_fit_names_the_file_and_leaves_no_trial_running(workdir, monkeypatch, fault):
    monkeypatch.setattr(tradegate, "TPESampler", fixed_sampler)
    path = str(workdir / "stem_OptimalEntryClassifier.db")
    fit(1)
    # A trial left running by a fit that died: the next fit that runs alone fails it.
    optuna.load_study(study_name="F_OptimalEntryClassifier", storage="sqlite:///" + path).ask()
    receiving, sending = FORK.Pipe(duplex=False)
    size = max(os.path.getsize(path + suffix) for suffix in ("", "-wal"))

    def run():
        if fault == "full disk":
            limit_this_process(file_size=size + 64 * 1024)
        else:
            tradegate.f1_score = never_ending_score
        try:
            fit(200)
        except Exception as error:
            sending.send((type(error), str(error)))

    child = fork_group(run)
    if fault == "full disk":
        child.join(60)
        assert receiving.poll(5)
        kind, message = receiving.recv()
        assert issubclass(kind, OSError) and f"cannot write the study file {path}: no space is left" in message
        fit(1)
        counts = states(path)
        assert counts["RUNNING"] == 0 and counts["COMPLETE"] >= 2
    else:
        deadline = time.monotonic() + 120
        while states(path) != {"COMPLETE": 1, "FAIL": 1, "RUNNING": 1}:
            assert child.is_alive() and time.monotonic() < deadline
            time.sleep(0.01)
        os.kill(child.pid, signal.SIGTERM)
        child.join(120)
        assert child.exitcode == -signal.SIGTERM and states(path) == {"COMPLETE": 1, "FAIL": 2}


@pytest.mark.parametrize("signal_number", [signal.SIGTERM, signal.SIGINT])
def test_a_stopped_parallel_search_fails_the_trials_its_workers_ran(workdir, monkeypatch, signal_number):
    monkeypatch.setattr(tradegate, "TPESampler", fixed_sampler)
    path = str(workdir / "stem_OptimalEntryClassifier.db")
    fit(1)  # not empty: every trial of the next fit goes to the pool
    seconds_long = dict(CHEAP_PARAMS, BaggingClassifier_n_estimators=1000)
    enqueue("stem", "F", seconds_long, seconds_long)
    child = fork_group(fit, 200, 2)
    deadline = time.monotonic() + 120
    while states(path)["RUNNING"] < 2:
        assert child.is_alive() and time.monotonic() < deadline
        time.sleep(0.01)
    time.sleep(0.2)  # both workers are inside their trials
    os.kill(child.pid, signal_number)
    child.join(120)
    assert child.exitcode == (-signal.SIGTERM if signal_number == signal.SIGTERM else 1)
    assert states(path) == {"COMPLETE": 1, "FAIL": 2}


@pytest.mark.parametrize("n_jobs", [1, 2])
@pytest.mark.parametrize("written", ["text", "damaged"])
def test_a_study_path_holding_no_study_names_the_file(workdir, monkeypatch, written, n_jobs):
    import pickle

    import sqlalchemy.exc

    from korvane._common.study_files import NotAStudyFileError

    monkeypatch.setattr(tradegate, "TPESampler", fixed_sampler)
    path = str(workdir / "stem_OptimalEntryClassifier.db")
    if written == "text":
        with open(path, "w") as study:
            study.write("trial,value\n" * 100)
    else:
        fit(1)
        with open(path, "r+b") as study:  # the schema's page, past the header
            study.seek(100)
            study.write(b"\xff" * 3000)
    with pytest.raises(NotAStudyFileError) as raised:
        fit(1, n_jobs)
    error = raised.value
    # The storage's own error type, as the factor's calls raise it.
    assert isinstance(error, sqlalchemy.exc.DatabaseError) and isinstance(error.__cause__, sqlalchemy.exc.DatabaseError)
    message = (
        f"cannot open the study file {path}: it is not a study korvane can read ({error.orig}), "
        "please move it away or fit under another name"
    )
    assert isinstance(error.orig, sqlite3.DatabaseError) and str(error) == message
    assert str(pickle.loads(pickle.dumps(error))) == message
    assert os.path.exists(path)
