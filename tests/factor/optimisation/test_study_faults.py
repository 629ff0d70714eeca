"""Study files under faults: an erase during a fit, a full disk, a read-only folder, a stopped fit, no train part,
a file that is no study.

Fits that must be stopped or starved run in forked children of this process
(no fresh interpreter to start), on the stub factor's millisecond trials.
"""

import collections
import contextlib
import multiprocessing
import os
import pickle
import random
import shutil
import signal
import sqlite3
import subprocess
import sys
import tempfile
import threading
import time
import types
import weakref

import joblib
import optuna
import pytest
import sqlalchemy.exc
from joblib.externals.loky import get_reusable_executor

from child_groups import fork_group, group_members
from child_limits import limit_this_process
from factor.daily_factor import daily_factor
from factor.optimisation.stub_factor import StubFactor
from korvane._common import fit_jobs, study_files, study_settings, study_trials
from korvane._common.study_files import NotAStudyFileError
from korvane._common.synthetic_universe import universe_table
from korvane.factors.technical._factor.globals import pm
from korvane.factors.technical._factor.live import LiveMixin

pytestmark = pytest.mark.usefixtures("in_tmp_dir")

STUDY = "PairsTradingSerialCointegrationFactor"
STEM = "_60_latest_cumprod_returns_0.9_" + STUDY
FORK = multiprocessing.get_context("fork")
TESTS = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def study_file(name):
    return os.path.abspath(name + STEM + ".db")


def states(path):
    """Trial states of a study file, read with SQLite alone (the file may be busy or half made)."""
    try:
        with contextlib.closing(sqlite3.connect(path, timeout=30)) as db:
            return collections.Counter(state for (state,) in db.execute("select state from trials"))
    except sqlite3.OperationalError:
        return collections.Counter()


def wait_for(predicate, child):
    deadline = time.monotonic() + 120
    while not predicate():
        assert child.is_alive() and time.monotonic() < deadline
        time.sleep(0.01)


def fit_in_child(name, n_trials, n_jobs=1, *, limit_bytes=None, errors=None, bound_by_file_modes=False, folder=None):
    """Fork a child fitting the stub study ``name``; what it raises goes to the ``errors`` pipe end."""

    def run():
        if folder is not None:
            os.chdir(folder)
        limit_this_process(bound_by_file_modes=bound_by_file_modes, file_size=limit_bytes)
        try:
            StubFactor(universe_name=name).fit(n_trials, n_jobs=n_jobs)
        except BaseException as error:
            if errors is None:
                raise
            errors.send((type(error), str(error)))
            if not isinstance(error, Exception):
                raise

    return fork_group(run)


def test_erase_waits_for_the_running_fit_or_refuses_in_time(monkeypatch):
    gate = os.path.abspath("gate")
    monkeypatch.setenv("STUB_TRIAL_GATE", gate)
    path = study_file("erased")
    child = fit_in_child("erased", 3)
    wait_for(lambda: states(path)["RUNNING"] >= 1, child)  # the fit holds its trials until the gate opens

    monkeypatch.setattr(study_settings, "SQLITE_BUSY_TIMEOUT_SECONDS", 0.05)
    with pytest.raises(TimeoutError, match="cannot erase the study file .*erased.*a fit of this study still runs"):
        StubFactor(universe_name="erased").erase_fit_memory()
    assert os.path.exists(path)
    StubFactor(universe_name="other").erase_fit_memory()  # the lock is the study's, not the folder's

    monkeypatch.setattr(study_settings, "SQLITE_BUSY_TIMEOUT_SECONDS", 60.0)
    seen_at_removal = []

    def remove(name):
        if name.endswith(".db"):
            seen_at_removal.append(states(name))
        os.remove(name)

    monkeypatch.setattr(pm(), "os", types.SimpleNamespace(path=os.path, remove=remove))
    open(gate, "w").close()
    StubFactor(universe_name="erased").erase_fit_memory()
    child.join(120)
    assert child.exitcode == 0
    assert seen_at_removal == [{"COMPLETE": 3}]  # the whole fit, then the erase
    assert not [name for name in os.listdir() if name.startswith("erased")]


