"""Fits meeting other processes and threads: first creation of a study file, a killed parent, threads."""

import collections
import os
import signal
import sqlite3
import subprocess
import sys
import time
from pathlib import Path

import joblib
import optuna
import pytest

from child_groups import popen_group
from factor.optimisation.stub_factor import StubFactor

pytestmark = pytest.mark.usefixtures("in_tmp_dir")

TESTS = Path(__file__).resolve().parents[2]
STUDY = "PairsTradingSerialCointegrationFactor"
STEM = "_60_latest_cumprod_returns_0.9_" + STUDY

# Run in a fresh interpreter: importable stub, offline, quiet.
PRELUDE = f"""
import os, sys, time
sys.path.insert(0, {str(TESTS)!r})
import logging
from child_groups import popen_group
from factor.optimisation.stub_factor import StubFactor
logging.getLogger(" ").setLevel(logging.WARNING)
"""


def states(path):
    study = optuna.load_study(study_name=STUDY, storage="sqlite:///" + str(path))
    return collections.Counter(t.state.name for t in study.get_trials(deepcopy=False))


def start(script, tmp_path, **env):
    return popen_group(
        [sys.executable, "-c", PRELUDE + script],
        cwd=tmp_path,
        env=dict(os.environ, **env),
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )


def test_two_processes_create_the_same_new_study_files_at_once(tmp_path):
    rounds = 6
    script = f"""
open("ready-" + str(os.getpid()), "w").close()
while not os.path.exists("go"):
    time.sleep(0.005)
for k in range({rounds}):
    StubFactor(universe_name="race" + str(k)).fit(1)
"""
    processes = [start(script, tmp_path) for _ in range(2)]
    while len(list(tmp_path.glob("ready-*"))) < 2:
        time.sleep(0.01)
    (tmp_path / "go").touch()
    for process in processes:
        _, err = process.communicate(timeout=300)
        assert process.returncode == 0, err
    for k in range(rounds):
        assert states(tmp_path / f"race{k}{STEM}.db") == {"COMPLETE": 2}


def children_of(pid):
    found = []
    for stat in Path("/proc").glob("[0-9]*/stat"):
        try:
            fields = stat.read_text().rsplit(")", 1)[1].split()
        except OSError:
            continue
        if int(fields[1]) == pid:
            found.append(int(stat.parent.name))
    return found


def alive(pid):
    try:
        state = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()[0]
    except OSError:
        return False
    return state != "Z"


@pytest.mark.skipif(not Path("/proc/self/stat").exists(), reason="reads processes from /proc")
@pytest.mark.parametrize("signal_number", [signal.SIGTERM, signal.SIGHUP, signal.SIGKILL])
def test_a_killed_parent_leaves_no_file_and_no_workers(tmp_path, signal_number):
    temporary = tmp_path / "tmp"
    temporary.mkdir()
    StubFactor(universe_name="parent").fit(1)  # the parallel fit then sends every trial to workers
    parent = start(
        'StubFactor(universe_name="parent").fit(5, n_jobs=2)', tmp_path, TMPDIR=str(temporary),
        STUB_WORKER_TRIAL_SECONDS="60",
    )
    study_file = tmp_path / f"parent{STEM}.db"
    deadline = time.monotonic() + 240
    while states(study_file).get("RUNNING", 0) < 2:
        assert parent.poll() is None and time.monotonic() < deadline
        time.sleep(0.1)
    workers = children_of(parent.pid)
    assert list(temporary.glob("korvane-fit-*"))  # the copy's values wait there for the workers
    parent.send_signal(signal_number)
    parent.communicate(timeout=120)
    assert parent.returncode == -signal_number
    deadline = time.monotonic() + 120
    while any(alive(pid) for pid in workers) and time.monotonic() < deadline:
        time.sleep(0.1)
    assert not any(alive(pid) for pid in workers)
    if signal_number != signal.SIGKILL:
        assert list(temporary.iterdir()) == []
        assert states(study_file) == {"COMPLETE": 1, "FAIL": 2}
    with sqlite3.connect(study_file) as db:
        assert db.execute("pragma integrity_check").fetchone() == ("ok",)


def test_threading_backend_runs_each_job_on_its_own_copy():
    with joblib.parallel_config(backend="threading"):
        StubFactor(universe_name="threads").fit(9, n_jobs=3)
    assert states(f"threads{STEM}.db") == {"COMPLETE": 9}


def completed_trials(path):
    """Completed trials in a study file being written, read with SQLite alone; 0 before its tables exist."""
    if not path.exists():
        return 0
    try:
        with sqlite3.connect(path, timeout=30) as db:
            return db.execute("select count(*) from trials where state = 'COMPLETE'").fetchone()[0]
    except sqlite3.OperationalError:
        return 0


def test_a_fit_killed_mid_trial_leaves_a_study_other_processes_load(tmp_path):
    # Each trial sleeps in the middle of its run, after its parameters are
    # committed, so the kill lands inside a trial with the log unsynced.
    parent = start('StubFactor(universe_name="killed").fit(50)', tmp_path, STUB_TRIAL_SECONDS="0.2")
    study_file = tmp_path / f"killed{STEM}.db"
    deadline = time.monotonic() + 60
    while completed_trials(study_file) < 3:
        assert parent.poll() is None and time.monotonic() < deadline
        time.sleep(0.05)
    parent.send_signal(signal.SIGKILL)
    parent.communicate(timeout=60)
    assert parent.returncode == -signal.SIGKILL
    assert (tmp_path / (study_file.name + "-wal")).exists()  # the log was left unmerged
    script = f"""
import optuna
study = optuna.load_study(study_name={STUDY!r}, storage="sqlite:///{study_file.name}")
states = sorted(t.state.name for t in study.trials)
print(states.count("COMPLETE"), states.count("RUNNING"), len(study.best_trial.params))
"""
    reader = popen_group(
        [sys.executable, "-c", script], cwd=tmp_path, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True
    )
    out, err = reader.communicate(timeout=120)
    assert reader.returncode == 0, err
    complete, running, n_params = map(int, out.split())
    assert complete >= 3 and running <= 1 and n_params == 12
    with sqlite3.connect(study_file) as db:
        assert db.execute("pragma integrity_check").fetchone() == ("ok",)
