"""The classifier's study under faults: a full disk and SIGTERM during a trial, in forked children."""

import collections
import multiprocessing
import os
import signal
import sqlite3
import time

import optuna
import pytest

from child_limits import limit_this_process
from classifier.classifier_helpers import CHEAP_PARAMS, tiny_trades
from korvane.rarAV import tradegate
from korvane.rarAV.tradegate import OptimalEntryClassifier

FORK = multiprocessing.get_context("fork")


def states(path):
    """Trial states of a study file, read with SQLite alone (the file may be busy)."""
    with sqlite3.connect(path, timeout=30) as db:
        return collections.Counter(state for (state,) in db.execute("select state from trials"))


def fixed_sampler(**kwargs):
    return optuna.samplers.PartialFixedSampler(CHEAP_PARAMS, optuna.samplers.RandomSampler(seed=kwargs["seed"]))


def fit(n_trials):
    OptimalEntryClassifier().fit(*tiny_trades(), n_splits=4, n_test_splits=1, factor_name="F",
                                 storage_name="stem", n_trials_to_estimate_params=n_trials)


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

    child = FORK.Process(target=run)
    child.start()
    if fault == "full disk":
        child.join(60)
        assert receiving.poll(5)
        kind, message = receiving.recv()
        assert issubclass(kind, OSError) and f"cannot write the study file {path}: no space is left" in message
        fit(1)
        counts = states(path)
        assert counts["RUNNING"] == 0 and counts["COMPLETE"] >= 2
    else:
        deadline = time.monotonic() + 60
        while states(path) != {"COMPLETE": 1, "FAIL": 1, "RUNNING": 1}:
            assert child.is_alive() and time.monotonic() < deadline
            time.sleep(0.01)
        os.kill(child.pid, signal.SIGTERM)
        child.join(30)
        assert child.exitcode == -signal.SIGTERM and states(path) == {"COMPLETE": 1, "FAIL": 2}