def test_a_queued_trial_goes_to_one_job_only():
    # Jobs taking queued trials at the same moment, each through its own connection to the file.
    path = os.path.abspath("queued.db")
    url = "sqlite:///" + path
    storage_class = study_trials.queue_safe_storage_class(optuna.storages.RDBStorage)

    def storage():
        return storage_class(url, engine_kwargs=study_files.sqlite_study_engine_kwargs(path))

    queue = optuna.create_study(study_name=STUDY, storage=storage())
    for x in range(40):
        queue.enqueue_trial({"x": x})
    taken = collections.Counter()
    start = threading.Barrier(4)

    def job():
        study = optuna.load_study(study_name=STUDY, storage=storage())
        start.wait()
        while (trial_id := study._pop_waiting_trial_id()) is not None:
            taken[trial_id] += 1

    jobs = [threading.Thread(target=job) for _ in range(4)]
    for thread in jobs:
        thread.start()
    for thread in jobs:
        thread.join()
    assert len(taken) == 40 and set(taken.values()) == {1}
    assert states(path) == {"RUNNING": 40}
    queue.tell(queue.trials[0].number, 1.0)
    with pytest.raises(optuna.exceptions.UpdateFinishedTrialError):  # a finished trial is not taken again
        queue._storage.set_trial_state_values(queue.trials[0]._trial_id, optuna.trial.TrialState.RUNNING)


def test_a_queued_trial_that_a_job_takes_is_marked_in_the_commit_that_takes_it(monkeypatch):
    path = os.path.abspath("marked.db")
    storage_class = fit_jobs.fit_storage_class(study_trials.study_storage_class(optuna.storages.RDBStorage))
    storage = storage_class("sqlite:///" + path, engine_kwargs=study_files.sqlite_study_engine_kwargs(path))
    study = optuna.create_study(study_name=STUDY, storage=storage)
    study.enqueue_trial({"x": 1})

    def killed(*args):  # the job's process ends right after the claim has committed
        raise SystemExit

    monkeypatch.setattr(storage_class, "set_trial_system_attr", killed)
    with contextlib.suppress(SystemExit):
        fit_jobs.run_as_job("search", 3, study._pop_waiting_trial_id)
    assert states(path) == {"RUNNING": 1}
    assert fit_jobs.settle_trials_of_fit(study, "search") == (set(), [3])


def test_a_full_disk_names_the_file_and_leaves_no_trial_running():
    path = study_file("full")
    StubFactor(universe_name="full").fit(2)
    # A trial left running by a fit that died: the next fit that runs alone fails it.
    optuna.load_study(study_name=STUDY, storage="sqlite:///" + path).ask()
    size = max(os.path.getsize(path + suffix) for suffix in ("", "-wal"))
    receiving, sending = FORK.Pipe(duplex=False)
    child = fit_in_child("full", 500, limit_bytes=size + 64 * 1024, errors=sending)
    child.join(60)
    assert receiving.poll(5)
    kind, message = receiving.recv()
    assert issubclass(kind, OSError) and "cannot write the study file " + path + ": no space is left" in message
    StubFactor(universe_name="full").fit(1)
    counts = states(path)
    assert counts["RUNNING"] == 0 and counts["COMPLETE"] >= 3


@pytest.mark.parametrize("unwritable", ["folder", "file"])
def test_an_unwritable_folder_or_file_is_refused_before_the_first_trial(unwritable):
    folder = tempfile.mkdtemp()
    try:
        if unwritable == "file":
            StubFactor(universe_name="locked").fit(1)
            shutil.move(study_file("locked"), folder)
            os.chmod(os.path.join(folder, "locked" + STEM + ".db"), 0o444)
        os.chmod(folder, 0o555 if unwritable == "folder" else 0o755)
        receiving, sending = FORK.Pipe(duplex=False)
        # Root writes whatever the modes say: the child fits without the capabilities that let it.
        child = fit_in_child("locked", 1, errors=sending, bound_by_file_modes=True, folder=folder)
        child.join(60)
        assert receiving.poll(5), "the fit was not refused"
        kind, message = receiving.recv()
        path = os.path.join(folder, "locked" + STEM + ".db")
        cause = f"its folder {folder} is not writable" if unwritable == "folder" else f"{path} is not writable"
        assert issubclass(kind, PermissionError) and f"cannot write the study file {path}: {cause}" in message
        assert sorted(os.listdir(folder)) == ([] if unwritable == "folder" else [os.path.basename(path)])
    finally:
        os.chmod(folder, 0o755)
        shutil.rmtree(folder)


def ended_as_the_stop_asks(child, signal_number, errors):
    """Ctrl-C leaves the fit as KeyboardInterrupt; SIGTERM and SIGHUP end the process by themselves."""
    if signal_number == signal.SIGINT:
        return child.exitcode == 1 and errors.poll(5) and errors.recv()[0] is KeyboardInterrupt
    return child.exitcode == -signal_number


@pytest.mark.parametrize("n_jobs", [1, 2])  # 2: the in-process first trial of a parallel fit
@pytest.mark.parametrize("signal_number", [signal.SIGTERM, signal.SIGINT, signal.SIGHUP])
def test_a_stopped_sequential_fit_fails_its_running_trial(signal_number, n_jobs, monkeypatch):
    monkeypatch.setenv("STUB_TRIAL_SECONDS", "30")
    path = study_file("stopped")
    receiving, sending = FORK.Pipe(duplex=False)
    child = fit_in_child("stopped", 3, n_jobs, errors=sending)
    wait_for(lambda: states(path)["RUNNING"] == 1, child)
    os.kill(child.pid, signal_number)
    child.join(120)
    assert ended_as_the_stop_asks(child, signal_number, receiving)
    assert states(path) == {"FAIL": 1}


class Doomed:
    pass


def signal_from_a_weakref_callback(signal_number):
    """Send the signal where its handler runs in a weakref callback, whose exception the interpreter drops."""
    doomed = Doomed()
    watch = weakref.ref(doomed, lambda ref: os.kill(os.getpid(), signal_number))
    del doomed
    return watch


@pytest.mark.parametrize(
    "where, signal_number",
    [
        # The optimiser's clean-up then fails with an UnboundLocalError.
        ("bookkeeping", signal.SIGTERM),
        ("bookkeeping", signal.SIGINT),
        ("weakref callback", signal.SIGTERM),
        ("weakref callback", signal.SIGINT),
    ],
)
def test_a_stop_swallowed_on_its_way_still_stops_the_fit(where, signal_number, monkeypatch):
    monkeypatch.setenv("STUB_TRIAL_SECONDS", "0" if where == "bookkeeping" else "30")
    if where == "bookkeeping":
        tell = optuna.study._optimize._tell_with_warning

        def tell_after_the_signal(*args, **kwargs):
            os.kill(os.getpid(), signal_number)
            return tell(*args, **kwargs)

        monkeypatch.setattr(optuna.study._optimize, "_tell_with_warning", tell_after_the_signal)
    else:
        trial = getattr(StubFactor, "__run_pairs_trading_serial_cointegration_factor")

        def trial_after_the_signal(*args, **kwargs):
            signal_from_a_weakref_callback(signal_number)
            return trial(*args, **kwargs)

        monkeypatch.setattr(StubFactor, "__run_pairs_trading_serial_cointegration_factor", trial_after_the_signal)
    receiving, sending = FORK.Pipe(duplex=False)
    child = fit_in_child("swallowed", 3, errors=sending)
    child.join(120)
    assert ended_as_the_stop_asks(child, signal_number, receiving)
    assert states(study_file("swallowed")) == {"FAIL": 1}


def fit_stub(n_trials, n_jobs):
    StubFactor(universe_name="stopped").fit(n_trials, n_jobs=n_jobs)


def fit_classifier(n_trials, n_jobs):
    from classifier.classifier_helpers import tiny_trades
    from korvane.rarAV.tradegate import OptimalEntryClassifier

    OptimalEntryClassifier().fit(*tiny_trades(), n_splits=4, n_test_splits=1, factor_name="F",
                                 storage_name="stopped", n_trials_to_estimate_params=n_trials, n_jobs=n_jobs)


def reporting_what_ends_it(errors, run, *args):
    try:
        run(*args)
    except BaseException as error:
        errors.send((type(error), str(error)))
        raise


def fit_stub_and_end_the_pool(n_trials, n_jobs):
    fit_stub(n_trials, n_jobs)
    # A forked child waits for its pool's idle workers before it exits.
    get_reusable_executor().shutdown(wait=True)


def test_a_forked_child_fits_in_parallel_on_a_pool_of_its_own():
    joblib.Parallel(n_jobs=2)(joblib.delayed(abs)(k) for k in range(2))  # a pool whose workers the child lacks
    child = fork_group(fit_stub_and_end_the_pool, 4, 2)
    child.join(120)
    assert child.exitcode == 0 and states(study_file("stopped")) == {"COMPLETE": 4}


# A fit, its study file, and how long it may run before the stop: past the start of its pool.
PARALLEL_FITS = {
    "factor": (fit_stub, "stopped" + STEM + ".db", 3.0),
    "classifier": (fit_classifier, "stopped_OptimalEntryClassifier.db", 4.0),
}
STOP_SECONDS = 60


@pytest.mark.skipif(not os.path.exists("/proc/self/stat"), reason="reads process groups from /proc")
@pytest.mark.parametrize(
    "fit, signal_number, to_group, seed",
    [
        ("factor", signal.SIGINT, False, 1),
        ("factor", signal.SIGTERM, False, 2),
        ("factor", signal.SIGINT, True, 5),
        ("factor", signal.SIGTERM, True, 7),
        ("factor", signal.SIGHUP, True, 3),  # a closed terminal
        ("classifier", signal.SIGINT, True, 6),
        ("classifier", signal.SIGTERM, False, 14),
    ],
)
def test_a_parallel_fit_stopped_at_any_moment_ends_in_seconds_and_leaves_nothing(
    fit, signal_number, to_group, seed, monkeypatch
):
    from classifier.classifier_helpers import CHEAP_PARAMS
    from korvane.rarAV import tradegate

    monkeypatch.setenv("STUB_TRIAL_SECONDS", "0.05")
    # Cheap trials in this process and the child's; the pool's workers draw their own.
    monkeypatch.setattr(tradegate, "TPESampler", lambda **kwargs: optuna.samplers.PartialFixedSampler(
        CHEAP_PARAMS, optuna.samplers.RandomSampler(seed=kwargs["seed"])))
    os.mkdir("work")  # the classifier saves its pipeline in "../rarAV"
    monkeypatch.chdir("work")
    run, path, longest = PARALLEL_FITS[fit]
    joblib.Parallel(n_jobs=2)(joblib.delayed(abs)(k) for k in range(2))  # a pool of this process's own
    receiving, sending = FORK.Pipe(duplex=False)
    child = fork_group(reporting_what_ends_it, sending, run, 1000, 2)
    time.sleep(random.Random(seed).uniform(0.0, longest))
    (os.killpg if to_group else os.kill)(child.pid, signal_number)
    child.join(STOP_SECONDS)
    assert ended_as_the_stop_asks(child, signal_number, receiving)
    deadline = time.monotonic() + STOP_SECONDS
    while group_members(child.pid) and time.monotonic() < deadline:
        time.sleep(0.05)
    assert group_members(child.pid) == []
    assert states(path)["RUNNING"] == 0


def test_a_train_part_without_the_bars_of_a_score_is_refused():
    table = universe_table(n_securities=2, n_bars=330, freq="1D", seed=3)
    bars = len(daily_factor("split", table)._data_datetime_array)
    after_longest_window = bars - bars // 2
    for ratio in (1e-9, 2.99 / after_longest_window):
        with pytest.raises(ValueError, match=f"train_split_ratio of {ratio!r} leaves [0-2] of the {bars} bars"):
            daily_factor("split", table, train_split_ratio=ratio)
    daily_factor("split", table, train_split_ratio=3.0 / after_longest_window + 1e-12)


@pytest.mark.parametrize("lock_file", ["deleted", "directory"])
def test_a_lock_file_gone_from_under_a_fit_never_loses_the_study_in_silence(lock_file, monkeypatch):
    gate = os.path.abspath("gate")
    monkeypatch.setenv("STUB_TRIAL_GATE", gate)
    path = study_file("held")
    receiving, sending = FORK.Pipe(duplex=False)
    child = fit_in_child("held", 2, errors=sending)
    wait_for(lambda: states(path)["RUNNING"] == 1, child)
    os.remove(path + ".lock")
    in_the_way = f"a directory is in the way of its lock file {path}.lock, please remove it"
    if lock_file == "directory":
        os.mkdir(path + ".lock")
        with pytest.raises(IsADirectoryError, match=f"^.*cannot erase the study file {path}: {in_the_way}$"):
            StubFactor(universe_name="held").erase_fit_memory()
    else:
        StubFactor(universe_name="held").erase_fit_memory()  # nothing is left to say that a fit runs
    open(gate, "w").close()
    child.join(60)
    if lock_file == "directory":
        assert child.exitcode == 0 and not receiving.poll() and states(path) == {"COMPLETE": 2}
        with pytest.raises(IsADirectoryError, match=f"cannot fit the study file {path}: {in_the_way}"):
            StubFactor(universe_name="held").fit(1)
    else:
        assert receiving.poll(5)
        kind, message = receiving.recv()
        assert kind is RuntimeError and message.startswith(
            f"the study file {path} was removed or replaced during the fit (its lock file {path}.lock was removed or replaced"
        )
        assert not os.path.exists(path)


def rows(path):
    with contextlib.closing(sqlite3.connect(path)) as db:
        return db.execute("select trial_id, state from trials").fetchall(), db.execute("select * from trial_params").fetchall()


@pytest.mark.parametrize("n_jobs, moment", [(1, "first trial"), (2, "first trial"), (2, "workers' trials")])
def test_a_study_moved_onto_the_path_stops_the_fit_and_keeps_its_trials(n_jobs, moment):
    path = study_file("moved")
    other = os.path.abspath("other.db")  # a study of its own, merged into its file and closed
    storage = optuna.storages.RDBStorage("sqlite:///" + other, engine_kwargs=study_files.sqlite_study_engine_kwargs(other))
    optuna.create_study(study_name=STUDY, storage=storage).optimize(lambda trial: trial.suggest_float("x", 0, 1), 3)
    storage.engine.dispose()
    moved = rows(other)
    if moment == "workers' trials":  # no trial in the fitting process: the workers hold the file when it goes
        fit_in_child("moved", 1).join(120)
    gate = os.path.abspath("gate")
    # A fresh interpreter: a fork of this process would share its pool of workers.
    script = f"import sys; sys.path.insert(0, {TESTS!r})\nfrom factor.optimisation.stub_factor import StubFactor\n"
    script += f"try:\n    StubFactor(universe_name='moved').fit(4, n_jobs={n_jobs})\nexcept RuntimeError as e:\n    print(e)"
    fit = subprocess.Popen([sys.executable, "-c", script], env=dict(os.environ, STUB_TRIAL_GATE=gate),
                           stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    try:
        deadline = time.monotonic() + 120
        while states(path)["RUNNING"] < 1:
            assert fit.poll() is None and time.monotonic() < deadline
            time.sleep(0.01)
        os.replace(other, path)
        open(gate, "w").close()
        said = fit.communicate(timeout=120)[0]
    finally:
        fit.kill()
    assert said.startswith(f"the study file {path} was removed or replaced during the fit: "), said
    # Its log merged into the file it belongs to, the fit left nothing beside the one now there.
    assert not os.path.exists(path + "-wal") or os.path.getsize(path + "-wal") == 0
    assert rows(path) == moved


@pytest.mark.parametrize("target", ["missing", "a file"])
def test_a_link_at_the_lock_path_is_refused_and_nothing_is_made_through_it(target):
    os.mkdir("elsewhere")
    if target == "a file":
        open("elsewhere/held.lock", "w").close()
    path = study_file("linked")
    os.symlink(os.path.abspath("elsewhere/held.lock"), path + ".lock")
    in_the_way = f"a symbolic link is in the way of its lock file {path}.lock, please remove it"
    with pytest.raises(OSError, match=f"^.*cannot fit the study file {path}: {in_the_way}$"):
        StubFactor(universe_name="linked").fit(1)
    with pytest.raises(OSError, match=f"^.*cannot erase the study file {path}: {in_the_way}$"):
        StubFactor(universe_name="linked").erase_fit_memory()
    assert os.listdir("elsewhere") == ([] if target == "missing" else ["held.lock"])
    assert os.path.islink(path + ".lock") and not os.path.exists(path)


@pytest.mark.parametrize("left_beside", ["nothing", "log and index", "log only"])
def test_a_finished_study_in_a_read_only_folder_is_read_without_writing(left_beside):
    folder = tempfile.mkdtemp()
    path = os.path.join(folder, "shared" + STEM + ".db")
    try:
        def fit_and_die():  # its process ends inside the fourth trial, the study open
            os.chdir(folder)
            StubFactor(universe_name="shared", die_at_trial_number=3).fit(4)

        child = fork_group(fit_and_die)
        child.join(60)
        assert os.path.getsize(path + "-wal") > 32 and os.path.exists(path + "-shm")
        if left_beside == "nothing":
            db = sqlite3.connect(path)  # the last connection to close merges the log into the file and removes both
            db.execute("select count(*) from trials")
            db.close()
            assert not os.path.exists(path + "-wal")
        elif left_beside == "log only":
            os.remove(path + "-shm")
        before = sorted(os.listdir(folder))
        os.chmod(folder, 0o555)
        receiving, sending = FORK.Pipe(duplex=False)

        def read():
            os.chdir(folder)
            limit_this_process(bound_by_file_modes=True)  # root writes whatever the modes say
            try:
                sending.send(StubFactor(universe_name="shared").get_full_backtest_results())
            except Exception as error:
                sending.send((type(error), str(error)))

        child = fork_group(read)
        child.join(60)
        assert receiving.poll(5) and sorted(os.listdir(folder)) == before
        outcome = receiving.recv()
        os.chmod(folder, 0o755)
        if left_beside == "log only":
            assert outcome[0] is PermissionError
            assert outcome[1].startswith(f"[Errno 13] cannot read the study file {path}: its folder {folder} is read-only")
        else:
            assert outcome == ("results", optuna.load_study(study_name=STUDY, storage="sqlite:///" + path).best_params)
    finally:
        os.chmod(folder, 0o755)
        shutil.rmtree(folder)


def test_a_universe_name_too_long_for_the_files_beside_the_study_is_refused():
    from classifier.classifier_helpers import tiny_trades
    from korvane.rarAV.tradegate import OptimalEntryClassifier

    name_max = os.pathconf(".", "PC_NAME_MAX")
    # The study file's name fits; "<study file>-journal" does not.
    name = "u" * (name_max - len(STEM + ".db") - 1)
    with pytest.raises(Exception, match="cannot name a study file: it contains too many characters"):
        StubFactor(universe_name=name).fit(1)
    table = universe_table(n_securities=2, n_bars=330, freq="1D", seed=3)
    with pytest.raises(ValueError, match=f"universe_name '{name}' makes a study file name too long: .*-journal'"):
        daily_factor(name, table)
    daily_factor("u" * (name_max - len("_1440_annual_sharpe_ratio_0.9_" + STUDY + ".db-journal")), table)
    # The factor's names fit, the entry classifier's longer ones do not: refused before the search.
    name = "c" * (name_max - len(STEM + "_OptimalEntryClassifier.db-journal") + 1)
    with pytest.raises(ValueError, match=f"universe_name '{name}' makes a study file name too long"):
        StubFactor(universe_name=name, rarAV_optimal_entry_model=object()).fit(1, fit_rarAV=True)
    stem = "s" * (name_max - len("_OptimalEntryClassifier.db") - 4)
    with pytest.raises(ValueError, match=f"storage_name '{stem}' makes a study file name too long"):
        OptimalEntryClassifier().fit(*tiny_trades(), n_splits=4, n_test_splits=1, storage_name=stem)
    assert os.listdir() == []


def damage(path):
    with open(path, "r+b") as study:  # the schema's page, past the header
        study.seek(100)
        study.write(b"\xff" * 3000)


@pytest.mark.parametrize("written", ["text", "damaged"])
@pytest.mark.parametrize(
    "call",
    [
        lambda factor: factor.fit(1),
        lambda factor: factor.get_full_backtest_results(),
        lambda factor: LiveMixin.predict(factor),  # the stub has no live part; predict reads the study first
    ],
    ids=["fit", "get_full_backtest_results", "predict"],
)
def test_a_study_path_holding_no_study_names_the_file(written, call):
    path = study_file("odd")
    if written == "text":
        with open(path, "w") as study:
            study.write("trial,value\n" * 100)
    else:
        StubFactor(universe_name="odd").fit(1)
        damage(path)
    with pytest.raises(NotAStudyFileError) as raised:
        call(StubFactor(universe_name="odd"))
    error = raised.value
    # The storage's own error type, as before the file was named: what caught it still does.
    assert isinstance(error, sqlalchemy.exc.DatabaseError)
    assert isinstance(error.__cause__, sqlalchemy.exc.DatabaseError) and isinstance(error.orig, sqlite3.DatabaseError)
    message = (
        f"cannot open the study file {path}: it is not a study korvane can read ({error.orig}), "
        "please move it away or fit under another name"
    )
    assert str(error) == message
    copy = pickle.loads(pickle.dumps(error))
    assert type(copy) is NotAStudyFileError and str(copy) == message and str(copy.orig) == str(error.orig)
    assert os.path.exists(path)  # left for its owner to move away
